#pragma once

#include "StoreRows.h"

#include <QString>

#include <functional>
#include <memory>

struct sqlite3;

namespace pq::server {

class SqlStatement;

// Everything the service keeps, in one SQLite database (WAL mode, so the key commands of the
// command line can work beside a running server). Used from one thread. Failures throw
// StoreError.
class Store {
public:
    // Opens (and creates or upgrades) "service.db" in dir, which is made if missing.
    explicit Store(const QString& dir);
    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    QString path() const { return m_path; }

    // Runs work in one transaction; an exception rolls it back and is passed on.
    void transaction(const std::function<void()>& work);

    // The one local account.
    QString userId();

    // API keys, stored as hashes only.
    KeyRow createKey(const QString& name, const QByteArray& hash);
    QList<KeyRow> keys();
    bool revokeKey(const QString& id);
    // The id of the key with this hash if it is not revoked; notes its use.
    std::optional<QString> useKey(const QByteArray& hash);

    // Transcriptions, newest first.
    TranscriptionRow createTranscription(const QString& name, bool live, const QString& sourceKind,
                                         const Settings& settings);
    std::optional<TranscriptionRow> transcription(const QString& id);
    // Up to limit rows older than `before` (insertion order), and whether more follow.
    QList<TranscriptionRow> transcriptions(std::optional<qint64> before, int limit, bool* more);

    // Recordings of a transcription.
    RecordingRow createRecording(const QString& transcriptionId, const QString& deviceId,
                                 const Settings& settings);
    std::optional<RecordingRow> recording(const QString& id);
    std::optional<RecordingRow> currentRecording(const QString& transcriptionId);
    std::optional<RecordingRow> lastRecording(const QString& transcriptionId);
    void setRecordingState(const QString& id, const QString& state);
    void finishRecording(const QString& id, double durationS);
    void setRecordingSettings(const QString& id, const Settings& settings);
    // Recordings a previous run left open can get no more audio: they are finished.
    int finishAbandonedRecordings();
    // Ends a recording that did not come to "ready" ("failed").
    void endRecording(const QString& id, const QString& state, double durationS);
    // Every recording of a transcription, oldest first.
    QList<RecordingRow> recordings(const QString& transcriptionId);

    // File and address transcriptions: the transcription, its one recording ("processing")
    // and its job ("queued"), made together.
    JobRow createJob(const QString& name, const Settings& settings, const QString& sourceKind,
                     const QString& source, const QString& fileName);
    std::optional<JobRow> job(const QString& transcriptionId);
    void setJob(const QString& transcriptionId, const QString& state, int pct,
                const std::optional<QString>& error = std::nullopt);
    // Jobs a previous run left unfinished fail with `error`, and so do their recordings; the
    // sources they leave behind are returned (to be deleted).
    QStringList failUnfinishedJobs(const QString& error);

    // The transcript of a recording. Each write also moves the recording's cursor.
    void addSegment(const QString& recordingId, const SegmentRow& segment);
    qint64 nextSentenceId(const QString& recordingId);
    void addSentence(const QString& recordingId, const SentenceRow& sentence);
    void addTranslation(const QString& recordingId, bool sentence, qint64 ref, const QString& lang,
                        const QString& text, qint64 cursor);
    void setCursor(const QString& recordingId, qint64 cursor);
    // What changed after the cursor `after` (everything for -1), with translations into lang.
    QList<SegmentRow> segments(const QString& recordingId, qint64 after,
                               const std::optional<QString>& lang);
    QList<SentenceRow> sentences(const QString& recordingId, qint64 after,
                                 const std::optional<QString>& lang);
    QList<UntranslatedRow> untranslated(const QString& recordingId, const QString& lang);

    // Full-text search over sentences; `match` is an FTS5 query.
    QList<SearchRow> search(const QString& match, int limit);

    // Broadcasts.
    BroadcastRow createBroadcast(const QString& name,
                                 const std::optional<QString>& transcriptionId);
    QList<BroadcastRow> broadcasts(bool activeOnly);
    bool archiveBroadcast(const QString& id);
    // The active broadcast with this code, or of this transcription.
    std::optional<BroadcastRow> broadcastByCode(const QString& code);
    std::optional<BroadcastRow> broadcastOf(const QString& transcriptionId);

    // Summaries of recordings.
    std::optional<SummaryRow> summary(const QString& recordingId);
    void setSummary(const SummaryRow& summary);
    QList<SummaryRow> pendingSummaries();

    // The account's own voices, oldest first.
    VoiceRow createVoice(const VoiceRow& voice);
    QList<VoiceRow> voices();
    std::optional<VoiceRow> voice(const QString& id);
    bool setVoiceFlags(const QString& id, bool enabled, bool draft);

private:
    void exec(const char* sql);
    void migrate();

    QString m_path;
    sqlite3* m_db = nullptr;
};

} // namespace pq::server
