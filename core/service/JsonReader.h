#pragma once

#include "DecodeError.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QMap>
#include <QStringList>

#include <optional>

namespace pq {

// Reads one JSON object member by member with the wire rules: a required member must be present
// with the right type; an optional one may be missing or null (both read as absent); members not
// asked for are ignored. Every failure is a DecodeError naming the record and the member's path.
class JsonReader {
public:
    // Throws unless `value` is an object.
    JsonReader(const QJsonValue& value, QString path);

    // Parses a whole answer body. Any JSON value is accepted at the top level (scalars too);
    // malformed text, including text that is not UTF-8, is a DecodeError naming `record`.
    static QJsonValue parse(const QByteArray& bytes, const QString& record);

    const QString& path() const { return m_path; }
    const QJsonObject& object() const { return m_object; }

    QString string(QLatin1String key) const;
    std::optional<QString> optionalString(QLatin1String key) const;
    qint64 integer(QLatin1String key) const;
    std::optional<qint64> optionalInteger(QLatin1String key) const;
    double number(QLatin1String key) const;
    std::optional<double> optionalNumber(QLatin1String key) const;
    bool boolean(QLatin1String key) const;
    std::optional<bool> optionalBoolean(QLatin1String key) const;
    QStringList strings(QLatin1String key) const;
    QList<qint64> integers(QLatin1String key) const;
    std::optional<QMap<QString, QString>> optionalStringMap(QLatin1String key) const;

    template <class T> T record(QLatin1String key) const {
        return T::read(JsonReader(required(key), member(key)));
    }
    template <class T> std::optional<T> optionalRecord(QLatin1String key) const {
        const QJsonValue v = optional(key);
        if (v.isUndefined())
            return std::nullopt;
        return T::read(JsonReader(v, member(key)));
    }
    template <class T> QList<T> records(QLatin1String key) const {
        return readRecords<T>(array(key, required(key)), member(key));
    }
    template <class T> std::optional<QList<T>> optionalRecords(QLatin1String key) const {
        const QJsonValue v = optional(key);
        if (v.isUndefined())
            return std::nullopt;
        return readRecords<T>(array(key, v), member(key));
    }

    // Converters for single values, shared with the list readers.
    static qint64 toInteger(const QJsonValue& v, const QString& path);
    static double toNumber(const QJsonValue& v, const QString& path);
    static QString toString(const QJsonValue& v, const QString& path);
    static bool toBoolean(const QJsonValue& v, const QString& path);

private:
    QJsonValue required(QLatin1String key) const;
    QJsonValue optional(QLatin1String key) const;
    QJsonArray array(QLatin1String key, const QJsonValue& v) const;
    QString member(QLatin1String key) const;

    template <class T> static QList<T> readRecords(const QJsonArray& array, const QString& path) {
        QList<T> out;
        out.reserve(array.size());
        for (qsizetype i = 0; i < array.size(); ++i)
            out.append(T::read(JsonReader(array.at(i), QStringLiteral("%1[%2]").arg(path).arg(i))));
        return out;
    }

    QJsonObject m_object;
    QString m_path;
};

// Writes a record with sorted keys and no whitespace (QJsonObject keeps its keys in order).
QByteArray encodeJson(const QJsonObject& object);

// Decodes a whole answer body into a record type that has `read(const JsonReader&)` and a
// `recordName`.
template <class T> T decode(const QByteArray& bytes) {
    const QString name = QLatin1String(T::recordName);
    return T::read(JsonReader(JsonReader::parse(bytes, name), name));
}

} // namespace pq
