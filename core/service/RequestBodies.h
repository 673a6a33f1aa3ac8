#pragma once

#include "SettingsPatch.h"

#include <QJsonObject>
#include <QMap>

namespace pq {

// Bodies of single operations, each written with sorted keys.

struct LiveTranscriptionBody {
    QString name;
    SettingsPatch settings;
    QMap<QString, QString> source;
    QJsonObject toJson() const;
};

struct AddressTranscriptionBody {
    QString url;
    std::optional<QString> name;
    SettingsPatch settings;
    QJsonObject toJson() const;
};

struct RecordingStartBody {
    bool takeover = false;
    QString deviceId;
    QJsonObject toJson() const;
};

struct RecordingStopBody {
    std::optional<QString> reason;
    QJsonObject toJson() const;
};

struct UploadOptions {
    QString name;
    SettingsPatch settings;
    QJsonObject toJson() const;
};

} // namespace pq
