#pragma once

#include "JsonReader.h"

namespace pq {

// One language the service offers, and what for.
struct LanguageInfo {
    static constexpr const char* recordName = "LanguageInfo";

    QString code;
    std::optional<QString> flag;
    QString name;
    QString native;
    bool transcription = false;
    bool translation = false;
    bool voice = false;

    LanguageInfo() = default;
    LanguageInfo(QString code, std::optional<QString> flag, QString name, QString native,
                 bool transcription, bool translation, bool voice);

    const QString& identity() const { return code; }

    static LanguageInfo read(const JsonReader& r);
    bool operator==(const LanguageInfo&) const = default;
};

struct LanguageLists {
    static constexpr const char* recordName = "LanguageLists";

    QList<LanguageInfo> languages;

    static LanguageLists read(const JsonReader& r);
    bool operator==(const LanguageLists&) const = default;
};

} // namespace pq
