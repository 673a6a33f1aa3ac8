#pragma once

#include <QJsonObject>
#include <QNetworkRequest>
#include <QObject>
#include <QUrl>

#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>

class QTimer;
class QWebSocket;

namespace pq {

class Mailbox;

// One WebSocket connection to the service. Sends JSON objects and binary frames, delivers every
// text frame that decodes to a JSON object, and reports the end of the connection exactly once,
// whichever of `close()`, a failure or the peer's close comes first.
//
// Lives on the thread that made it (or that it was moved to before `open`); its signals are
// emitted there. `send*`, `close`, `isClosed` and `isRunning` may be called from any thread;
// sends and a close from another thread take effect on the socket's thread, in the order made.
class Socket : public QObject {
    Q_OBJECT

public:
    static constexpr qint64 maxMessageBytes = 16 * 1024 * 1024;
    static constexpr std::chrono::milliseconds defaultOpenTimeout{60'000};

    // `bearer` becomes an "Authorization: Bearer …" header. Nothing is opened yet.
    Socket(const QUrl& url, const std::optional<QString>& bearer, QObject* parent = nullptr,
           std::chrono::milliseconds openTimeout = defaultOpenTimeout);
    ~Socket() override;

    const QNetworkRequest& request() const { return m_request; }

    // Starts connecting; connect to the signals first. Call on the socket's thread, once.
    void open();

    // Sent only while connected and not closed; otherwise dropped without a word (the owner
    // learns of the end through `closed`).
    void send(const QJsonObject& message);
    void sendBinary(const QByteArray& bytes);

    // Closes with a normal closure and reports the end (with no reason) unless it was reported
    // already.
    void close();

    bool isClosed() const;
    // Opening or open, and not closed.
    bool isRunning() const;

signals:
    void frameReceived(const QJsonObject& frame);
    // The end, once: the peer's close reason, a failure's description, or none.
    void closed(const std::optional<QString>& reason);

private:
    void onText(const QString& text);
    void onError();
    void onDisconnected();
    void onTimedOut();
    // Reports the end once the connection is down; a failure reported together with the
    // disconnection wins over the bare close.
    void settleEnd();
    // Sets the closed flag; true for the one caller that set it.
    bool markClosed();
    void sendNow(const QByteArray& payload, bool binary);

    QNetworkRequest m_request;
    Mailbox* m_mailbox; // calls from other threads
    QWebSocket* m_ws;
    QTimer* m_openTimer;
    std::optional<QString> m_failure;
    bool m_endPending = false;

    mutable std::mutex m_lock;
    bool m_closed = false; // guarded by m_lock
    std::atomic<bool> m_running{false};
};

} // namespace pq
