#include "JobQueue.h"

#include "FileJob.h"
#include "ServerConfig.h"
#include "Store.h"

#include "UrlFetcher.h"

#include <QFile>

namespace pq::server {

JobQueue::JobQueue(Store& store, FeedHub& feeds, Translator& translator, SpeechEngine& engine,
                   const ServerConfig& config, QObject* parent)
    : QObject(parent), m_store(store), m_feeds(feeds), m_translator(translator), m_engine(engine),
      m_config(config) {
    UrlFetcher::initialise();
}

JobQueue::~JobQueue() {
    // Running jobs stop their workers as they go; received files still waiting are removed.
    for (FileJob* job : std::as_const(m_running)) {
        job->disconnect(this);
        delete job;
    }
    for (const JobRow& job : m_waiting) {
        if (job.source.startsWith(m_config.uploadsDir()))
            QFile::remove(job.source);
    }
}

JobRow JobQueue::add(const QString& name, const Settings& settings, const QString& sourceKind,
                     const QString& source, const QString& fileName) {
    const JobRow job = m_store.createJob(name, settings, sourceKind, source, fileName);
    m_waiting.push_back(job);
    // Started from the event loop, so the caller answers before any work begins.
    QMetaObject::invokeMethod(this, &JobQueue::next, Qt::QueuedConnection);
    return job;
}

void JobQueue::next() {
    while (!m_waiting.empty() && m_running.size() < m_config.jobs) {
        const JobRow row = m_waiting.front();
        m_waiting.pop_front();
        auto* job = new FileJob(row, m_store, m_feeds, m_translator, m_engine, m_config, this);
        m_running.insert(row.transcriptionId, job);
        connect(job, &FileJob::finished, this,
                [this](const QString& transcriptionId, const QString& recordingId) {
                    if (FileJob* done = m_running.take(transcriptionId))
                        done->deleteLater();
                    emit finished(transcriptionId, recordingId);
                    next();
                });
        job->start();
    }
}

} // namespace pq::server
