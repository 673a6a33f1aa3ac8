#pragma once

#include "SpeakerLabels.h"

#include <QJsonObject>

namespace pq {

// Transcription settings sent at creation or changed during a live run. A missing language is
// written as null (detect it); missing labels are left out (keep the service's setting).
struct SettingsPatch {
    std::optional<QString> spokenLanguage;
    std::optional<SpeakerLabels> speakerLabels;

    SettingsPatch() = default;
    SettingsPatch(std::optional<QString> spokenLanguage,
                  std::optional<SpeakerLabels> speakerLabels);

    QJsonObject toJson() const;
    bool operator==(const SettingsPatch&) const = default;
};

} // namespace pq
