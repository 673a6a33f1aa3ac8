#pragma once

#include "RecordingHttpServer.h"

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QTcpServer>
#include <QUrl>
#include <QWebSocketServer>

#include <chrono>
#include <functional>
#include <optional>

class QTcpSocket;
class QWebSocket;

namespace pq::test {

// HTTP and WebSocket on one loopback port, the way the service serves a recording's feed and its
// snapshots side by side. WebSocket upgrades are accepted (or refused, or left hanging) and each
// new connection is handed to the test through `accepted`; other requests are answered by the
// HTTP handler. Every request is recorded with its headers.
class LoopbackServer : public QObject {
    Q_OBJECT

public:
    enum class Upgrade { accept, refuse, hang };

    explicit LoopbackServer(QObject* parent = nullptr);
    ~LoopbackServer() override;

    QUrl base() const; // http://127.0.0.1:port
    QUrl wsURL(const QString& path) const;
    quint16 port() const { return m_tcp.serverPort(); }

    void setUpgrade(Upgrade upgrade, int refuseStatus = 401) {
        m_upgrade = upgrade;
        m_refuseStatus = refuseStatus;
    }
    void setHttpHandler(std::function<ScriptedAnswer(const RecordedRequest&)> handler) {
        m_http = std::move(handler);
    }
    // Holds each HTTP answer back for the time given (decided when the request arrives).
    void setHttpDelay(std::function<std::chrono::milliseconds(const RecordedRequest&)> delay) {
        m_delay = std::move(delay);
    }

    const QList<RecordedRequest>& upgrades() const { return m_upgrades; }
    const QList<RecordedRequest>& httpRequests() const { return m_httpRequests; }
    // Connections accepted so far and still open.
    const QList<QWebSocket*>& clients() const { return m_clients; }

signals:
    void accepted(QWebSocket* client, const pq::test::RecordedRequest& upgrade);
    void httpRequestReceived(const pq::test::RecordedRequest& request);

private:
    void onConnection();
    void onReadable(QTcpSocket* socket);
    void answer(QTcpSocket* socket, const ScriptedAnswer& answer);

    QTcpServer m_tcp;
    QWebSocketServer m_ws;
    QElapsedTimer m_clock;
    Upgrade m_upgrade = Upgrade::accept;
    int m_refuseStatus = 401;
    std::function<ScriptedAnswer(const RecordedRequest&)> m_http;
    std::function<std::chrono::milliseconds(const RecordedRequest&)> m_delay;
    QList<RecordedRequest> m_upgrades;
    QList<RecordedRequest> m_httpRequests;
    QList<RecordedRequest> m_pendingUpgrades; // handed over, waiting for the WebSocket server
    QList<QWebSocket*> m_clients;
};

} // namespace pq::test
