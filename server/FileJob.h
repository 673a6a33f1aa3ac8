#pragma once

#include "StoreRows.h"
#include "StoredTranscript.h"

#include <QObject>

#include <atomic>
#include <memory>

class QUrl;

namespace pq::server {

class FeedHub;
class MainThreadQueue;
class Recognizer;
class SpeechEngine;
class Store;
class TranscriptBuilder;
class Translator;
class WorkerThread;
struct ServerConfig;

// One file or address transcription, from its turn in the queue to "done" or "failed". An
// address is fetched to disk first ("fetching"), on the job's worker thread. Then
// ("transcribing"), on the same thread, the file is decoded, fed to a recogniser and kept as a WAV
// file for playback, while progress and the transcript come back to this thread; the transcript is
// stored and published on the recording's feed as a live recording's is. The received file is
// removed at the end.
class FileJob : public QObject, public StoredTranscript {
    Q_OBJECT

public:
    FileJob(JobRow job, Store& store, FeedHub& feeds, Translator& translator, SpeechEngine& engine,
            const ServerConfig& config, QObject* parent = nullptr);
    ~FileJob() override;

    void start();
    QString transcriptionId() const { return m_job.transcriptionId; }
    QString recordingId() const { return m_job.recordingId; }

    // Samples fed to the recogniser at a time, as live audio arrives.
    static constexpr int kFeedSamples = 4000;

    // A file's settings are fixed when it is sent.
    void settingsUpdated(const std::optional<QString>&, const std::optional<QString>&) override {}

signals:
    void finished(const QString& transcriptionId, const QString& recordingId);

private:
    // Fetches `fetch` into `path` first when it is given, then transcribes `path`.
    void run(const QString& path, const QUrl& fetch);
    void setState(const QString& state, int pct);
    void decoded(double seconds, const QString& error);
    void drained();
    void fail(const QString& error);
    void end();

    JobRow m_job;
    Store& m_store;
    SpeechEngine& m_engine;
    const ServerConfig& m_config;
    QString m_removeAtEnd; // a file this job received or fetched
    TranscriptBuilder* m_builder = nullptr;
    MainThreadQueue* m_results = nullptr;
    std::unique_ptr<Recognizer> m_recognizer;
    std::unique_ptr<WorkerThread> m_worker;
    std::shared_ptr<std::atomic<bool>> m_cancel;
    double m_seconds = 0;
    QString m_decodeError;
    bool m_ended = false;
};

} // namespace pq::server
