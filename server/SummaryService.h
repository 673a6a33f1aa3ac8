#pragma once

#include "StoreRows.h"

#include <QObject>
#include <QSet>

#include <memory>

namespace pq::server {

class MainThreadQueue;
class Store;
class WorkerThread;

// Summaries of recordings (POST …/summarize, GET …/summary): "not_requested" until asked;
// then "pending" while the recording is still being transcribed and while the summary is
// made (TextRank on a worker thread); then "ready" with the summary and a title, or
// "unavailable" when the recording has too little text. The state is stored, so pending
// summaries are made after a restart too.
class SummaryService : public QObject {
    Q_OBJECT

public:
    SummaryService(Store& store, QObject* parent = nullptr);
    ~SummaryService() override;

    // Asks for the summary of a recording; `finished` says its transcript is complete.
    SummaryRow request(const RecordingRow& recording, bool finished);
    // The summary's state ("not_requested" when never asked for).
    SummaryRow status(const QString& recordingId);
    // A recording's transcript is complete: a summary waiting for it is made now.
    void recordingFinished(const QString& recordingId);

private:
    void make(const QString& recordingId);

    Store& m_store;
    std::unique_ptr<WorkerThread> m_worker;
    MainThreadQueue* m_results;
    QSet<QString> m_making;
};

} // namespace pq::server
