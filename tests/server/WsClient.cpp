#include "WsClient.h"

#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QNetworkRequest>
#include <QTest>

namespace pq::test {

WsClient::WsClient() {
    socket.setMaxAllowedIncomingMessageSize(64 << 20);
    connect(&socket, &QWebSocket::textMessageReceived, this, [this](const QString& text) {
        const QJsonDocument doc = QJsonDocument::fromJson(text.toUtf8());
        if (doc.isObject())
            frames.append(doc.object());
        else
            ++nonObjectFrames;
    });
    connect(&socket, &QWebSocket::binaryMessageReceived, this, [this] { ++binaryFrames; });
    connect(&socket, &QWebSocket::connected, this, [this] { connected = true; });
    connect(&socket, &QWebSocket::disconnected, this, [this] {
        closed = true;
        closeCode = socket.closeCode();
        closeReason = socket.closeReason();
    });
}

WsClient::~WsClient() {
    // QWebSocket 6.4 leaks its close reason when it is destroyed while open: end it first.
    socket.disconnect(this);
    if (socket.state() != QAbstractSocket::UnconnectedState)
        socket.abort();
}

bool WsClient::open(const QUrl& url, const QString& bearer, int timeoutMs) {
    QNetworkRequest request(url);
    if (!bearer.isEmpty())
        request.setRawHeader("Authorization", "Bearer " + bearer.toUtf8());
    socket.open(request);
    waitFor([this] { return connected || closed; }, timeoutMs);
    return connected;
}

bool WsClient::waitFor(const std::function<bool()>& done, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QTest::qWait(10);
    }
    return true;
}

std::optional<QJsonObject> WsClient::waitForType(const QString& type, int timeoutMs, int from) {
    std::optional<QJsonObject> found;
    waitFor(
        [&] {
            for (int i = from; i < frames.size(); ++i) {
                if (frames[i].value(QStringLiteral("type")).toString() == type) {
                    found = frames[i];
                    return true;
                }
            }
            return false;
        },
        timeoutMs);
    return found;
}

QList<QJsonObject> WsClient::ofType(const QString& type) const {
    QList<QJsonObject> out;
    for (const auto& f : frames) {
        if (f.value(QStringLiteral("type")).toString() == type)
            out.append(f);
    }
    return out;
}

void WsClient::sendJson(const QJsonObject& message) {
    socket.sendTextMessage(
        QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact)));
}

} // namespace pq::test
