#pragma once

// The service's side of a live run on one loopback port, with the answers of a well-behaved
// service that a test changes where it needs to: REST for transcriptions, recordings, caption
// sessions and summaries, the uplink (ready at once, ended by a REST stop or "eof") and the
// recording's feed (ready at once, events sent by the test).
#include "Env.h"
#include "LoopbackServer.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QObject>

#include <functional>
#include <optional>

class QWebSocket;

namespace pq::test {

class ScriptedService : public QObject {
    Q_OBJECT

public:
    static constexpr const char* transcriptionId = "tr-1";
    static constexpr const char* recordingId = "rec-1";

    ScriptedService();

    Env env() const;

    // Consulted first for every REST request; nothing means the usual answer.
    std::function<std::optional<ScriptedAnswer>(const RecordedRequest&)> answer;
    // Held back before answering (decided per request).
    void setDelay(std::function<std::chrono::milliseconds(const RecordedRequest&)> delay) {
        server.setHttpDelay(std::move(delay));
    }
    QString summaryState = QStringLiteral("unavailable");
    // Sent as soon as the uplink connects.
    QList<QJsonObject> uplinkGreeting{
        QJsonObject{{"type", "session.ready"}, {"sampleRate", 16000}}};
    bool endUplinkOnStop = true; // a REST stop ends the uplink ("session.done" "stopped")
    bool endUplinkOnEof = true;  // "eof" ends it ("session.done" "eof")
    QJsonArray snapshotSegments; // what the transcript snapshot holds
    qint64 snapshotLastSeq = 0;

    // REST requests with this method whose path ends with `suffix`, in order.
    QList<RecordedRequest> requests(const QByteArray& method, const QByteArray& suffix) const;
    int count(const QByteArray& method, const QByteArray& suffix) const {
        return int(requests(method, suffix).size());
    }
    // Every REST request as "METHOD /path".
    QStringList log() const;

    // The uplink and what came over it.
    QWebSocket* uplink = nullptr;
    QList<QJsonObject> uplinkTexts;
    QList<QByteArray> uplinkBinaries;
    QStringList uplinkLog; // in arrival order: "audio" for a binary frame, else the text's type
    int uplinkConnections = 0;
    int uplinkDisconnects = 0;
    QList<QJsonObject> uplinkTextsOfType(const QString& type) const;
    void sendUplink(const QJsonObject& frame);
    // Sends "session.done" with the reason, then closes with it.
    void endUplink(const QString& reason);

    // The feeds, newest last, with their upgrade requests.
    QList<QWebSocket*> feeds;
    QList<RecordedRequest> feedUpgrades;
    int feedDisconnects = 0;
    QWebSocket* feed() const { return feeds.isEmpty() ? nullptr : feeds.last(); }
    // Sends to the newest open feed.
    void sendFeed(const QJsonObject& frame);

    LoopbackServer server;

private:
    ScriptedAnswer usual(const RecordedRequest& request);
    void onAccepted(QWebSocket* client, const RecordedRequest& upgrade);
};

// Feed events the way the service sends them.
QJsonObject committed(qint64 seq, const QString& text, qint64 speaker = 0);
QJsonObject draft(const QString& text);

} // namespace pq::test
