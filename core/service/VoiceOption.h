#pragma once

#include "JsonReader.h"

namespace pq {

// A voice of the catalogue for one language. `isDefault` is the wire's "default" (a C++ keyword).
struct VoiceOption {
    static constexpr const char* recordName = "VoiceOption";

    QString id;
    QString name;
    bool cloned = false;
    bool isDefault = false;
    std::optional<QString> gender;
    std::optional<QString> accent;

    const QString& identity() const { return id; }

    static VoiceOption read(const JsonReader& r);
    bool operator==(const VoiceOption&) const = default;
};

struct VoiceCatalogue {
    static constexpr const char* recordName = "VoiceCatalogue";

    QString lang;
    QList<VoiceOption> voices;

    static VoiceCatalogue read(const JsonReader& r);
    bool operator==(const VoiceCatalogue&) const = default;
};

} // namespace pq
