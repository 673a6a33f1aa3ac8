#pragma once

#include "HttpError.h"

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QTimer>

#include <functional>
#include <optional>

class QTcpSocket;

namespace pq::server {

// The request line and headers of one request as the gate read them (header names lower-case).
struct RequestHead {
    QByteArray method;
    QByteArray target;
    QHash<QByteArray, QByteArray> headers;
};

// Watches the bytes of one HTTP connection before QHttpServer parses them, because QHttpServer
// 6.4 buffers whole bodies without any limit: it follows the framing of each request
// (Content-Length or chunked), answers bodies over the limit with 413, malformed heads with 400,
// heads that take too long with 408, and closes the connection. WebSocket upgrades are shown to
// `upgradeCheck` first (a refusal is answered here, since QHttpServer would upgrade anyway);
// after an upgrade the gate steps aside. It only peeks: QHttpServer still reads every byte.
//
// A request that `takeover.wants` is not passed on at all: the gate hands the connection, with
// `skip` bytes of it still to be read away (the head), to `takeover.take`, which reads the body
// itself and answers (uploads streamed to disk, since QHttpServer would hold them in memory).
class RequestGate : public QObject {
    Q_OBJECT

public:
    using UpgradeCheck = std::function<std::optional<HttpError>(const RequestHead&)>;
    struct Takeover {
        std::function<bool(const RequestHead&)> wants;
        std::function<void(QTcpSocket* socket, const RequestHead& head, qsizetype skip)> take;
    };

    struct Limits {
        qint64 maxBody = 1 << 20;
        int maxHead = 32 * 1024;
        int headTimeoutMs = 30'000;
        int idleTimeoutMs = 120'000;
    };

    // Must be made before anything else connects to the socket's readyRead.
    RequestGate(QTcpSocket* socket, Limits limits, UpgradeCheck upgradeCheck,
                Takeover takeover = {});

    // Writes a complete answer and closes the connection without losing the answer to a reset
    // (a lingering close): what the client still sends is read away for up to 5 seconds.
    static void answerAndClose(QTcpSocket* socket, const QByteArray& answer, QObject* context);

private:
    enum class State { Head, Body, ChunkSize, ChunkData, ChunkEnd, Trailers, Upgraded, TakenOver };

    void onReadyRead();
    // Consumes what it can of data from pos; false once the connection was refused.
    bool consume(const QByteArray& data, qsizetype& pos);
    bool headComplete();
    void refuse(const HttpError& error);
    void armTimer();

    QTcpSocket* m_socket;
    Limits m_limits;
    UpgradeCheck m_upgradeCheck;
    Takeover m_takeover;
    RequestHead m_takenHead;
    State m_state = State::Head;
    QByteArray m_line; // head or chunk line being collected
    qint64 m_remaining = 0;
    qint64 m_bodySize = 0;
    QTimer m_timer;
};

} // namespace pq::server
