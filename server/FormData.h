#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>
#include <utility>

namespace pq::server {

// An application/x-www-form-urlencoded body ("a=1&b=x+y"): "+" is a space, %XX a byte, names
// and values UTF-8.
class FormData {
public:
    static FormData parse(const QByteArray& body);

    // The first value of `name`, or nothing.
    std::optional<QString> value(const QString& name) const;
    // How often `name` occurs.
    int count(const QString& name) const;
    const QList<std::pair<QString, QString>>& items() const { return m_items; }

private:
    QList<std::pair<QString, QString>> m_items;
};

} // namespace pq::server
