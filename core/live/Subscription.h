#pragma once

#include "TranscriptSnapshot.h"

#include <QCoroTask>
#include <QFuture>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QPromise>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <optional>
#include <stop_token>
#include <thread>

class QEventLoop;
class QTimer;

namespace pq {

class API;
class Mailbox;
class Socket;

// The transcript feed of one recording, in one reading language. Hands its owner an ordered,
// gap-free stream: every event is placed by its position ("cursor", else "seq"), repeats are
// dropped, and a hole is repaired from a snapshot of the transcript, after which the events
// held back meanwhile are replayed. A repair that cannot be fetched is retried with the same
// position, waiting longer each time, until it succeeds or the feed is closed.
//
// The feed runs on a thread of its own ("parloquent.subs"), which owns the socket and all the
// feed's state; `snapshotReceived` and `frameReceived` are emitted there, one at a time, in
// delivery order (owners on another thread receive them queued, in the same order, or take
// them with a direct connection and move them on themselves). `open`, `close` and destruction
// belong to the thread of the API client, which also runs the snapshot requests.
class Subscription : public QObject {
    Q_OBJECT

public:
    struct Timing {
        std::chrono::milliseconds goAhead{15'000};   // wait for "subscribe.ready"
        std::chrono::milliseconds firstRetry{1'000}; // after a failed repair, doubling…
        std::chrono::milliseconds maxRetry{30'000};  // …up to this
    };

    Subscription(API* api, QString recordingId, std::optional<QString> lang,
                 QObject* parent = nullptr);
    Subscription(API* api, QString recordingId, std::optional<QString> lang, Timing timing,
                 QObject* parent = nullptr);
    ~Subscription() override;

    const QString& recordingId() const { return m_recordingId; }
    const std::optional<QString>& lang() const { return m_lang; }

    // Connects, waits for the service's go-ahead, then delivers the whole transcript as the
    // first snapshot and replays the events that came meanwhile. Throws APIError
    // ("engine_unavailable") when the feed does not open, or the client's error when the first
    // snapshot cannot be fetched; the feed is closed then. Call once.
    QCoro::Task<void> open();
    // Closes the feed: nothing more is delivered, repairs stop, `lost` is not emitted.
    void close();

signals:
    void snapshotReceived(const pq::TranscriptSnapshot& snapshot);
    void frameReceived(const QJsonObject& frame);
    // The service or the network closed the feed after it had opened. It delivers nothing more;
    // follow the recording with a new feed to go on.
    void lost(const std::optional<QString>& reason);

private:
    // How the wait for the go-ahead ended.
    enum class GoAhead { waiting, ready, timedOut, closed, cancelled };

    // On the owner's thread.
    void startOpening();
    QCoro::Task<void> resnapshot(std::optional<qint64> after);
    QCoro::Task<void> repair(qint64 after);
    QFuture<void> deliver(TranscriptSnapshot snapshot);
    GoAhead goAhead() const;

    // On the feed's thread.
    void run(std::promise<void>& started);
    void startFeed(const QUrl& url, const std::optional<QString>& bearer);
    void onFeedFrame(const QJsonObject& frame);
    void onFeedClosed(const std::optional<QString>& reason);
    void settleGoAhead(GoAhead outcome);
    void handle(const QJsonObject& frame);
    void apply(const TranscriptSnapshot& snapshot);
    // Closed by the owner, lost, or being destroyed: nothing more is delivered.
    bool isOver() const;
    void teardown();

    QPointer<API> m_api;
    const QString m_recordingId;
    const std::optional<QString> m_lang;
    const Timing m_timing;

    bool m_opening = false;       // touched on the owner's thread
    Mailbox* m_home;              // on the owner's thread: repairs start here
    Mailbox* m_queue = nullptr;   // on the feed's thread: the feed's serial context
    QEventLoop* m_loop = nullptr; // the feed thread's event loop
    std::thread m_thread;

    // Feed state, touched only on the feed's thread.
    Socket* m_socket = nullptr;
    QTimer* m_goAheadTimer = nullptr;
    qint64 m_cursor = -1;
    bool m_ended = false; // the socket has closed
    // Events held back while a snapshot is awaited; absent while events flow. A repair is under
    // way exactly while it is present after the first snapshot.
    std::optional<QList<QJsonObject>> m_buffering = QList<QJsonObject>();

    mutable std::mutex m_goAheadMutex;
    GoAhead m_goAhead = GoAhead::waiting; // guarded by m_goAheadMutex
    QPromise<void> m_goAheadDone;         // finished once m_goAhead is settled

    std::stop_source m_stop; // the feed is over: closed, lost or destroyed
    std::atomic<bool> m_closedByOwner{false};
};

} // namespace pq
