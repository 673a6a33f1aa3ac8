#pragma once

#include "StoreRows.h"

#include <QHash>
#include <QObject>

#include <deque>

namespace pq::server {

class FeedHub;
class FileJob;
class SpeechEngine;
class Store;
class Translator;
struct ServerConfig;

// File and address transcriptions: each becomes a transcription with one recording and a job,
// which waits its turn ("queued") and runs when one of the `jobs` places is free.
class JobQueue : public QObject {
    Q_OBJECT

public:
    JobQueue(Store& store, FeedHub& feeds, Translator& translator, SpeechEngine& engine,
             const ServerConfig& config, QObject* parent = nullptr);
    ~JobQueue() override;

    // A new job for a received file (which it takes over) or an address.
    JobRow add(const QString& name, const Settings& settings, const QString& sourceKind,
               const QString& source, const QString& fileName);

signals:
    // A job ended, done or failed.
    void finished(const QString& transcriptionId, const QString& recordingId);

private:
    void next();

    Store& m_store;
    FeedHub& m_feeds;
    Translator& m_translator;
    SpeechEngine& m_engine;
    const ServerConfig& m_config;
    std::deque<JobRow> m_waiting;
    QHash<QString, FileJob*> m_running; // by transcription
};

} // namespace pq::server
