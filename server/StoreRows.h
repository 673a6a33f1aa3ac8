#pragma once

#include <QList>
#include <QMap>
#include <QString>

#include <optional>

// Plain rows read from and written to the Store.
namespace pq::server {

struct KeyRow {
    QString id;
    QString name;
    QString createdAt;
    std::optional<QString> lastUsedAt;
    std::optional<QString> revokedAt;
};

// Transcription settings as the client patches them; an absent language means "detect".
struct Settings {
    std::optional<QString> spokenLanguage;
    QString speakerLabels = QStringLiteral("auto");
};

struct TranscriptionRow {
    qint64 n = 0; // insertion order, the pagination key
    QString id;
    QString name;
    QString createdAt;
    bool live = false;
    Settings settings;
};

struct RecordingRow {
    QString id;
    QString transcriptionId;
    QString state;
    QString deviceId;
    QString createdAt;
    std::optional<QString> endedAt;
    double durationS = 0;
    qint64 lastCursor = 0;
    Settings settings;
};

struct SegmentRow {
    qint64 seq = 0;
    QString text;
    double start = 0;
    double end = 0;
    int speaker = 0;
    QString language;
    std::optional<QString> translation; // in the language asked for, when there is one
};

struct SentenceRow {
    qint64 sentenceId = 0;
    qint64 cursor = 0;
    QList<qint64> seqs;
    QString text;
    int speaker = 0;
    double start = 0;
    std::optional<QString> translation;
};

// A text of a recording that has no translation into some language yet.
struct UntranslatedRow {
    bool sentence = false; // else a segment
    qint64 ref = 0;        // sentence id or segment seq
    QString text;
    qint64 cursor = 0; // the position the text was published at
};

struct SearchRow {
    QString transcriptionId;
    QString recordingId;
    qint64 sentenceId = 0;
    QString linkName;
    QString text;
    QString marked; // text with matches between U+E000 and U+E001
    double mediaStart = 0;
};

struct BroadcastRow {
    QString id;
    QString name;
    QString code;
    QString createdAt;
    std::optional<QString> transcriptionId;
    std::optional<QString> archivedAt;
};

// The processing job of a file or address transcription. States: "queued", "fetching" (an
// address being downloaded), "transcribing", then "done" or "failed" (with `error`).
struct JobRow {
    QString transcriptionId;
    QString recordingId;
    QString state;
    int pct = 0;
    std::optional<QString> error;
    QString source;   // the received file, or the address to fetch
    QString fileName; // what the user sent: the file's name or the address
};

// A recording's summary: "pending", "ready" (with text and title) or "unavailable".
struct SummaryRow {
    QString recordingId;
    QString state;
    std::optional<QString> summary;
    std::optional<QString> title;
};

// One of the account's own voices: an espeak-ng voice with its own pitch and speed.
struct VoiceRow {
    QString id;
    QString name;
    QString base;   // espeak-ng voice identifier ("gmw/en-US")
    int pitch = 50; // 0–99
    int rate = 175; // words per minute
    QString color;
    bool enabled = true;
    bool draft = false;
    QString createdAt;
};

} // namespace pq::server
