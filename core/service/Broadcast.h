#pragma once

#include "Transcription.h"

namespace pq {

// A link other people open to follow the user's live recording.
struct Broadcast {
    static constexpr const char* recordName = "Broadcast";

    QString id;
    QString name;
    QString code;
    QString createdAt;
    std::optional<QString> lastRecordedAt;
    std::optional<LastRecording> lastRecording;
    std::optional<CurrentRecording> currentRecording;
    std::optional<qint64> listenersNow;

    const QString& identity() const { return id; }

    static Broadcast read(const JsonReader& r);
    bool operator==(const Broadcast&) const = default;
};

struct BroadcastPage {
    static constexpr const char* recordName = "BroadcastPage";

    QList<Broadcast> broadcasts;

    static BroadcastPage read(const JsonReader& r);
    bool operator==(const BroadcastPage&) const = default;
};

} // namespace pq
