#pragma once

#include "JsonReader.h"

namespace pq {

struct JobProgress {
    static constexpr const char* recordName = "JobProgress";

    qint64 pct = 0;
    std::optional<QString> phase;

    static JobProgress read(const JsonReader& r);
    bool operator==(const JobProgress&) const = default;
};

// The processing job of a file or address transcription.
struct TranscriptionJob {
    static constexpr const char* recordName = "TranscriptionJob";

    QString state;
    QString recordingId;
    JobProgress progress;
    std::optional<QString> error;

    static TranscriptionJob read(const JsonReader& r);
    bool operator==(const TranscriptionJob&) const = default;
};

struct LastRecording {
    static constexpr const char* recordName = "LastRecording";

    QString recordingId;
    QString state;
    std::optional<double> durationS;
    std::optional<QString> title;

    static LastRecording read(const JsonReader& r);
    bool operator==(const LastRecording&) const = default;
};

struct CurrentRecording {
    static constexpr const char* recordName = "CurrentRecording";

    QString recordingId;
    QString state;

    static CurrentRecording read(const JsonReader& r);
    bool operator==(const CurrentRecording&) const = default;
};

// One entry of the user's library.
struct Transcription {
    static constexpr const char* recordName = "Transcription";

    QString id;
    QString name;
    QString createdAt;
    std::optional<bool> live;
    std::optional<TranscriptionJob> job;
    std::optional<LastRecording> lastRecording;
    std::optional<CurrentRecording> currentRecording;

    const QString& identity() const { return id; }

    static Transcription read(const JsonReader& r);
    bool operator==(const Transcription&) const = default;
};

struct TranscriptionPage {
    static constexpr const char* recordName = "TranscriptionPage";

    QList<Transcription> transcriptions;
    std::optional<QString> nextCursor;

    static TranscriptionPage read(const JsonReader& r);
    bool operator==(const TranscriptionPage&) const = default;
};

} // namespace pq
