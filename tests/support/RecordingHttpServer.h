#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QObject>
#include <QTcpServer>
#include <QUrl>

#include <functional>

class QTcpSocket;

namespace pq::test {

// One request exactly as it arrived on the wire.
struct RecordedRequest {
    QByteArray method;
    QByteArray target; // as in the request line
    QByteArray path;
    QByteArray query; // raw bytes after "?", empty when there was none
    bool hasQuery = false;
    QList<std::pair<QByteArray, QByteArray>> headers;
    QByteArray body;
    qint64 receivedAtMs = 0; // since the server started

    bool hasHeader(const QByteArray& name) const;
    QByteArray header(const QByteArray& name) const; // first one, case-insensitive name
};

struct ScriptedAnswer {
    enum class Action { respond, hang, drop };
    int status = 200;
    QByteArray body;
    QList<std::pair<QByteArray, QByteArray>> headers{{"Content-Type", "application/json"}};
    Action action = Action::respond;

    static ScriptedAnswer json(int status, const QByteArray& body);
    static ScriptedAnswer hang();
    static ScriptedAnswer drop();
};

// An HTTP/1.1 server on 127.0.0.1 that records every request and plays scripted answers in
// order (then the default answer). Keeps connections alive like a real server.
class RecordingHttpServer : public QObject {
    Q_OBJECT

public:
    explicit RecordingHttpServer(QObject* parent = nullptr);

    QUrl base() const;
    quint16 port() const { return m_server.serverPort(); }

    void enqueue(ScriptedAnswer answer) { m_script.append(std::move(answer)); }
    void setDefault(ScriptedAnswer answer) { m_default = std::move(answer); }
    // When set, decides the answer from the request (takes precedence over the script).
    void setHandler(std::function<ScriptedAnswer(const RecordedRequest&)> handler) {
        m_handler = std::move(handler);
    }

    const QList<RecordedRequest>& requests() const { return m_requests; }
    RecordedRequest last() const {
        return m_requests.isEmpty() ? RecordedRequest{} : m_requests.last();
    }

signals:
    void requestReceived();

private:
    void onConnection();
    void onReadable(QTcpSocket* socket);
    // False when the connection was dropped.
    bool answer(QTcpSocket* socket, const RecordedRequest& request);

    QTcpServer m_server;
    QElapsedTimer m_clock;
    QHash<QTcpSocket*, QByteArray> m_buffers;
    QList<ScriptedAnswer> m_script;
    ScriptedAnswer m_default = ScriptedAnswer::json(200, "{}");
    std::function<ScriptedAnswer(const RecordedRequest&)> m_handler;
    QList<RecordedRequest> m_requests;
};

} // namespace pq::test
