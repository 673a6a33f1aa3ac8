#include "APIError.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace pq {

APIError::APIError(QString code, QString message, std::optional<int> status, bool retryable)
    : Error(std::move(message)), m_code(std::move(code)), m_status(status), m_retryable(retryable) {
}

APIError APIError::fromAnswer(const QByteArray& body, int status) {
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(body, &parseError);
    if (parseError.error == QJsonParseError::NoError && doc.isObject()) {
        const QJsonObject object = doc.object();
        const QJsonValue code = object.value(QLatin1String("code"));
        if (code.isString()) {
            const QJsonValue message = object.value(QLatin1String("message"));
            const QJsonValue retryable =
                object.value(QLatin1String("data")).toObject().value(QLatin1String("retryable"));
            return APIError(code.toString(),
                            message.isString() ? message.toString() : code.toString(), status,
                            retryable.isBool() && retryable.toBool());
        }
        const QJsonValue error = object.value(QLatin1String("error"));
        if (error.isString()) {
            const QJsonValue description = object.value(QLatin1String("error_description"));
            return APIError(error.toString(),
                            description.isString() ? description.toString() : error.toString(),
                            status, false);
        }
    }
    return APIError(QStringLiteral("internal"),
                    QStringLiteral("Parloquent answered %1.").arg(status), status, false);
}

bool APIError::operator==(const APIError& other) const {
    return m_code == other.m_code && message() == other.message() && m_status == other.m_status &&
           m_retryable == other.m_retryable;
}

} // namespace pq
