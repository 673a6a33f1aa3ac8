#include "JsonReader.h"

#include <QJsonDocument>

#include <cmath>

namespace pq {

namespace {

QString typeName(const QJsonValue& v) {
    switch (v.type()) {
    case QJsonValue::Null:
        return QStringLiteral("null");
    case QJsonValue::Bool:
        return QStringLiteral("a boolean");
    case QJsonValue::Double:
        return QStringLiteral("a number");
    case QJsonValue::String:
        return QStringLiteral("a string");
    case QJsonValue::Array:
        return QStringLiteral("a list");
    case QJsonValue::Object:
        return QStringLiteral("an object");
    case QJsonValue::Undefined:
        break;
    }
    return QStringLiteral("missing");
}

[[noreturn]] void wrongType(const QString& path, const char* expected, const QJsonValue& v) {
    throw DecodeError(
        path, QStringLiteral("should be %1 but is %2").arg(QLatin1String(expected), typeName(v)));
}

} // namespace

JsonReader::JsonReader(const QJsonValue& value, QString path) : m_path(std::move(path)) {
    if (!value.isObject())
        wrongType(m_path, "an object", value);
    m_object = value.toObject();
}

QJsonValue JsonReader::parse(const QByteArray& bytes, const QString& record) {
    // QJsonDocument only takes objects and arrays at the top level; wrapping the body in an array
    // lets scalars through while still rejecting anything that is not exactly one JSON value.
    QByteArray wrapped;
    wrapped.reserve(bytes.size() + 2);
    wrapped.append('[').append(bytes).append(']');
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(wrapped, &error);
    if (error.error != QJsonParseError::NoError || !doc.isArray() || doc.array().size() != 1) {
        const QString why = error.error != QJsonParseError::NoError
                                ? error.errorString()
                                : QStringLiteral("not a single JSON value");
        throw DecodeError(record, QStringLiteral("is not valid JSON: %1").arg(why));
    }
    return doc.array().at(0);
}

QString JsonReader::member(QLatin1String key) const {
    return m_path + QLatin1Char('.') + key;
}

QJsonValue JsonReader::required(QLatin1String key) const {
    const QJsonValue v = m_object.value(key);
    if (v.isUndefined() || v.isNull())
        throw DecodeError(member(key), QStringLiteral("is missing"));
    return v;
}

QJsonValue JsonReader::optional(QLatin1String key) const {
    const QJsonValue v = m_object.value(key);
    return v.isNull() ? QJsonValue(QJsonValue::Undefined) : v;
}

QJsonArray JsonReader::array(QLatin1String key, const QJsonValue& v) const {
    if (!v.isArray())
        wrongType(member(key), "a list", v);
    return v.toArray();
}

qint64 JsonReader::toInteger(const QJsonValue& v, const QString& path) {
    if (!v.isDouble())
        wrongType(path, "an integer", v);
    // Qt keeps integer literals exact; anything else arrives as a double and must be whole.
    const double d = v.toDouble();
    const qint64 exact = v.toInteger(std::numeric_limits<qint64>::min());
    if (static_cast<double>(exact) == d)
        return exact;
    if (!std::isfinite(d) || std::trunc(d) != d || d < -9.2233720368547758e18 ||
        d >= 9.2233720368547758e18)
        throw DecodeError(path, QStringLiteral("should be an integer but is %1").arg(d));
    return static_cast<qint64>(d);
}

double JsonReader::toNumber(const QJsonValue& v, const QString& path) {
    if (!v.isDouble())
        wrongType(path, "a number", v);
    return v.toDouble();
}

QString JsonReader::toString(const QJsonValue& v, const QString& path) {
    if (!v.isString())
        wrongType(path, "a string", v);
    return v.toString();
}

bool JsonReader::toBoolean(const QJsonValue& v, const QString& path) {
    if (!v.isBool())
        wrongType(path, "a boolean", v);
    return v.toBool();
}

QString JsonReader::string(QLatin1String key) const {
    return toString(required(key), member(key));
}

std::optional<QString> JsonReader::optionalString(QLatin1String key) const {
    const QJsonValue v = optional(key);
    if (v.isUndefined())
        return std::nullopt;
    return toString(v, member(key));
}

qint64 JsonReader::integer(QLatin1String key) const {
    return toInteger(required(key), member(key));
}

std::optional<qint64> JsonReader::optionalInteger(QLatin1String key) const {
    const QJsonValue v = optional(key);
    if (v.isUndefined())
        return std::nullopt;
    return toInteger(v, member(key));
}

double JsonReader::number(QLatin1String key) const {
    return toNumber(required(key), member(key));
}

std::optional<double> JsonReader::optionalNumber(QLatin1String key) const {
    const QJsonValue v = optional(key);
    if (v.isUndefined())
        return std::nullopt;
    return toNumber(v, member(key));
}

bool JsonReader::boolean(QLatin1String key) const {
    return toBoolean(required(key), member(key));
}

std::optional<bool> JsonReader::optionalBoolean(QLatin1String key) const {
    const QJsonValue v = optional(key);
    if (v.isUndefined())
        return std::nullopt;
    return toBoolean(v, member(key));
}

QStringList JsonReader::strings(QLatin1String key) const {
    const QJsonArray a = array(key, required(key));
    QStringList out;
    out.reserve(a.size());
    for (qsizetype i = 0; i < a.size(); ++i)
        out.append(toString(a.at(i), QStringLiteral("%1[%2]").arg(member(key)).arg(i)));
    return out;
}

QList<qint64> JsonReader::integers(QLatin1String key) const {
    const QJsonArray a = array(key, required(key));
    QList<qint64> out;
    out.reserve(a.size());
    for (qsizetype i = 0; i < a.size(); ++i)
        out.append(toInteger(a.at(i), QStringLiteral("%1[%2]").arg(member(key)).arg(i)));
    return out;
}

std::optional<QMap<QString, QString>> JsonReader::optionalStringMap(QLatin1String key) const {
    const QJsonValue v = optional(key);
    if (v.isUndefined())
        return std::nullopt;
    if (!v.isObject())
        wrongType(member(key), "an object", v);
    const QJsonObject o = v.toObject();
    QMap<QString, QString> out;
    for (auto it = o.begin(); it != o.end(); ++it)
        out.insert(it.key(), toString(it.value(), member(key) + QLatin1Char('.') + it.key()));
    return out;
}

QByteArray encodeJson(const QJsonObject& object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

} // namespace pq
