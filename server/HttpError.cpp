#include "HttpError.h"

namespace pq::server {

HttpError::HttpError(int status, QString code, QString message, bool retryable, QJsonObject data)
    : m_status(status), m_code(std::move(code)), m_message(std::move(message)),
      m_retryable(retryable), m_data(std::move(data)) {}

QJsonObject HttpError::body() const {
    QJsonObject data = m_data;
    data.insert(QStringLiteral("retryable"), m_retryable);
    return QJsonObject{{QStringLiteral("code"), m_code},
                       {QStringLiteral("message"), m_message},
                       {QStringLiteral("data"), data}};
}

HttpError HttpError::invalid(const QString& message, const QString& field) {
    QJsonObject data;
    if (!field.isEmpty())
        data.insert(QStringLiteral("field"), field);
    return HttpError(400, QStringLiteral("invalid_request"), message, false, data);
}

HttpError HttpError::notFound(const QString& message) {
    return HttpError(404, QStringLiteral("not_found"), message);
}

HttpError HttpError::unavailable(const QString& message) {
    return HttpError(503, QStringLiteral("unavailable"), message, true);
}

HttpError HttpError::internal() {
    return HttpError(500, QStringLiteral("internal"),
                     QStringLiteral("Something went wrong on the service. Try again."), true);
}

} // namespace pq::server
