#pragma once

#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QString>

#include <optional>

// Typed reads of decoded feed and uplink events. A key reads as a type only when its value is of
// that type; anything else reads as absent, so a malformed event is ignored rather than refused.
namespace pq::event {

std::optional<QString> text(const QJsonObject& event, QLatin1String key);
// A JSON number that is a whole value representable as a 64-bit integer.
std::optional<qint64> integer(const QJsonValue& value);
std::optional<qint64> integer(const QJsonObject& event, QLatin1String key);
std::optional<bool> boolean(const QJsonObject& event, QLatin1String key);
std::optional<QJsonObject> object(const QJsonObject& event, QLatin1String key);
// An array whose every element is an object (an empty array qualifies).
std::optional<QList<QJsonObject>> objects(const QJsonObject& event, QLatin1String key);
// An array whose every element is an integer.
std::optional<QList<qint64>> integers(const QJsonObject& event, QLatin1String key);
// An object whose every value is a string.
std::optional<QMap<QString, QString>> textMap(const QJsonObject& event, QLatin1String key);
// The value as a double when it is a number, else 0 (also when missing).
double num(const QJsonValue& value);

// The "type" of an event, or an empty string when it has none.
QString type(const QJsonObject& event);

// Where an event stands in a feed: its "cursor" as an integer, else its "seq".
std::optional<qint64> position(const QJsonObject& event);

} // namespace pq::event
