#pragma once

#include "SpeakerLabels.h"

#include <QJsonObject>
#include <QStringList>

namespace pq {

// Options of a realtime (caption) session. Absent fields are left out; an empty `translate` is
// written as an empty list.
struct SessionOptions {
    std::optional<QString> spokenLanguage;
    std::optional<QStringList> translate;
    std::optional<SpeakerLabels> speakerLabels;

    SessionOptions() = default;
    SessionOptions(std::optional<QString> spokenLanguage, std::optional<QStringList> translate,
                   std::optional<SpeakerLabels> speakerLabels);

    QJsonObject toJson() const;
    bool operator==(const SessionOptions&) const = default;
};

} // namespace pq
