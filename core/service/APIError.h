#pragma once

#include "Error.h"

#include <QByteArray>

#include <optional>

namespace pq {

// The one error record of the client: a service failure, or one the client makes itself
// ("internal", "cancelled", "auth"…). Its message is the user-facing description.
class APIError : public Error {
public:
    APIError(QString code, QString message, std::optional<int> status, bool retryable);

    // Turns the body and status of an unsuccessful answer into an error. Understands the
    // service's own form ("code", "message", "data"."retryable") and the token endpoint's form
    // ("error", "error_description"); anything else is "internal".
    static APIError fromAnswer(const QByteArray& body, int status);

    const QString& code() const noexcept { return m_code; }
    const QString& message() const noexcept { return description(); }
    std::optional<int> status() const noexcept { return m_status; }
    bool retryable() const noexcept { return m_retryable; }

    bool operator==(const APIError& other) const;

private:
    QString m_code;
    std::optional<int> m_status;
    bool m_retryable;
};

} // namespace pq
