#pragma once

#include <QString>

#include <exception>

namespace pq {

// Base of every failure the client throws. Each carries a sentence that can be shown to the user
// as it stands; `what()` gives the same text in UTF-8 for logs and test output.
class Error : public std::exception {
public:
    explicit Error(QString description);

    const QString& description() const noexcept { return m_description; }
    const char* what() const noexcept override { return m_utf8.constData(); }

private:
    QString m_description;
    QByteArray m_utf8;
};

// The readable description of any exception: ours, the standard library's, or an unknown one.
QString describe(std::exception_ptr error);

} // namespace pq
