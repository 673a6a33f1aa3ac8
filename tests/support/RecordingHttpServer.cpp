#include "RecordingHttpServer.h"

#include <QTcpSocket>

namespace pq::test {

bool RecordedRequest::hasHeader(const QByteArray& name) const {
    for (const auto& [n, v] : headers)
        if (n.compare(name, Qt::CaseInsensitive) == 0)
            return true;
    return false;
}

QByteArray RecordedRequest::header(const QByteArray& name) const {
    for (const auto& [n, v] : headers)
        if (n.compare(name, Qt::CaseInsensitive) == 0)
            return v;
    return {};
}

ScriptedAnswer ScriptedAnswer::json(int status, const QByteArray& body) {
    ScriptedAnswer a;
    a.status = status;
    a.body = body;
    return a;
}

ScriptedAnswer ScriptedAnswer::hang() {
    ScriptedAnswer a;
    a.action = Action::hang;
    return a;
}

ScriptedAnswer ScriptedAnswer::drop() {
    ScriptedAnswer a;
    a.action = Action::drop;
    return a;
}

RecordingHttpServer::RecordingHttpServer(QObject* parent) : QObject(parent) {
    connect(&m_server, &QTcpServer::newConnection, this, &RecordingHttpServer::onConnection);
    if (!m_server.listen(QHostAddress::LocalHost, 0))
        qFatal("RecordingHttpServer: cannot listen: %s", qPrintable(m_server.errorString()));
    m_clock.start();
}

QUrl RecordingHttpServer::base() const {
    return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(m_server.serverPort()));
}

void RecordingHttpServer::onConnection() {
    while (QTcpSocket* socket = m_server.nextPendingConnection()) {
        socket->setParent(this);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadable(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            m_buffers.remove(socket);
            socket->deleteLater();
        });
    }
}

void RecordingHttpServer::onReadable(QTcpSocket* socket) {
    QByteArray& buffer = m_buffers[socket];
    buffer.append(socket->readAll());
    for (;;) {
        const qsizetype headerEnd = buffer.indexOf("\r\n\r\n");
        if (headerEnd < 0)
            return;
        const QList<QByteArray> lines = buffer.left(headerEnd).split('\n');
        RecordedRequest req;
        const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
        req.method = requestLine.value(0);
        req.target = requestLine.value(1);
        const qsizetype q = req.target.indexOf('?');
        req.path = q < 0 ? req.target : req.target.left(q);
        req.hasQuery = q >= 0;
        req.query = q < 0 ? QByteArray() : req.target.mid(q + 1);
        qint64 length = 0;
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const QByteArray line = lines[i].trimmed();
            const qsizetype colon = line.indexOf(':');
            if (colon < 0)
                continue;
            req.headers.append({line.left(colon), line.mid(colon + 1).trimmed()});
        }
        length = req.header("Content-Length").toLongLong();
        if (buffer.size() < headerEnd + 4 + length)
            return;
        req.body = buffer.mid(headerEnd + 4, length);
        buffer.remove(0, headerEnd + 4 + length);
        req.receivedAtMs = m_clock.elapsed();
        m_requests.append(req);
        const bool open = answer(socket, req);
        emit requestReceived();
        if (!open)
            return; // the socket (and `buffer`) may be gone
    }
}

bool RecordingHttpServer::answer(QTcpSocket* socket, const RecordedRequest& request) {
    ScriptedAnswer a = m_handler            ? m_handler(request)
                       : m_script.isEmpty() ? m_default
                                            : m_script.takeFirst();
    switch (a.action) {
    case ScriptedAnswer::Action::hang:
        return true;
    case ScriptedAnswer::Action::drop:
        socket->abort();
        return false;
    case ScriptedAnswer::Action::respond:
        break;
    }
    QByteArray out = "HTTP/1.1 " + QByteArray::number(a.status) + " Scripted\r\n";
    for (const auto& [name, value] : a.headers)
        out += name + ": " + value + "\r\n";
    out += "Content-Length: " + QByteArray::number(a.body.size()) + "\r\n\r\n";
    out += a.body;
    socket->write(out);
    return true;
}

} // namespace pq::test
