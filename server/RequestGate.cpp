#include "RequestGate.h"

#include "HttpReply.h"

#include <QRegularExpression>
#include <QTcpSocket>

#include <sys/socket.h>

namespace pq::server {

namespace {

bool isToken(const QByteArray& s) {
    if (s.isEmpty())
        return false;
    for (char c : s) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || QByteArray("!#$%&'*+-.^_`|~").contains(c);
        if (!ok)
            return false;
    }
    return true;
}

bool isTarget(const QByteArray& s) {
    if (!s.startsWith('/') || s.size() > 8192)
        return false;
    for (char c : s) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u >= 0x7f)
            return false;
    }
    return true;
}

HttpError malformed(const QString& what) {
    return HttpError(400, QStringLiteral("invalid_request"),
                     QStringLiteral("The request is not valid HTTP: %1.").arg(what));
}

} // namespace

RequestGate::RequestGate(QTcpSocket* socket, Limits limits, UpgradeCheck upgradeCheck,
                         Takeover takeover)
    : QObject(socket), m_socket(socket), m_limits(limits), m_upgradeCheck(std::move(upgradeCheck)),
      m_takeover(std::move(takeover)) {
    connect(socket, &QTcpSocket::readyRead, this, &RequestGate::onReadyRead);
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        if (m_state == State::Head && m_line.isEmpty()) {
            m_socket->disconnectFromHost(); // idle keep-alive connection
            return;
        }
        refuse(HttpError(408, QStringLiteral("timeout"),
                         QStringLiteral("The request did not arrive in time.")));
    });
    armTimer();
}

void RequestGate::armTimer() {
    if (m_state == State::Upgraded)
        return;
    const bool idle = m_state == State::Head && m_line.isEmpty();
    m_timer.start(idle ? m_limits.idleTimeoutMs : m_limits.headTimeoutMs);
}

void RequestGate::onReadyRead() {
    if (m_state == State::Upgraded)
        return;
    // QHttpServer reads everything on each readyRead, so what is available now is new.
    const QByteArray data = m_socket->peek(m_socket->bytesAvailable());
    qsizetype pos = 0;
    while (pos < data.size()) {
        if (!consume(data, pos))
            return;
        if (m_state == State::Upgraded) {
            m_timer.stop();
            disconnect(m_socket, &QTcpSocket::readyRead, this, nullptr);
            return;
        }
        if (m_state == State::TakenOver) {
            m_timer.stop();
            // Nobody else reads this connection from now on (QHttpServer's slot comes after
            // ours, so it has not seen these bytes).
            disconnect(m_socket, &QTcpSocket::readyRead, nullptr, nullptr);
            if (m_socket->isTransactionStarted())
                m_socket->commitTransaction();
            m_takeover.take(m_socket, m_takenHead, pos);
            return;
        }
    }
    armTimer();
}

bool RequestGate::consume(const QByteArray& data, qsizetype& pos) {
    switch (m_state) {
    case State::Head: {
        // Blank lines before a request are allowed.
        while (m_line.isEmpty() && pos < data.size() && (data[pos] == '\r' || data[pos] == '\n'))
            ++pos;
        const qsizetype end = data.indexOf("\n", pos);
        const qsizetype take = end < 0 ? data.size() - pos : end - pos + 1;
        m_line.append(data.constData() + pos, take);
        pos += take;
        if (m_line.size() > m_limits.maxHead) {
            refuse(HttpError(431, QStringLiteral("headers_too_large"),
                             QStringLiteral("The request's headers are too large.")));
            return false;
        }
        if (m_line.endsWith("\r\n\r\n") || m_line.endsWith("\n\n"))
            return headComplete();
        return true;
    }
    case State::Body: {
        const qint64 take = std::min<qint64>(m_remaining, data.size() - pos);
        pos += take;
        m_remaining -= take;
        if (m_remaining == 0)
            m_state = State::Head;
        return true;
    }
    case State::ChunkSize:
    case State::Trailers: {
        const qsizetype end = data.indexOf("\n", pos);
        const qsizetype take = end < 0 ? data.size() - pos : end - pos + 1;
        m_line.append(data.constData() + pos, take);
        pos += take;
        if (m_line.size() > 8192) {
            refuse(malformed(QStringLiteral("a chunk line is too long")));
            return false;
        }
        if (!m_line.endsWith('\n'))
            return true;
        const QByteArray line = m_line.trimmed();
        m_line.clear();
        if (m_state == State::Trailers) {
            if (line.isEmpty())
                m_state = State::Head;
            return true;
        }
        const QByteArray hex = line.split(';').first().trimmed();
        bool ok = false;
        const qint64 size = hex.size() <= 15 ? hex.toLongLong(&ok, 16) : -1;
        if (!ok || size < 0) {
            refuse(malformed(QStringLiteral("a chunk size is not a number")));
            return false;
        }
        m_bodySize += size;
        if (m_bodySize > m_limits.maxBody) {
            refuse(HttpError(
                413, QStringLiteral("too_large"),
                QStringLiteral("The request body is larger than %1 bytes.").arg(m_limits.maxBody)));
            return false;
        }
        if (size == 0) {
            m_state = State::Trailers;
        } else {
            m_remaining = size;
            m_state = State::ChunkData;
        }
        return true;
    }
    case State::ChunkData: {
        const qint64 take = std::min<qint64>(m_remaining, data.size() - pos);
        pos += take;
        m_remaining -= take;
        if (m_remaining == 0) {
            m_state = State::ChunkEnd;
            m_remaining = 2;
        }
        return true;
    }
    case State::ChunkEnd: {
        const qint64 take = std::min<qint64>(m_remaining, data.size() - pos);
        pos += take;
        m_remaining -= take;
        if (m_remaining == 0)
            m_state = State::ChunkSize;
        return true;
    }
    case State::Upgraded:
    case State::TakenOver:
        pos = data.size();
        return true;
    }
    return true;
}

bool RequestGate::headComplete() {
    const QByteArray head = m_line;
    m_line.clear();
    QList<QByteArray> lines = head.split('\n');
    for (auto& l : lines) {
        if (l.endsWith('\r'))
            l.chop(1);
    }
    RequestHead request;
    const QList<QByteArray> parts = lines.value(0).split(' ');
    if (parts.size() != 3 || !isToken(parts[0]) || !isTarget(parts[1]) ||
        (parts[2] != "HTTP/1.1" && parts[2] != "HTTP/1.0")) {
        refuse(malformed(QStringLiteral("the request line is wrong")));
        return false;
    }
    request.method = parts[0];
    request.target = parts[1];
    for (int i = 1; i < lines.size(); ++i) {
        const QByteArray& l = lines[i];
        if (l.isEmpty())
            continue;
        const qsizetype colon = l.indexOf(':');
        if (colon <= 0 || !isToken(l.left(colon))) {
            refuse(malformed(QStringLiteral("a header line is wrong")));
            return false;
        }
        const QByteArray name = l.left(colon).toLower();
        const QByteArray value = l.mid(colon + 1).trimmed();
        if (request.headers.contains(name) && name == "content-length" &&
            request.headers.value(name) != value) {
            refuse(malformed(QStringLiteral("Content-Length is given twice")));
            return false;
        }
        request.headers.insert(name, request.headers.contains(name) && name != "content-length"
                                         ? request.headers.value(name) + ", " + value
                                         : value);
    }

    const QByteArray upgrade = request.headers.value("upgrade").toLower();
    if (!upgrade.isEmpty() && request.method != "CONNECT") {
        if (upgrade != "websocket") {
            refuse(HttpError(400, QStringLiteral("invalid_request"),
                             QStringLiteral("Only WebSocket upgrades are offered.")));
            return false;
        }
        if (m_upgradeCheck) {
            if (auto refusal = m_upgradeCheck(request)) {
                refuse(*refusal);
                return false;
            }
        }
        m_state = State::Upgraded;
        return true;
    }

    if (m_takeover.wants && m_takeover.wants(request)) {
        m_takenHead = request;
        m_state = State::TakenOver;
        return true;
    }

    const QByteArray encoding = request.headers.value("transfer-encoding").toLower();
    const bool hasLength = request.headers.contains("content-length");
    if (!encoding.isEmpty()) {
        if (encoding != "chunked") {
            refuse(HttpError(501, QStringLiteral("not_supported"),
                             QStringLiteral("Only chunked transfer encoding is supported.")));
            return false;
        }
        if (hasLength) {
            refuse(malformed(QStringLiteral("both Content-Length and chunked encoding")));
            return false;
        }
        m_bodySize = 0;
        m_state = State::ChunkSize;
        return true;
    }
    if (hasLength) {
        const QByteArray text = request.headers.value("content-length");
        bool ok = !text.isEmpty() && text.size() <= 18;
        for (char c : text)
            ok = ok && c >= '0' && c <= '9';
        const qint64 length = ok ? text.toLongLong(&ok) : -1;
        if (!ok) {
            refuse(malformed(QStringLiteral("Content-Length is not a number")));
            return false;
        }
        if (length > m_limits.maxBody) {
            refuse(HttpError(
                413, QStringLiteral("too_large"),
                QStringLiteral("The request body is larger than %1 bytes.").arg(m_limits.maxBody)));
            return false;
        }
        m_remaining = length;
        m_state = length > 0 ? State::Body : State::Head;
        return true;
    }
    m_state = State::Head;
    return true;
}

void RequestGate::refuse(const HttpError& error) {
    m_timer.stop();
    m_state = State::Upgraded; // nothing more is looked at
    // Keep QHttpServer from parsing the rest of this connection, and drop what it kept.
    disconnect(m_socket, &QTcpSocket::readyRead, nullptr, nullptr);
    if (m_socket->isTransactionStarted())
        m_socket->commitTransaction();
    answerAndClose(m_socket, HttpReply::closingAnswer(error), this);
}

void RequestGate::answerAndClose(QTcpSocket* socket, const QByteArray& answer, QObject* context) {
    disconnect(socket, &QTcpSocket::readyRead, context, nullptr);
    socket->readAll();
    socket->write(answer);
    // A lingering close: closing with unread input makes the kernel reset the connection, and
    // the client may lose the answer. Send it, shut the sending side, and read the rest away
    // until the client closes (or 5 seconds pass).
    QObject::connect(socket, &QTcpSocket::readyRead, context, [socket] { socket->readAll(); });
    auto shutdownWhenSent = [socket] {
        if (socket->bytesToWrite() == 0 && socket->socketDescriptor() >= 0)
            ::shutdown(int(socket->socketDescriptor()), SHUT_WR);
    };
    QObject::connect(socket, &QTcpSocket::bytesWritten, context, shutdownWhenSent);
    socket->flush();
    shutdownWhenSent();
    QTimer::singleShot(5000, context, [socket] { socket->abort(); });
}

} // namespace pq::server
