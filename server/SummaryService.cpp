#include "SummaryService.h"

#include "MainThreadQueue.h"
#include "SqlStatement.h"
#include "Store.h"
#include "Summarizer.h"
#include "WorkerThread.h"

#include <QLoggingCategory>

#include <string>
#include <vector>

Q_LOGGING_CATEGORY(lcSummary, "parloquent.server.summary")

namespace pq::server {

SummaryService::SummaryService(Store& store, QObject* parent)
    : QObject(parent), m_store(store),
      m_worker(std::make_unique<WorkerThread>(QStringLiteral("summaries"))),
      m_results(new MainThreadQueue(this)) {
    // Summaries asked for before a restart, of recordings that are complete by now.
    for (const SummaryRow& s : m_store.pendingSummaries()) {
        const auto recording = m_store.recording(s.recordingId);
        if (recording && recording->endedAt)
            make(s.recordingId);
    }
}

SummaryService::~SummaryService() {
    m_worker.reset(); // waits for a summary under way; its result is dropped
}

SummaryRow SummaryService::status(const QString& recordingId) {
    if (auto row = m_store.summary(recordingId))
        return *row;
    return SummaryRow{recordingId, QStringLiteral("not_requested"), {}, {}};
}

SummaryRow SummaryService::request(const RecordingRow& recording, bool finished) {
    const SummaryRow current = status(recording.id);
    if (current.state == QLatin1String("ready") || current.state == QLatin1String("unavailable") ||
        (current.state == QLatin1String("pending") && !finished))
        return current;
    const SummaryRow pending{recording.id, QStringLiteral("pending"), {}, {}};
    m_store.setSummary(pending);
    if (finished)
        make(recording.id);
    return pending;
}

void SummaryService::recordingFinished(const QString& recordingId) {
    try {
        if (status(recordingId).state == QLatin1String("pending"))
            make(recordingId);
    } catch (const StoreError& e) {
        qCWarning(lcSummary) << "cannot read the summary of" << recordingId << e.what();
    }
}

void SummaryService::make(const QString& recordingId) {
    if (m_making.contains(recordingId))
        return;
    m_making.insert(recordingId);
    // Plain UTF-8 copies for the worker: nothing shared with this thread's strings.
    std::vector<std::string> texts;
    for (const SentenceRow& s : m_store.sentences(recordingId, -1, std::nullopt))
        texts.push_back(s.text.toStdString());
    m_worker->post([this, rid = recordingId.toStdString(), texts = std::move(texts)] {
        QStringList sentences;
        for (const std::string& t : texts)
            sentences.append(QString::fromStdString(t));
        const Summarizer::Result r = Summarizer::summarize(sentences);
        m_results->post([this, id = QString::fromStdString(rid), enough = r.enough,
                         summary = r.summary.toStdString(), title = r.title.toStdString()] {
            m_making.remove(id);
            SummaryRow row{
                id, enough ? QStringLiteral("ready") : QStringLiteral("unavailable"), {}, {}};
            if (enough) {
                row.summary = QString::fromStdString(summary);
                row.title = QString::fromStdString(title);
            }
            try {
                m_store.setSummary(row);
            } catch (const StoreError& e) {
                qCWarning(lcSummary) << "cannot store the summary of" << id << e.what();
            }
        });
    });
}

} // namespace pq::server
