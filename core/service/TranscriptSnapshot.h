#pragma once

#include "JsonReader.h"

namespace pq {

struct SegmentView {
    static constexpr const char* recordName = "SegmentView";

    qint64 seq = 0;
    QString text;
    double start = 0;
    double end = 0;
    qint64 speaker = 0;
    std::optional<QString> language;
    std::optional<QMap<QString, QString>> translations;
    std::optional<bool> suppressed;

    static SegmentView read(const JsonReader& r);
    bool operator==(const SegmentView&) const = default;
};

struct SentenceView {
    static constexpr const char* recordName = "SentenceView";

    qint64 sentenceId = 0;
    QList<qint64> seqs;
    QString text;
    qint64 speaker = 0;
    std::optional<QMap<QString, QString>> translations;

    static SentenceView read(const JsonReader& r);
    bool operator==(const SentenceView&) const = default;
};

struct SpeakerView {
    static constexpr const char* recordName = "SpeakerView";

    qint64 speaker = 0;
    QString name;

    static SpeakerView read(const JsonReader& r);
    bool operator==(const SpeakerView&) const = default;
};

// A recording's transcript up to `lastSeq`, used to start a transcript and to repair gaps.
struct TranscriptSnapshot {
    static constexpr const char* recordName = "TranscriptSnapshot";

    QString recordingId;
    qint64 lastSeq = 0;
    QList<SegmentView> segments;
    QList<SentenceView> sentences;
    QList<SpeakerView> speakers;
    QString state;

    static TranscriptSnapshot read(const JsonReader& r);
    bool operator==(const TranscriptSnapshot&) const = default;
};

} // namespace pq
