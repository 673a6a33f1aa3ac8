#include "EventFields.h"

#include <QJsonArray>

#include <limits>

namespace pq::event {

std::optional<QString> text(const QJsonObject& event, QLatin1String key) {
    const QJsonValue v = event.value(key);
    if (!v.isString())
        return std::nullopt;
    return v.toString();
}

std::optional<qint64> integer(const QJsonValue& value) {
    if (!value.isDouble())
        return std::nullopt;
    // Qt keeps integer literals exact and converts whole doubles; for anything else each call
    // gives back its own default, so two different defaults tell the cases apart.
    const qint64 low = value.toInteger(std::numeric_limits<qint64>::min());
    const qint64 high = value.toInteger(std::numeric_limits<qint64>::max());
    if (low != high)
        return std::nullopt;
    return low;
}

std::optional<qint64> integer(const QJsonObject& event, QLatin1String key) {
    return integer(event.value(key));
}

std::optional<bool> boolean(const QJsonObject& event, QLatin1String key) {
    const QJsonValue v = event.value(key);
    if (!v.isBool())
        return std::nullopt;
    return v.toBool();
}

std::optional<QJsonObject> object(const QJsonObject& event, QLatin1String key) {
    const QJsonValue v = event.value(key);
    if (!v.isObject())
        return std::nullopt;
    return v.toObject();
}

std::optional<QList<QJsonObject>> objects(const QJsonObject& event, QLatin1String key) {
    const QJsonValue v = event.value(key);
    if (!v.isArray())
        return std::nullopt;
    const QJsonArray array = v.toArray();
    QList<QJsonObject> out;
    out.reserve(array.size());
    for (const QJsonValue& item : array) {
        if (!item.isObject())
            return std::nullopt;
        out.append(item.toObject());
    }
    return out;
}

std::optional<QList<qint64>> integers(const QJsonObject& event, QLatin1String key) {
    const QJsonValue v = event.value(key);
    if (!v.isArray())
        return std::nullopt;
    const QJsonArray array = v.toArray();
    QList<qint64> out;
    out.reserve(array.size());
    for (const QJsonValue& item : array) {
        const std::optional<qint64> n = integer(item);
        if (!n)
            return std::nullopt;
        out.append(*n);
    }
    return out;
}

std::optional<QMap<QString, QString>> textMap(const QJsonObject& event, QLatin1String key) {
    const QJsonValue v = event.value(key);
    if (!v.isObject())
        return std::nullopt;
    const QJsonObject object = v.toObject();
    QMap<QString, QString> out;
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (!it.value().isString())
            return std::nullopt;
        out.insert(it.key(), it.value().toString());
    }
    return out;
}

double num(const QJsonValue& value) {
    return value.isDouble() ? value.toDouble() : 0.0;
}

QString type(const QJsonObject& event) {
    return text(event, QLatin1String("type")).value_or(QString());
}

std::optional<qint64> position(const QJsonObject& event) {
    if (const std::optional<qint64> cursor = integer(event, QLatin1String("cursor")))
        return cursor;
    return integer(event, QLatin1String("seq"));
}

} // namespace pq::event
