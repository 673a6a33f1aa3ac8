#include "Server.h"

#include "ApiRoutes.h"
#include "Auth.h"
#include "BroadcastHub.h"
#include "ConnectGrants.h"
#include "FeedHub.h"
#include "GatedTcpServer.h"
#include "HttpReply.h"
#include "JobQueue.h"
#include "Languages.h"
#include "LiveRecording.h"
#include "SessionRegistry.h"
#include "SpeechEngine.h"
#include "SqlStatement.h"
#include "Store.h"
#include "SummaryService.h"
#include "Translator.h"
#include "UploadReceiver.h"
#include "VoiceService.h"
#include "WebApp.h"

#include <QDir>
#include <QFileInfo>
#include <QHttpServer>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QLoggingCategory>
#include <QTimer>
#include <QUrlQuery>
#include <QWebSocket>

Q_LOGGING_CATEGORY(lcServer, "parloquent.server")

namespace pq::server {

namespace {

bool isUpgrade(const QHttpServerRequest& request) {
    return request.value("Upgrade").compare("websocket", Qt::CaseInsensitive) == 0;
}

HttpError upgradeRequired() {
    return HttpError(426, QStringLiteral("upgrade_required"),
                     QStringLiteral("This address speaks WebSocket only."));
}

// The recording id in "/v1/recordings/{id}/subscribe", or empty.
QString feedRecording(const QString& path) {
    const QStringList parts = path.split(QLatin1Char('/'));
    if (parts.size() == 5 && parts[1] == QLatin1String("v1") &&
        parts[2] == QLatin1String("recordings") && parts[4] == QLatin1String("subscribe"))
        return parts[3];
    return {};
}

bool isStream(const QString& path) {
    const QStringList parts = path.split(QLatin1Char('/'));
    return parts.size() == 4 && parts[1] == QLatin1String("v1") &&
           parts[2] == QLatin1String("stream") && !parts[3].isEmpty();
}

} // namespace

Server::Server(ServerConfig config, Faults faults, QObject* parent)
    : QObject(parent), m_config(std::move(config)), m_faults(std::move(faults)) {
    m_store = std::make_unique<Store>(m_config.dataDir);
    const QStringList unfinished = m_store->failUnfinishedJobs(
        QStringLiteral("Parloquent stopped before this file was transcribed. Send it again."));
    if (!unfinished.isEmpty())
        qCInfo(lcServer) << unfinished.size() << "file transcription(s) left unfinished";
    // Whatever is in the uploads folder now belongs to no job any more.
    QDir uploads(m_config.uploadsDir());
    if (uploads.exists()) {
        for (const QString& name : uploads.entryList(QDir::Files))
            uploads.remove(name);
    }
    QDir().mkpath(m_config.uploadsDir());
    QDir().mkpath(QFileInfo(m_config.mediaPath(QStringLiteral("x"))).path());
    if (const int n = m_store->finishAbandonedRecordings())
        qCInfo(lcServer) << "finished" << n << "recording(s) left open by an earlier run";
    m_auth = std::make_unique<Auth>(*m_store);
    m_translator = new Translator(m_config.apertiumModes, this);
    DecoderOptions options{m_config.modelDir, m_config.grammar, m_config.decoderOptions};
    m_engine = new SpeechEngine(options, m_config.warmDecoders, this);
    m_feeds = new FeedHub(m_faults, m_config.noopIntervalS, this);
    m_registry = new SessionRegistry(*m_store, *m_feeds, *m_translator, *m_engine, m_config, this);
    m_feeds->setNoopSource([this](const QString& id) -> std::optional<qint64> {
        if (LiveRecording* r = m_registry->recording(id))
            return r->noop();
        return std::nullopt;
    });
    m_jobs = new JobQueue(*m_store, *m_feeds, *m_translator, *m_engine, m_config, this);
    m_grants = std::make_unique<ConnectGrants>(m_config.connectCodeLifetimeS);
    m_voices = new VoiceService(this);
    m_summaries = new SummaryService(*m_store, this);
    // A summary asked for while its recording was still being transcribed is made at its end.
    connect(m_registry, &SessionRegistry::recordingFinished, m_summaries,
            [this](const QString& recordingId) { m_summaries->recordingFinished(recordingId); });
    connect(m_jobs, &JobQueue::finished, m_summaries,
            [this](const QString&, const QString& recordingId) {
                m_summaries->recordingFinished(recordingId);
            });
    m_broadcasts = new BroadcastHub(*m_store, *m_registry, *m_feeds, *m_translator, this);
    m_routes = new ApiRoutes(
        *m_store, *m_auth, *m_registry, *m_feeds, *m_translator, *m_engine,
        ApiRoutes::Services{*m_jobs, *m_voices, *m_summaries, *m_grants, *m_broadcasts}, m_faults,
        m_config, this);
    m_web = new WebApp(*m_store, *m_auth, *m_registry, *m_broadcasts, *m_grants, *m_voices,
                       m_config, this);

    m_http = new QHttpServer(this);
    // WebSocket addresses need a route that leaves the upgrade request unanswered.
    m_http->route("/v1/stream/<arg>", [](const QString&, const QHttpServerRequest& request,
                                         QHttpServerResponder&& responder) {
        if (!isUpgrade(request))
            HttpReply::error(responder, upgradeRequired());
    });
    m_http->route(
        "/v1/recordings/<arg>/subscribe",
        [](const QString&, const QHttpServerRequest& request, QHttpServerResponder&& responder) {
            if (!isUpgrade(request))
                HttpReply::error(responder, upgradeRequired());
        });
    m_http->setMissingHandler(
        [this](const QHttpServerRequest& request, QHttpServerResponder&& responder) {
            m_routes->handle(request, std::move(responder));
        });
    connect(m_http, &QHttpServer::newWebSocketConnection, this, &Server::onWebSocket);
}

Server::~Server() {
    // Live streams first: their worker threads and sockets refer to everything else.
    delete m_registry;
    m_registry = nullptr;
    delete m_jobs;
    delete m_web;
    m_feeds->setAudience({});
    delete m_broadcasts;
    delete m_http;
    delete m_feeds;
    delete m_routes;
    delete m_summaries;
    delete m_voices;
    delete m_engine;
    delete m_translator;
}

bool Server::listen(QString* error) {
    RequestGate::Limits limits;
    limits.maxBody = m_config.maxBodyBytes;
    // Uploads are read by an UploadReceiver, straight to disk.
    auto uploads = std::make_shared<UploadReceiver::Context>();
    uploads->authorize = [this](const QByteArray& authorization) {
        m_auth->require(authorization);
    };
    uploads->accept = [this](const UploadedFile& file) { return m_routes->acceptUpload(file); };
    uploads->folder = m_config.uploadsDir();
    uploads->maxBytes = m_config.maxUploadBytes;
    RequestGate::Takeover takeover;
    takeover.wants = [](const RequestHead& head) {
        return head.method == "POST" &&
               QUrl(QString::fromLatin1(head.target)).path() ==
                   QLatin1String("/v1/transcriptions") &&
               head.headers.value("content-type").trimmed().toLower().startsWith("multipart/");
    };
    takeover.take = [uploads](QTcpSocket* socket, const RequestHead& head, qsizetype skip) {
        UploadReceiver::start(socket, head, skip, uploads);
    };
    m_tcp = GatedTcpServer::serve(
        m_http, m_config.listen, m_config.port, limits,
        [this](const RequestHead& head) { return checkUpgrade(head); }, takeover, error);
    if (!m_tcp)
        return false;
    m_port = m_tcp->serverPort();
    if (!m_web->listen(error)) {
        *error =
            QStringLiteral("the web application's port %1: %2").arg(m_config.appPort).arg(*error);
        return false;
    }
    QUrl api;
    api.setScheme(QStringLiteral("http"));
    api.setHost(m_config.listen.toString());
    api.setPort(m_port);
    m_web->setApiBase(api);
    m_engine->start();
    return true;
}

quint16 Server::appPort() const {
    return m_web->port();
}

std::optional<HttpError> Server::checkUpgrade(const RequestHead& head) {
    const QString path = QUrl(QString::fromLatin1(head.target)).path();
    if (isStream(path))
        return std::nullopt; // the one-time token is checked on the socket
    const QString recording = feedRecording(path);
    if (!recording.isEmpty())
        return m_routes->checkFeed(recording, head.headers.value("authorization"));
    return HttpError::notFound(QStringLiteral("There is no WebSocket at this address."));
}

void Server::onWebSocket() {
    while (auto socket = m_http->nextPendingWebSocketConnection()) {
        const QUrl url = socket->requestUrl();
        const QString path = url.path();
        if (isStream(path)) {
            m_registry->connectUplink(std::move(socket));
            continue;
        }
        const QString recording = feedRecording(path);
        const auto refusal =
            recording.isEmpty()
                ? std::optional<HttpError>(HttpError::notFound(QStringLiteral("No such feed.")))
                : m_routes->checkFeed(recording, socket->request().rawHeader("Authorization"));
        const QUrlQuery query(url);
        const QString lang = query.queryItemValue(QStringLiteral("lang"));
        if (refusal || (!lang.isEmpty() && !Languages::isCode(lang))) {
            QWebSocket* s = socket.release();
            s->setParent(this);
            s->close(QWebSocketProtocol::CloseCodePolicyViolated,
                     refusal ? refusal->code() : QStringLiteral("invalid_request"));
            connect(s, &QWebSocket::disconnected, s, &QObject::deleteLater);
            QTimer::singleShot(5000, s, [s] {
                s->abort();
                s->deleteLater();
            });
            continue;
        }
        std::optional<RecordingRow> row;
        try {
            row = m_store->recording(recording);
        } catch (const StoreError& e) {
            qCWarning(lcServer) << "cannot read" << recording << e.what();
        }
        m_feeds->subscribe(std::move(socket), recording,
                           lang.isEmpty() ? std::nullopt : std::optional<QString>(lang),
                           query.queryItemValue(QStringLiteral("device")).left(200),
                           row ? row->lastCursor : 0);
    }
}

} // namespace pq::server
