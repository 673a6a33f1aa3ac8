#include "Socket.h"

#include "API.h"
#include "Mailbox.h"

#include <QJsonDocument>
#include <QThread>
#include <QTimer>
#include <QWebSocket>

namespace pq {

Socket::Socket(const QUrl& url, const std::optional<QString>& bearer, QObject* parent,
               std::chrono::milliseconds openTimeout)
    : QObject(parent), m_request(url), m_mailbox(new Mailbox(this)),
      m_ws(new QWebSocket(QString(), QWebSocketProtocol::VersionLatest, this)),
      m_openTimer(new QTimer(this)) {
    m_request.setTransferTimeout(static_cast<int>(openTimeout.count()));
    if (bearer)
        m_request.setRawHeader("Authorization", "Bearer " + bearer->toUtf8());
    m_request.setRawHeader("User-Agent", API::userAgent().toUtf8());
    m_ws->setMaxAllowedIncomingMessageSize(maxMessageBytes);
    m_ws->setMaxAllowedIncomingFrameSize(maxMessageBytes);

    // QWebSocket has no opening time-out of its own.
    m_openTimer->setSingleShot(true);
    m_openTimer->setInterval(openTimeout);
    connect(m_openTimer, &QTimer::timeout, this, &Socket::onTimedOut);
    connect(m_ws, &QWebSocket::connected, m_openTimer, &QTimer::stop);
    // Binary frames from the service carry nothing for us and are not connected.
    connect(m_ws, &QWebSocket::textMessageReceived, this, &Socket::onText);
    connect(m_ws, qOverload<QAbstractSocket::SocketError>(&QWebSocket::error), this,
            &Socket::onError);
    connect(m_ws, &QWebSocket::disconnected, this, &Socket::onDisconnected);
}

Socket::~Socket() {
    disconnect(m_ws, nullptr, this, nullptr);
    m_ws->abort();
}

void Socket::open() {
    if (isClosed())
        return;
    m_running = true;
    m_openTimer->start();
    m_ws->open(m_request);
}

void Socket::send(const QJsonObject& message) {
    const QByteArray text = QJsonDocument(message).toJson(QJsonDocument::Compact);
    if (QThread::currentThread() == thread())
        sendNow(text, false);
    else
        m_mailbox->post([this, text] { sendNow(text, false); });
}

void Socket::sendBinary(const QByteArray& bytes) {
    if (QThread::currentThread() == thread())
        sendNow(bytes, true);
    else
        m_mailbox->post([this, bytes] { sendNow(bytes, true); });
}

void Socket::sendNow(const QByteArray& payload, bool binary) {
    {
        const std::lock_guard lock(m_lock);
        if (m_closed)
            return;
    }
    if (m_ws->state() != QAbstractSocket::ConnectedState)
        return;
    if (binary)
        m_ws->sendBinaryMessage(payload);
    else
        m_ws->sendTextMessage(QString::fromUtf8(payload));
}

void Socket::close() {
    if (QThread::currentThread() != thread()) {
        // In order with the sends this thread made before.
        m_mailbox->post([this] { close(); });
        return;
    }
    const bool first = markClosed();
    m_openTimer->stop();
    // Emits `disconnected` at once; the flag set above keeps that from being reported.
    m_ws->close(QWebSocketProtocol::CloseCodeNormal);
    if (first)
        emit closed(std::nullopt);
}

bool Socket::isClosed() const {
    const std::lock_guard lock(m_lock);
    return m_closed;
}

bool Socket::isRunning() const {
    return m_running && !isClosed();
}

bool Socket::markClosed() {
    m_running = false;
    const std::lock_guard lock(m_lock);
    const bool first = !m_closed;
    m_closed = true;
    return first;
}

void Socket::onText(const QString& text) {
    if (isClosed())
        return;
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(text.toUtf8(), &error);
    // Anything but an object is not a frame of ours.
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return;
    emit frameReceived(doc.object());
}

void Socket::onError() {
    if (!m_failure)
        m_failure = m_ws->errorString();
    // A failed connection reports `disconnected` before or after the error depending on when it
    // failed: decide once both have been seen.
    if (!m_endPending) {
        m_endPending = true;
        QMetaObject::invokeMethod(this, &Socket::settleEnd, Qt::QueuedConnection);
    }
}

void Socket::onDisconnected() {
    if (!m_endPending) {
        m_endPending = true;
        QMetaObject::invokeMethod(this, &Socket::settleEnd, Qt::QueuedConnection);
    }
}

void Socket::settleEnd() {
    m_endPending = false;
    if (m_ws->state() != QAbstractSocket::UnconnectedState)
        return; // an error that did not end the connection; its end comes later
    m_openTimer->stop();
    // A close frame from the peer carries the reason; a bare drop is a failure.
    std::optional<QString> reason;
    if (!m_ws->closeReason().isEmpty())
        reason = m_ws->closeReason();
    else
        reason = m_failure;
    if (markClosed())
        emit closed(reason);
}

void Socket::onTimedOut() {
    if (m_ws->state() == QAbstractSocket::ConnectedState)
        return;
    const bool first = markClosed();
    m_ws->abort();
    if (first)
        emit closed(QStringLiteral("The connection to Parloquent timed out."));
}

} // namespace pq
