#include "Subscription.h"

#include "API.h"
#include "APIError.h"
#include "EventFields.h"
#include "Mailbox.h"
#include "Socket.h"
#include "TransportError.h"
#include "Wait.h"

#include <QCoroFuture>
#include <QEventLoop>
#include <QTimer>

#include <pthread.h>

#include <future>
#include <memory>

namespace pq {

namespace {

APIError goAheadFailure(const char* message) {
    return APIError(QStringLiteral("engine_unavailable"), QString::fromUtf8(message), std::nullopt,
                    true);
}

} // namespace

Subscription::Subscription(API* api, QString recordingId, std::optional<QString> lang,
                           QObject* parent)
    : Subscription(api, std::move(recordingId), std::move(lang), Timing{}, parent) {}

Subscription::Subscription(API* api, QString recordingId, std::optional<QString> lang,
                           Timing timing, QObject* parent)
    : QObject(parent), m_api(api), m_recordingId(std::move(recordingId)), m_lang(std::move(lang)),
      m_timing(timing), m_home(new Mailbox(this)) {
    m_goAheadDone.start();
    // The feed's mailbox is made on its thread; posting needs it, so wait the moment it takes.
    std::promise<void> started;
    std::future<void> running = started.get_future();
    m_thread = std::thread([this, &started] { run(started); });
    running.wait();
}

Subscription::~Subscription() {
    m_closedByOwner = true;
    m_stop.request_stop();
    m_queue->post([this] {
        teardown();
        m_loop->quit();
    });
    m_thread.join();
}

void Subscription::run(std::promise<void>& started) {
    pthread_setname_np(pthread_self(), "parloquent.subs");
    QEventLoop loop;
    Mailbox queue;
    m_loop = &loop;
    m_queue = &queue;
    started.set_value();
    loop.exec();
}

void Subscription::teardown() {
    settleGoAhead(GoAhead::cancelled);
    delete m_socket;
    m_socket = nullptr;
    delete m_goAheadTimer;
    m_goAheadTimer = nullptr;
}

Subscription::GoAhead Subscription::goAhead() const {
    const std::lock_guard lock(m_goAheadMutex);
    return m_goAhead;
}

void Subscription::startOpening() {
    if (!m_api) {
        m_queue->post([this] { settleGoAhead(GoAhead::cancelled); });
        return;
    }
    API::Query query;
    query.insert(QStringLiteral("lang"), m_lang);
    query.insert(QStringLiteral("device"), API::deviceId());
    const QUrl url = m_api->wsURL(
        QStringLiteral("/v1/recordings/%1/subscribe").arg(API::segment(m_recordingId)), query);
    const std::optional<QString> bearer = m_api->key();
    m_queue->post([this, url, bearer] { startFeed(url, bearer); });
}

QCoro::Task<void> Subscription::open() {
    const QPointer<Subscription> self(this);
    if (m_opening)
        throw APIError(QStringLiteral("invalid_state"),
                       QStringLiteral("The transcript feed was opened already."), std::nullopt,
                       false);
    m_opening = true;
    startOpening(); // plain code: GCC 12 mishandles capturing lambdas in coroutine bodies
    QFuture<void> settled = m_goAheadDone.future();
    std::exception_ptr failure;
    try {
        co_await settled;
        if (!self)
            throw TransportError::cancellation();
        switch (self->goAhead()) {
        case GoAhead::ready:
            break;
        case GoAhead::timedOut:
            throw goAheadFailure("The transcript feed did not open.");
        case GoAhead::closed:
            throw goAheadFailure("The transcript feed closed before it opened.");
        case GoAhead::waiting:
        case GoAhead::cancelled:
            throw TransportError::cancellation();
        }
        QCoro::Task<void> first = self->resnapshot(std::nullopt);
        co_await std::move(first);
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        // Nothing reaches the owner from a feed that did not open; held events would only pile
        // up for the rest of the run.
        if (self)
            self->close();
        std::rethrow_exception(failure);
    }
}

void Subscription::startFeed(const QUrl& url, const std::optional<QString>& bearer) {
    if (isOver()) {
        settleGoAhead(GoAhead::closed);
        return;
    }
    m_socket = new Socket(url, bearer);
    connect(m_socket, &Socket::frameReceived, m_queue,
            [this](const QJsonObject& frame) { onFeedFrame(frame); });
    connect(m_socket, &Socket::closed, m_queue,
            [this](const std::optional<QString>& reason) { onFeedClosed(reason); });
    m_goAheadTimer = new QTimer;
    m_goAheadTimer->setSingleShot(true);
    connect(m_goAheadTimer, &QTimer::timeout, m_queue,
            [this] { settleGoAhead(GoAhead::timedOut); });
    m_goAheadTimer->start(m_timing.goAhead);
    m_socket->open();
}

void Subscription::settleGoAhead(GoAhead outcome) {
    {
        const std::lock_guard lock(m_goAheadMutex);
        if (m_goAhead != GoAhead::waiting)
            return;
        m_goAhead = outcome;
    }
    if (m_goAheadTimer)
        m_goAheadTimer->stop();
    m_goAheadDone.finish();
}

void Subscription::onFeedFrame(const QJsonObject& frame) {
    if (event::type(frame) == QLatin1String("subscribe.ready")) {
        settleGoAhead(GoAhead::ready); // a repeated go-ahead is dropped
        return;
    }
    handle(frame);
}

void Subscription::onFeedClosed(const std::optional<QString>& reason) {
    if (goAhead() == GoAhead::waiting) {
        settleGoAhead(GoAhead::closed);
        return;
    }
    // Whatever was held back or is being repaired will not be delivered: a new feed's first
    // snapshot covers it. The stop is requested on the owner's thread, where the requests and
    // waits it cancels live.
    m_ended = true;
    m_home->post([this] { m_stop.request_stop(); });
    if (!m_closedByOwner)
        emit lost(reason);
}

void Subscription::close() {
    m_closedByOwner = true;
    m_stop.request_stop();
    m_queue->post([this] {
        if (m_socket)
            m_socket->close();
        else
            settleGoAhead(GoAhead::closed);
    });
}

void Subscription::handle(const QJsonObject& frame) {
    if (m_buffering) {
        m_buffering->append(frame);
        return;
    }
    const std::optional<qint64> position = event::position(frame);
    if (!position) {
        if (!isOver())
            emit frameReceived(frame);
        return;
    }
    if (*position <= m_cursor)
        return; // delivered already, or covered by a snapshot
    if (*position > m_cursor + 1) {
        // A hole: hold this and everything after it until a snapshot has filled it.
        m_buffering = QList<QJsonObject>{frame};
        const qint64 after = m_cursor;
        m_home->post([this, after] { repair(after); });
        return;
    }
    m_cursor = *position;
    if (event::type(frame) == QLatin1String("noop"))
        return; // a keep-alive is counted, not delivered
    if (!isOver())
        emit frameReceived(frame);
}

bool Subscription::isOver() const {
    return m_ended || m_stop.stop_requested();
}

void Subscription::apply(const TranscriptSnapshot& snapshot) {
    if (isOver())
        return;
    m_cursor = std::max(m_cursor, snapshot.lastSeq);
    emit snapshotReceived(snapshot);
    // The repair is over once its snapshot is in, so a hole among the held events starts the
    // next one rather than being passed over.
    const QList<QJsonObject> held = m_buffering.value_or(QList<QJsonObject>());
    m_buffering.reset();
    for (const QJsonObject& frame : held)
        handle(frame);
}

QFuture<void> Subscription::deliver(TranscriptSnapshot snapshot) {
    auto done = std::make_shared<QPromise<void>>();
    done->start();
    QFuture<void> future = done->future();
    // Should the feed's thread end first, the task is dropped and the promise ends cancelled.
    m_queue->post([this, done, snapshot = std::move(snapshot)] {
        apply(snapshot);
        done->finish();
    });
    return future;
}

QCoro::Task<void> Subscription::resnapshot(std::optional<qint64> after) {
    const QPointer<Subscription> self(this);
    const QPointer<API> api = m_api;
    if (!api)
        throw TransportError::cancellation();
    QCoro::Task<TranscriptSnapshot> fetch =
        api->transcript(m_recordingId, after, m_lang, m_stop.get_token());
    TranscriptSnapshot snapshot = co_await std::move(fetch);
    if (!self)
        throw TransportError::cancellation();
    QFuture<void> delivered = self->deliver(std::move(snapshot));
    co_await delivered;
}

QCoro::Task<void> Subscription::repair(qint64 after) {
    const QPointer<Subscription> self(this);
    const std::stop_token stop = m_stop.get_token();
    std::chrono::milliseconds delay = m_timing.firstRetry;
    const std::chrono::milliseconds maxDelay = m_timing.maxRetry;
    for (;;) {
        if (!self || stop.stop_requested())
            co_return;
        bool repaired = false;
        try {
            QCoro::Task<void> attempt = self->resnapshot(after);
            co_await std::move(attempt);
            repaired = true;
        } catch (...) {
            // Retried below with the same position: the held events wait for it.
        }
        if (repaired)
            co_return;
        QCoro::Task<bool> wait = sleepFor(delay, stop);
        if (!co_await std::move(wait))
            co_return;
        delay = std::min(delay * 2, maxDelay);
    }
}

} // namespace pq
