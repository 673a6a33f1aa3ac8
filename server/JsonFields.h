#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <optional>

namespace pq::server {

// Reads the members of a JSON request body, with an HttpError 400 naming the field (by its
// path, "settings.speakerLabels") for anything missing or of the wrong type. Null counts as
// absent for optional members.
class JsonFields {
public:
    explicit JsonFields(QJsonObject object, QString path = {});

    // The body as a JSON object; an empty body reads as {} when allowEmpty.
    static JsonFields parse(const QByteArray& body, bool allowEmpty = false);

    bool has(const QString& key) const; // present and not null
    bool isNull(const QString& key) const;
    QString string(const QString& key, int maxLength = 1000) const;
    std::optional<QString> optionalString(const QString& key, int maxLength = 1000) const;
    bool boolean(const QString& key) const;
    std::optional<QStringList> optionalStringList(const QString& key, int maxItems = 50) const;
    JsonFields object(const QString& key) const;
    const QJsonObject& raw() const { return m_object; }

private:
    QString field(const QString& key) const;
    [[noreturn]] void wrong(const QString& key, const char* what) const;

    QJsonObject m_object;
    QString m_path;
};

} // namespace pq::server
