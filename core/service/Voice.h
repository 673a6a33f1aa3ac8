#pragma once

#include "JsonReader.h"

namespace pq {

// One of the user's own voices.
struct Voice {
    static constexpr const char* recordName = "Voice";

    QString id;
    QString name;
    QString state;
    std::optional<QString> color;
    bool enabled = false;
    bool draft = false;

    const QString& identity() const { return id; }

    static Voice read(const JsonReader& r);
    bool operator==(const Voice&) const = default;
};

struct VoiceList {
    static constexpr const char* recordName = "VoiceList";

    std::optional<QList<Voice>> voices;

    static VoiceList read(const JsonReader& r);
    bool operator==(const VoiceList&) const = default;
};

} // namespace pq
