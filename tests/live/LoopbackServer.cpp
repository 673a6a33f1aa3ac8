#include "LoopbackServer.h"

#include <QPointer>
#include <QTcpSocket>
#include <QTimer>
#include <QWebSocket>

namespace pq::test {

namespace {

// Parses the head of a request (request line and headers) from `bytes`.
RecordedRequest parseHead(const QByteArray& head) {
    RecordedRequest req;
    const QList<QByteArray> lines = head.split('\n');
    const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
    req.method = requestLine.value(0);
    req.target = requestLine.value(1);
    const qsizetype q = req.target.indexOf('?');
    req.path = q < 0 ? req.target : req.target.left(q);
    req.hasQuery = q >= 0;
    req.query = q < 0 ? QByteArray() : req.target.mid(q + 1);
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines[i].trimmed();
        const qsizetype colon = line.indexOf(':');
        if (colon > 0)
            req.headers.append({line.left(colon), line.mid(colon + 1).trimmed()});
    }
    return req;
}

QByteArray statusLine(int status) {
    return "HTTP/1.1 " + QByteArray::number(status) + " Scripted\r\n";
}

} // namespace

LoopbackServer::LoopbackServer(QObject* parent)
    : QObject(parent), m_ws(QStringLiteral("loopback"), QWebSocketServer::NonSecureMode) {
    connect(&m_tcp, &QTcpServer::newConnection, this, &LoopbackServer::onConnection);
    connect(&m_ws, &QWebSocketServer::newConnection, this, [this] {
        while (QWebSocket* client = m_ws.nextPendingConnection()) {
            client->setParent(this);
            m_clients.append(client);
            connect(client, &QWebSocket::disconnected, this, [this, client] {
                m_clients.removeAll(client);
                client->deleteLater();
            });
            const RecordedRequest upgrade =
                m_pendingUpgrades.isEmpty() ? RecordedRequest{} : m_pendingUpgrades.takeFirst();
            emit accepted(client, upgrade);
        }
    });
    if (!m_tcp.listen(QHostAddress::LocalHost, 0))
        qFatal("LoopbackServer: cannot listen: %s", qPrintable(m_tcp.errorString()));
    m_clock.start();
}

LoopbackServer::~LoopbackServer() {
    for (QWebSocket* client : std::as_const(m_clients)) {
        disconnect(client, nullptr, this, nullptr);
        client->abort();
    }
}

QUrl LoopbackServer::base() const {
    return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(port()));
}

QUrl LoopbackServer::wsURL(const QString& path) const {
    return QUrl(QStringLiteral("ws://127.0.0.1:%1%2").arg(port()).arg(path));
}

void LoopbackServer::onConnection() {
    while (QTcpSocket* socket = m_tcp.nextPendingConnection()) {
        socket->setParent(this);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadable(socket); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    }
}

void LoopbackServer::onReadable(QTcpSocket* socket) {
    for (;;) {
        // Peek only: an upgrade request must reach the WebSocket server unread.
        const QByteArray available = socket->peek(socket->bytesAvailable());
        const qsizetype headEnd = available.indexOf("\r\n\r\n");
        if (headEnd < 0)
            return;
        RecordedRequest head = parseHead(available.left(headEnd));
        head.receivedAtMs = m_clock.elapsed();
        if (head.header("Upgrade").compare("websocket", Qt::CaseInsensitive) == 0) {
            disconnect(socket, nullptr, this, nullptr);
            m_upgrades.append(head);
            switch (m_upgrade) {
            case Upgrade::accept:
                m_pendingUpgrades.append(head);
                m_ws.handleConnection(socket);
                break;
            case Upgrade::refuse:
                socket->read(headEnd + 4);
                socket->write(statusLine(m_refuseStatus) +
                              "Content-Length: 0\r\nConnection: close\r\n\r\n");
                socket->disconnectFromHost();
                break;
            case Upgrade::hang:
                socket->read(headEnd + 4);
                break;
            }
            return;
        }
        const qint64 length = head.header("Content-Length").toLongLong();
        if (available.size() < headEnd + 4 + length)
            return;
        socket->read(headEnd + 4);
        RecordedRequest request = head;
        request.body = socket->read(length);
        m_httpRequests.append(request);
        const ScriptedAnswer scripted =
            m_http ? m_http(request) : ScriptedAnswer::json(404, R"({"code":"not_found"})");
        emit httpRequestReceived(request);
        const std::chrono::milliseconds delay =
            m_delay ? m_delay(request) : std::chrono::milliseconds(0);
        if (delay.count() > 0) {
            const QPointer<QTcpSocket> guard(socket);
            QTimer::singleShot(delay, this, [this, guard, scripted] {
                if (guard)
                    answer(guard, scripted);
            });
            continue;
        }
        answer(socket, scripted);
        if (scripted.action == ScriptedAnswer::Action::drop)
            return;
    }
}

void LoopbackServer::answer(QTcpSocket* socket, const ScriptedAnswer& scripted) {
    switch (scripted.action) {
    case ScriptedAnswer::Action::hang:
        return;
    case ScriptedAnswer::Action::drop:
        socket->abort();
        return;
    case ScriptedAnswer::Action::respond:
        break;
    }
    QByteArray out = statusLine(scripted.status);
    for (const auto& [name, value] : scripted.headers)
        out += name + ": " + value + "\r\n";
    out += "Content-Length: " + QByteArray::number(scripted.body.size()) + "\r\n\r\n";
    out += scripted.body;
    socket->write(out);
}

} // namespace pq::test
