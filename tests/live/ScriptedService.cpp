#include "ScriptedService.h"

#include <QJsonDocument>
#include <QWebSocket>

namespace pq::test {

namespace {

QByteArray compact(const QJsonObject& object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QJsonObject parse(const QString& text) {
    return QJsonDocument::fromJson(text.toUtf8()).object();
}

QJsonObject recordingRecord(const QString& state) {
    return QJsonObject{{"id", ScriptedService::recordingId},
                       {"transcriptionId", ScriptedService::transcriptionId},
                       {"state", state}};
}

} // namespace

ScriptedService::ScriptedService() {
    server.setHttpHandler([this](const RecordedRequest& request) {
        if (answer)
            if (auto scripted = answer(request))
                return *scripted;
        return usual(request);
    });
    connect(&server, &LoopbackServer::accepted, this, &ScriptedService::onAccepted);
}

Env ScriptedService::env() const {
    Env e = Env::named(Env::Name::local);
    e.api = server.base();
    e.app = server.base();
    return e;
}

ScriptedAnswer ScriptedService::usual(const RecordedRequest& request) {
    const QByteArray& path = request.path;
    const QByteArray& method = request.method;
    const QByteArray recording = QByteArray("/v1/recordings/") + recordingId;
    if (method == "POST" && path == "/v1/transcriptions/live") {
        const QJsonObject body = QJsonDocument::fromJson(request.body).object();
        return ScriptedAnswer::json(201, compact({{"id", transcriptionId},
                                                  {"name", body.value("name")},
                                                  {"createdAt", "2026-01-01T10:00:00Z"},
                                                  {"live", true}}));
    }
    if (method == "POST" &&
        path == QByteArray("/v1/transcriptions/") + transcriptionId + "/recordings") {
        const QString stream =
            server.wsURL(QStringLiteral("/v1/stream/s-1?token=t")).toString(QUrl::FullyEncoded);
        return ScriptedAnswer::json(201, compact({{"recording", recordingRecord("live")},
                                                  {"sessionId", "s-1"},
                                                  {"streamUrl", stream}}));
    }
    if (method == "POST" && path == "/v1/realtime/sessions") {
        const QString stream =
            server.wsURL(QStringLiteral("/v1/stream/c-1?token=t")).toString(QUrl::FullyEncoded);
        return ScriptedAnswer::json(201, compact({{"sessionId", "c-1"}, {"streamUrl", stream}}));
    }
    if (method == "POST" && path == recording + "/pause")
        return ScriptedAnswer::json(200, compact(recordingRecord("paused")));
    if (method == "POST" && path == recording + "/resume")
        return ScriptedAnswer::json(200, compact(recordingRecord("live")));
    if (method == "POST" && path == recording + "/stop") {
        if (endUplinkOnStop && uplink)
            endUplink(QStringLiteral("stopped"));
        return ScriptedAnswer::json(200, compact(recordingRecord("stopping")));
    }
    if (method == "PATCH" && path == recording + "/settings")
        return ScriptedAnswer::json(200, "{}");
    if (method == "GET" && path == recording + "/transcript")
        return ScriptedAnswer::json(200, compact({{"recordingId", recordingId},
                                                  {"lastSeq", snapshotLastSeq},
                                                  {"state", "live"},
                                                  {"segments", snapshotSegments},
                                                  {"sentences", QJsonArray()},
                                                  {"speakers", QJsonArray()}}));
    if (method == "POST" && path == recording + "/summarize")
        return ScriptedAnswer::json(200, compact({{"state", "pending"}}));
    if (method == "GET" && path == recording + "/summary") {
        QJsonObject status{{"state", summaryState}};
        if (summaryState == QLatin1String("ready")) {
            status.insert("summary", "We agreed to ship on Monday.");
            status.insert("title", "Release planning");
        }
        return ScriptedAnswer::json(200, compact(status));
    }
    return ScriptedAnswer::json(404, R"({"code":"not_found","message":"No such route."})");
}

void ScriptedService::onAccepted(QWebSocket* client, const RecordedRequest& upgrade) {
    if (upgrade.path.startsWith("/v1/stream/")) {
        uplink = client;
        ++uplinkConnections;
        connect(client, &QWebSocket::textMessageReceived, this, [this, client](const QString& t) {
            const QJsonObject message = parse(t);
            uplinkTexts.append(message);
            uplinkLog.append(message.value("type").toString());
            if (endUplinkOnEof && message.value("type") == QLatin1String("eof") && client == uplink)
                endUplink(QStringLiteral("eof"));
        });
        connect(client, &QWebSocket::binaryMessageReceived, this, [this](const QByteArray& b) {
            uplinkBinaries.append(b);
            uplinkLog.append(QStringLiteral("audio"));
        });
        connect(client, &QWebSocket::disconnected, this, [this, client] {
            ++uplinkDisconnects;
            if (uplink == client)
                uplink = nullptr;
        });
        for (const QJsonObject& frame : std::as_const(uplinkGreeting))
            client->sendTextMessage(QString::fromUtf8(compact(frame)));
        return;
    }
    feeds.append(client);
    feedUpgrades.append(upgrade);
    connect(client, &QWebSocket::disconnected, this, [this, client] {
        ++feedDisconnects;
        feeds.removeAll(client);
    });
    client->sendTextMessage(R"({"type":"subscribe.ready"})");
}

QList<RecordedRequest> ScriptedService::requests(const QByteArray& method,
                                                 const QByteArray& suffix) const {
    QList<RecordedRequest> out;
    for (const auto& r : server.httpRequests())
        if (r.method == method && r.path.endsWith(suffix))
            out.append(r);
    return out;
}

QStringList ScriptedService::log() const {
    QStringList out;
    for (const auto& r : server.httpRequests())
        out.append(QString::fromUtf8(r.method + ' ' + r.path));
    return out;
}

QList<QJsonObject> ScriptedService::uplinkTextsOfType(const QString& type) const {
    QList<QJsonObject> out;
    for (const auto& t : uplinkTexts)
        if (t.value("type").toString() == type)
            out.append(t);
    return out;
}

void ScriptedService::sendUplink(const QJsonObject& frame) {
    if (uplink)
        uplink->sendTextMessage(QString::fromUtf8(compact(frame)));
}

void ScriptedService::endUplink(const QString& reason) {
    if (!uplink)
        return;
    QWebSocket* client = uplink;
    client->sendTextMessage(
        QString::fromUtf8(compact({{"type", "session.done"}, {"reason", reason}})));
    client->close(QWebSocketProtocol::CloseCodeNormal, reason);
}

void ScriptedService::sendFeed(const QJsonObject& frame) {
    if (QWebSocket* f = feed())
        f->sendTextMessage(QString::fromUtf8(compact(frame)));
}

QJsonObject committed(qint64 seq, const QString& text, qint64 speaker) {
    return QJsonObject{{"type", "transcript.committed"},
                       {"cursor", seq},
                       {"segment", QJsonObject{{"seq", seq},
                                               {"text", text},
                                               {"start", double(seq)},
                                               {"end", double(seq) + 0.5},
                                               {"speaker", speaker}}}};
}

QJsonObject draft(const QString& text) {
    return QJsonObject{{"type", "transcript.draft"},
                       {"segments", QJsonArray{QJsonObject{{"text", text}, {"speaker", 0}}}}};
}

} // namespace pq::test
