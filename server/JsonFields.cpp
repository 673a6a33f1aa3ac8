#include "JsonFields.h"

#include "HttpError.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace pq::server {

JsonFields::JsonFields(QJsonObject object, QString path)
    : m_object(std::move(object)), m_path(std::move(path)) {}

JsonFields JsonFields::parse(const QByteArray& body, bool allowEmpty) {
    if (allowEmpty && body.trimmed().isEmpty())
        return JsonFields(QJsonObject());
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError)
        throw HttpError::invalid(
            QStringLiteral("The request body is not valid JSON (%1).").arg(error.errorString()));
    if (!doc.isObject())
        throw HttpError::invalid(QStringLiteral("The request body must be a JSON object."));
    return JsonFields(doc.object());
}

QString JsonFields::field(const QString& key) const {
    return m_path.isEmpty() ? key : m_path + QLatin1Char('.') + key;
}

void JsonFields::wrong(const QString& key, const char* what) const {
    throw HttpError::invalid(
        QStringLiteral("The field \"%1\" must be %2.").arg(field(key), QString::fromUtf8(what)),
        field(key));
}

bool JsonFields::has(const QString& key) const {
    const auto it = m_object.constFind(key);
    return it != m_object.constEnd() && !it->isNull() && !it->isUndefined();
}

bool JsonFields::isNull(const QString& key) const {
    const auto it = m_object.constFind(key);
    return it != m_object.constEnd() && it->isNull();
}

QString JsonFields::string(const QString& key, int maxLength) const {
    const QJsonValue v = m_object.value(key);
    if (!v.isString())
        wrong(key, "text");
    if (v.toString().size() > maxLength)
        throw HttpError::invalid(QStringLiteral("The field \"%1\" is longer than %2 characters.")
                                     .arg(field(key))
                                     .arg(maxLength),
                                 field(key));
    return v.toString();
}

std::optional<QString> JsonFields::optionalString(const QString& key, int maxLength) const {
    if (!has(key))
        return std::nullopt;
    return string(key, maxLength);
}

bool JsonFields::boolean(const QString& key) const {
    const QJsonValue v = m_object.value(key);
    if (!v.isBool())
        wrong(key, "true or false");
    return v.toBool();
}

std::optional<QStringList> JsonFields::optionalStringList(const QString& key, int maxItems) const {
    if (!has(key))
        return std::nullopt;
    const QJsonValue v = m_object.value(key);
    if (!v.isArray())
        wrong(key, "a list of text");
    const QJsonArray a = v.toArray();
    if (a.size() > maxItems)
        throw HttpError::invalid(QStringLiteral("The field \"%1\" has more than %2 items.")
                                     .arg(field(key))
                                     .arg(maxItems),
                                 field(key));
    QStringList out;
    for (const auto& item : a) {
        if (!item.isString() || item.toString().size() > 100)
            wrong(key, "a list of short text");
        out.append(item.toString());
    }
    return out;
}

JsonFields JsonFields::object(const QString& key) const {
    const QJsonValue v = m_object.value(key);
    if (!v.isObject())
        wrong(key, "an object");
    return JsonFields(v.toObject(), field(key));
}

} // namespace pq::server
