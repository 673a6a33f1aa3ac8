#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QUrl>
#include <QWebSocket>

#include <functional>
#include <optional>

namespace pq::test {

// A WebSocket client for tests: it keeps every text frame it receives (decoded), notes how the
// connection ended, and waits for conditions while the event loop runs.
class WsClient : public QObject {
    Q_OBJECT

public:
    WsClient();
    ~WsClient() override;

    // Connects (with an optional bearer key) and waits; false when it did not open.
    bool open(const QUrl& url, const QString& bearer = {}, int timeoutMs = 10'000);
    bool waitFor(const std::function<bool()>& done, int timeoutMs);
    // The first frame of that type at or after index `from`, waiting up to timeoutMs.
    std::optional<QJsonObject> waitForType(const QString& type, int timeoutMs, int from = 0);
    QList<QJsonObject> ofType(const QString& type) const;
    bool waitClosed(int timeoutMs) {
        return waitFor([this] { return closed; }, timeoutMs);
    }

    void sendJson(const QJsonObject& message);
    void sendText(const QString& text) { socket.sendTextMessage(text); }
    void sendBinary(const QByteArray& data) { socket.sendBinaryMessage(data); }
    void close() { socket.close(); }

    QWebSocket socket;
    QList<QJsonObject> frames;
    int nonObjectFrames = 0;
    int binaryFrames = 0;
    bool connected = false; // it was open at some point
    bool closed = false;
    int closeCode = -1;
    QString closeReason;
};

} // namespace pq::test
