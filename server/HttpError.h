#pragma once

#include <QJsonObject>
#include <QString>

#include <exception>

namespace pq::server {

// A failure answered to the client in the service's error form:
// {"code": …, "message": …, "data": {"retryable": …, …}}. Handlers throw it.
class HttpError : public std::exception {
public:
    HttpError(int status, QString code, QString message, bool retryable = false,
              QJsonObject data = {});

    int status() const { return m_status; }
    QString code() const { return m_code; }
    QString message() const { return m_message; }
    bool retryable() const { return m_retryable; }
    QJsonObject body() const;
    const char* what() const noexcept override { return "HttpError"; }

    static HttpError invalid(const QString& message, const QString& field = {});
    static HttpError notFound(const QString& message);
    static HttpError unavailable(const QString& message);
    static HttpError internal();

private:
    int m_status;
    QString m_code;
    QString m_message;
    bool m_retryable;
    QJsonObject m_data;
};

} // namespace pq::server
