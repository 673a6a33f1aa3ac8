#include "ApiRoutes.h"

#include "Auth.h"
#include "BroadcastHub.h"
#include "ConnectGrants.h"
#include "Faults.h"
#include "FeedHub.h"
#include "FormData.h"
#include "HttpReply.h"
#include "Ids.h"
#include "JobQueue.h"
#include "JsonFields.h"
#include "Languages.h"
#include "LiveRecording.h"
#include "SearchText.h"
#include "ServerConfig.h"
#include "SessionRegistry.h"
#include "SpeechEngine.h"
#include "SqlStatement.h"
#include "Store.h"
#include "SummaryService.h"
#include "Translator.h"
#include "UploadReceiver.h"
#include "VoiceService.h"

#include <QFileInfo>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QPointer>
#include <QTcpSocket>

#include <memory>

Q_LOGGING_CATEGORY(lcApi, "parloquent.server.api")

namespace pq::server {

namespace {

QByteArray methodName(const QHttpServerRequest& request) {
    switch (request.method()) {
    case QHttpServerRequest::Method::Get:
        return "GET";
    case QHttpServerRequest::Method::Put:
        return "PUT";
    case QHttpServerRequest::Method::Delete:
        return "DELETE";
    case QHttpServerRequest::Method::Post:
        return "POST";
    case QHttpServerRequest::Method::Head:
        return "HEAD";
    case QHttpServerRequest::Method::Options:
        return "OPTIONS";
    case QHttpServerRequest::Method::Patch:
        return "PATCH";
    default:
        return "OTHER";
    }
}

QJsonObject translationMap(const std::optional<QString>& lang, const std::optional<QString>& text) {
    if (lang && text)
        return QJsonObject{{*lang, *text}};
    return {};
}

const QString kEnded = QStringLiteral("The recording has ended.");

} // namespace

ApiRoutes::ApiRoutes(Store& store, Auth& auth, SessionRegistry& registry, FeedHub& feeds,
                     Translator& translator, SpeechEngine& engine, Services services,
                     Faults& faults, const ServerConfig& config, QObject* parent)
    : QObject(parent), m_store(store), m_auth(auth), m_registry(registry), m_feeds(feeds),
      m_translator(translator), m_engine(engine), m_jobs(services.jobs), m_voices(services.voices),
      m_summaries(services.summaries), m_grants(services.grants),
      m_broadcastHub(services.broadcasts), m_faults(faults), m_config(config) {
    using C = Call;
    add("GET", "/v1/me", [this](C& c) { return me(c); });
    add("GET", "/v1/languages", [this](C& c) { return languages(c); });
    add("GET", "/v1/transcriptions", [this](C& c) { return transcriptions(c); });
    add("POST", "/v1/transcriptions", [this](C& c) { return createFromUrl(c); });
    add("POST", "/v1/transcriptions/live", [this](C& c) { return createLive(c); });
    add("GET", "/v1/transcriptions/([^/]+)", [this](C& c) { return transcription(c); });
    add("POST", "/v1/transcriptions/([^/]+)/recordings",
        [this](C& c) { return startRecording(c); });
    add("GET", "/v1/broadcasts", [this](C& c) { return broadcasts(c); });
    add("GET", "/v1/voices", [this](C& c) { return voices(c); });
    add("GET", "/v1/voices/available", [this](C& c) { return voiceCatalogue(c); });
    add("GET", "/v1/voices/preview", [this](C& c) { return voicePreview(c, false); });
    add("GET", "/v1/voices/([^/]+)/preview", [this](C& c) { return voicePreview(c, true); });
    add("GET", "/v1/search", [this](C& c) { return search(c); });
    add("GET", "/v1/recordings/([^/]+)", [this](C& c) { return recording(c); });
    add("POST", "/v1/recordings/([^/]+)/pause", [this](C& c) { return pause(c); });
    add("POST", "/v1/recordings/([^/]+)/resume", [this](C& c) { return resume(c); });
    add("POST", "/v1/recordings/([^/]+)/stop", [this](C& c) { return stop(c); });
    add("PATCH", "/v1/recordings/([^/]+)/settings", [this](C& c) { return updateSettings(c); });
    add("GET", "/v1/recordings/([^/]+)/transcript", [this](C& c) { return transcript(c); });
    add("POST", "/v1/recordings/([^/]+)/summarize", [this](C& c) { return summary(c, true); });
    add("GET", "/v1/recordings/([^/]+)/summary", [this](C& c) { return summary(c, false); });
    add("POST", "/v1/realtime/sessions", [this](C& c) { return createRealtimeSession(c); });
    add(
        "POST", "/v1/connect/token", [this](C& c) { return connectToken(c); }, true);
}

void ApiRoutes::add(const char* method, const char* pattern, Handler handler, bool anonymous) {
    m_routes.append(Route{method,
                          QRegularExpression(QStringLiteral("^%1$").arg(QLatin1String(pattern))),
                          std::move(handler), anonymous});
}

void ApiRoutes::handle(const QHttpServerRequest& request, QHttpServerResponder&& responder) {
    try {
        dispatch(request, responder);
    } catch (const HttpError& e) {
        HttpReply::error(responder, e);
    } catch (const StoreError& e) {
        qCWarning(lcApi) << "storage failure:" << e.what();
        HttpReply::error(responder, HttpError::internal());
    } catch (const std::exception& e) {
        qCWarning(lcApi) << "failure:" << e.what();
        HttpReply::error(responder, HttpError::internal());
    }
}

void ApiRoutes::dispatch(const QHttpServerRequest& request, QHttpServerResponder& responder) {
    const QString path = request.url().path(QUrl::FullyEncoded);
    if (path == QLatin1String("/health") && request.method() == QHttpServerRequest::Method::Get) {
        // For supervisors and tests: no key needed, nothing private.
        static const char* const states[] = {"loading", "ready", "failed"};
        HttpReply::json(responder, 200,
                        QJsonObject{{QStringLiteral("status"), QStringLiteral("ok")},
                                    {QStringLiteral("version"), QStringLiteral(PQ_SERVER_VERSION)},
                                    {QStringLiteral("recognizer"),
                                     QString::fromLatin1(states[int(m_engine.state())])}});
        return;
    }
    if (!path.startsWith(QLatin1String("/v1/")))
        throw HttpError::notFound(QStringLiteral("There is nothing at this address."));
    if (m_faults.refuseRequest())
        throw HttpError::unavailable(QStringLiteral("Parloquent is busy right now (injected "
                                                    "fault). Try again."));

    const QByteArray method = methodName(request);
    const Route* found = nullptr;
    QRegularExpressionMatch match;
    QStringList allowed;
    for (const Route& route : std::as_const(m_routes)) {
        QRegularExpressionMatch m = route.pattern.match(path);
        if (!m.hasMatch())
            continue;
        allowed.append(QString::fromLatin1(route.method));
        if (route.method == method) {
            found = &route;
            match = m;
            break;
        }
    }
    const bool anonymous = found && found->anonymous;
    QString keyId;
    if (!anonymous)
        keyId = m_auth.require(request.value("Authorization"));
    if (!found) {
        if (allowed.isEmpty())
            throw HttpError::notFound(QStringLiteral("There is nothing at this address."));
        HttpReply::json(
            responder, 405,
            HttpError(
                405, QStringLiteral("method_not_allowed"),
                QStringLiteral("This address does not take %1.").arg(QString::fromLatin1(method)))
                .body(),
            {{"Allow", allowed.join(QStringLiteral(", ")).toLatin1()}});
        return;
    }
    Call call{request, match, QUrlQuery(request.url()), keyId, &responder};
    const Reply reply = found->handler(call);
    if (!reply.deferred)
        HttpReply::json(responder, reply.status, reply.body);
}

std::optional<HttpError> ApiRoutes::checkFeed(const QString& recordingId,
                                              const QByteArray& authorization) {
    try {
        m_auth.require(authorization);
        requireRecording(recordingId);
    } catch (const HttpError& e) {
        return e;
    } catch (const StoreError&) {
        return HttpError::internal();
    }
    return std::nullopt;
}

int ApiRoutes::intParam(const QUrlQuery& query, const QString& name, int fallback, int min,
                        int max) {
    if (!query.hasQueryItem(name))
        return fallback;
    bool ok = false;
    const int value = query.queryItemValue(name).toInt(&ok);
    if (!ok || value < min || value > max)
        throw HttpError::invalid(QStringLiteral("\"%1\" must be a whole number from %2 to %3.")
                                     .arg(name)
                                     .arg(min)
                                     .arg(max),
                                 name);
    return value;
}

void ApiRoutes::requireEngine(bool replacing) const {
    switch (m_engine.state()) {
    case SpeechEngine::State::Loading:
        throw HttpError::unavailable(
            QStringLiteral("Parloquent is still loading its speech recogniser. Try again in a "
                           "moment."));
    case SpeechEngine::State::Failed:
        throw HttpError(503, QStringLiteral("engine_unavailable"),
                        QStringLiteral("Parloquent's speech recogniser could not start: %1")
                            .arg(m_engine.error()));
    case SpeechEngine::State::Ready:
        break;
    }
    if (!replacing && m_registry.full())
        throw HttpError::unavailable(
            QStringLiteral("Parloquent is busy with other live sessions. Try again in a minute."));
}

RecordingRow ApiRoutes::requireRecording(const QString& id) {
    auto row = m_store.recording(id);
    if (!row)
        throw HttpError::notFound(QStringLiteral("There is no such recording."));
    return *row;
}

Settings ApiRoutes::parseSettings(const JsonFields& f, Settings base) const {
    if (f.raw().contains(QStringLiteral("spokenLanguage"))) {
        const auto language = f.optionalString(QStringLiteral("spokenLanguage"), 20);
        if (!language || *language == QLatin1String("auto")) {
            base.spokenLanguage.reset();
        } else if (!Languages::isTranscribed(*language)) {
            throw HttpError(
                422, QStringLiteral("unsupported_language"),
                QStringLiteral("Parloquent cannot transcribe \"%1\" here.").arg(*language));
        } else {
            base.spokenLanguage = language;
        }
    }
    if (f.has(QStringLiteral("speakerLabels"))) {
        const QString labels = f.string(QStringLiteral("speakerLabels"), 10);
        if (labels != QLatin1String("auto") && labels != QLatin1String("on") &&
            labels != QLatin1String("off"))
            throw HttpError::invalid(
                QStringLiteral("\"speakerLabels\" must be \"auto\", \"on\" or \"off\"."),
                QStringLiteral("speakerLabels"));
        base.speakerLabels = labels;
    }
    return base;
}

QString ApiRoutes::streamUrl(const QHttpServerRequest& request, const QString& sessionId,
                             const QString& token) const {
    // Give back the host the client used to reach us, when it is a plain host[:port].
    static const QRegularExpression hostPattern(
        QStringLiteral("^[A-Za-z0-9.\\-]+(:[0-9]{1,5})?$|^\\[[0-9A-Fa-f:.]+\\](:[0-9]{1,5})?$"));
    QString host = QString::fromLatin1(request.value("Host"));
    if (!hostPattern.match(host).hasMatch())
        host = QStringLiteral("127.0.0.1:%1").arg(request.url().port(m_config.port));
    return QStringLiteral("ws://%1/v1/stream/%2?token=%3").arg(host, sessionId, token);
}

QJsonObject ApiRoutes::recordingJson(const RecordingRow& row) const {
    return QJsonObject{{QStringLiteral("id"), row.id},
                       {QStringLiteral("transcriptionId"), row.transcriptionId},
                       {QStringLiteral("state"), row.state}};
}

QJsonObject ApiRoutes::transcriptionJson(const TranscriptionRow& row) {
    QJsonObject o{{QStringLiteral("id"), row.id},
                  {QStringLiteral("name"), row.name},
                  {QStringLiteral("createdAt"), row.createdAt},
                  {QStringLiteral("live"), row.live}};
    if (!row.live) {
        if (const auto job = m_store.job(row.id)) {
            static const QHash<QString, QString> phases{
                {QStringLiteral("queued"), QStringLiteral("Waiting")},
                {QStringLiteral("fetching"), QStringLiteral("Fetching")},
                {QStringLiteral("transcribing"), QStringLiteral("Transcribing")},
                {QStringLiteral("done"), QStringLiteral("Done")},
                {QStringLiteral("failed"), QStringLiteral("Failed")}};
            QJsonObject j{{QStringLiteral("state"), job->state},
                          {QStringLiteral("recordingId"), job->recordingId},
                          {QStringLiteral("progress"),
                           QJsonObject{{QStringLiteral("pct"), job->pct},
                                       {QStringLiteral("phase"), phases.value(job->state)}}}};
            if (job->error)
                j.insert(QStringLiteral("error"), *job->error);
            o.insert(QStringLiteral("job"), j);
        }
    }
    const LiveRecording* active = m_registry.recordingOf(row.id);
    if (const auto last = m_store.lastRecording(row.id)) {
        const bool isActive = active && active->id() == last->id;
        QJsonObject l{{QStringLiteral("recordingId"), last->id},
                      {QStringLiteral("state"), isActive ? active->state() : last->state}};
        const double duration = isActive ? active->durationS() : last->durationS;
        l.insert(QStringLiteral("durationS"), duration);
        if (const auto s = m_store.summary(last->id); s && s->title && !s->title->isEmpty())
            l.insert(QStringLiteral("title"), *s->title);
        o.insert(QStringLiteral("lastRecording"), l);
    }
    if (active) {
        o.insert(QStringLiteral("currentRecording"),
                 QJsonObject{{QStringLiteral("recordingId"), active->id()},
                             {QStringLiteral("state"), active->state()}});
    }
    return o;
}

ApiRoutes::Reply ApiRoutes::me(Call& call) {
    QJsonArray scopes;
    for (const QString& s : Auth::scopes())
        scopes.append(s);
    return Reply{200, QJsonObject{{QStringLiteral("displayName"), Auth::displayName()},
                                  {QStringLiteral("apiKeyId"), call.keyId},
                                  {QStringLiteral("userId"), m_store.userId()},
                                  {QStringLiteral("scopes"), scopes}}};
}

ApiRoutes::Reply ApiRoutes::languages(Call&) {
    return Reply{200, QJsonObject{{QStringLiteral("languages"),
                                   Languages::list(m_translator.targets(), m_voices.languages())}}};
}

ApiRoutes::Reply ApiRoutes::transcriptions(Call& call) {
    const int limit = intParam(call.query, QStringLiteral("limit"), 20, 1, 100);
    std::optional<qint64> before;
    if (call.query.hasQueryItem(QStringLiteral("cursor"))) {
        const QByteArray decoded = QByteArray::fromBase64(
            call.query.queryItemValue(QStringLiteral("cursor")).toLatin1(),
            QByteArray::Base64UrlEncoding | QByteArray::AbortOnBase64DecodingErrors);
        bool ok = decoded.startsWith("t:");
        const qint64 n = ok ? decoded.mid(2).toLongLong(&ok) : 0;
        if (!ok || n <= 0)
            throw HttpError::invalid(QStringLiteral("The cursor is not valid."),
                                     QStringLiteral("cursor"));
        before = n;
    }
    bool more = false;
    const QList<TranscriptionRow> rows = m_store.transcriptions(before, limit, &more);
    QJsonArray list;
    for (const auto& row : rows)
        list.append(transcriptionJson(row));
    QJsonObject page{{QStringLiteral("transcriptions"), list}};
    if (more && !rows.isEmpty()) {
        const QByteArray next = "t:" + QByteArray::number(rows.last().n);
        page.insert(QStringLiteral("nextCursor"),
                    QString::fromLatin1(next.toBase64(QByteArray::Base64UrlEncoding |
                                                      QByteArray::OmitTrailingEquals)));
    }
    return Reply{200, page};
}

ApiRoutes::Reply ApiRoutes::transcription(Call& call) {
    const auto row = m_store.transcription(call.arg(1));
    if (!row)
        throw HttpError::notFound(QStringLiteral("There is no such transcription."));
    return Reply{200, transcriptionJson(*row)};
}

ApiRoutes::Reply ApiRoutes::createLive(Call& call) {
    const JsonFields body = JsonFields::parse(call.request.body());
    QString name = body.string(QStringLiteral("name"), 500).trimmed();
    if (name.isEmpty())
        name = QStringLiteral("Live transcription");
    const Settings settings = parseSettings(body.object(QStringLiteral("settings")), Settings{});
    const JsonFields source = body.object(QStringLiteral("source"));
    for (auto it = source.raw().constBegin(); it != source.raw().constEnd(); ++it) {
        if (!it->isString())
            throw HttpError::invalid(
                QStringLiteral("The field \"source.%1\" must be text.").arg(it.key()),
                QStringLiteral("source.") + it.key());
    }
    const QString kind =
        source.optionalString(QStringLiteral("kind"), 50).value_or(QStringLiteral("mic"));
    const TranscriptionRow row = m_store.createTranscription(name, true, kind, settings);
    return Reply{201, transcriptionJson(row)};
}

ApiRoutes::Reply ApiRoutes::createFromUrl(Call& call) {
    if (call.request.value("Content-Type").toLower().startsWith("multipart/"))
        throw HttpError::invalid(QStringLiteral("The upload is malformed."));
    const JsonFields body = JsonFields::parse(call.request.body());
    const QString address = body.string(QStringLiteral("url"), 4000).trimmed();
    const QUrl url(address, QUrl::TolerantMode);
    const QString scheme = url.scheme().toLower();
    const bool web = (scheme == QLatin1String("http") || scheme == QLatin1String("https")) &&
                     !url.host().isEmpty();
    const bool file = scheme == QLatin1String("file") && m_config.allowFileUrls;
    if (!url.isValid() || (!web && !file))
        throw HttpError::invalid(QStringLiteral("\"url\" must be an http or https address."),
                                 QStringLiteral("url"));
    QString name = body.optionalString(QStringLiteral("name"), 500).value_or(QString()).trimmed();
    if (name.isEmpty()) {
        name = QFileInfo(url.path()).completeBaseName();
        if (name.isEmpty())
            name = url.host().isEmpty() ? QStringLiteral("Address") : url.host();
    }
    const Settings settings =
        body.has(QStringLiteral("settings"))
            ? parseSettings(body.object(QStringLiteral("settings")), Settings{})
            : Settings{};
    const JobRow job = m_jobs.add(name, settings, QStringLiteral("url"),
                                  url.toString(QUrl::FullyEncoded), address);
    return Reply{201, transcriptionJson(*m_store.transcription(job.transcriptionId))};
}

QJsonObject ApiRoutes::acceptUpload(const UploadedFile& file) {
    JsonFields options(QJsonObject{});
    if (!file.options.trimmed().isEmpty()) {
        QJsonParseError error{};
        const QJsonDocument doc = QJsonDocument::fromJson(file.options, &error);
        if (error.error != QJsonParseError::NoError || !doc.isObject())
            throw HttpError::invalid(
                QStringLiteral("The upload's \"options\" part must be a JSON object."),
                QStringLiteral("options"));
        options = JsonFields(doc.object(), QStringLiteral("options"));
    }
    QString name =
        options.optionalString(QStringLiteral("name"), 500).value_or(QString()).trimmed();
    if (name.isEmpty())
        name = QFileInfo(file.fileName).completeBaseName().trimmed();
    if (name.isEmpty())
        name = QStringLiteral("Upload");
    const Settings settings =
        options.has(QStringLiteral("settings"))
            ? parseSettings(options.object(QStringLiteral("settings")), Settings{})
            : Settings{};
    const JobRow job = m_jobs.add(name, settings, QStringLiteral("file"), file.path,
                                  file.fileName.isEmpty() ? name : file.fileName);
    return transcriptionJson(*m_store.transcription(job.transcriptionId));
}

ApiRoutes::Reply ApiRoutes::startRecording(Call& call) {
    const auto transcription = m_store.transcription(call.arg(1));
    if (!transcription)
        throw HttpError::notFound(QStringLiteral("There is no such transcription."));
    const JsonFields body = JsonFields::parse(call.request.body());
    const bool takeover = body.boolean(QStringLiteral("takeover"));
    const QString deviceId = body.string(QStringLiteral("deviceId"), 200);
    if (deviceId.trimmed().isEmpty())
        throw HttpError::invalid(QStringLiteral("\"deviceId\" must not be empty."),
                                 QStringLiteral("deviceId"));
    if (!transcription->live)
        throw HttpError(409, QStringLiteral("invalid_state"),
                        QStringLiteral("Only live transcriptions can be recorded."));
    LiveRecording* current = m_registry.recordingOf(transcription->id);
    if (current && current->state() != QLatin1String("stopping") &&
        current->deviceId() != deviceId && !takeover) {
        throw HttpError(409, QStringLiteral("recording_elsewhere"),
                        QStringLiteral("This transcription is being recorded on another device. "
                                       "Take over the recording to continue here."));
    }
    requireEngine(current != nullptr);
    // The same device starting again (after a crash), or a takeover: the old recording ends.
    if (current)
        current->stop(QStringLiteral("takeover"));
    const RecordingRow row =
        m_store.createRecording(transcription->id, deviceId, transcription->settings);
    SessionRegistry::Grant grant;
    m_registry.startRecording(row, &grant);
    return Reply{201, QJsonObject{{QStringLiteral("recording"), recordingJson(row)},
                                  {QStringLiteral("sessionId"), grant.sessionId},
                                  {QStringLiteral("streamUrl"),
                                   streamUrl(call.request, grant.sessionId, grant.token)}}};
}

ApiRoutes::Reply ApiRoutes::broadcasts(Call& call) {
    bool activeOnly = false;
    if (call.query.hasQueryItem(QStringLiteral("lifecycle"))) {
        const QString lifecycle = call.query.queryItemValue(QStringLiteral("lifecycle"));
        if (lifecycle == QLatin1String("active"))
            activeOnly = true;
        else if (lifecycle != QLatin1String("all"))
            throw HttpError::invalid(QStringLiteral("\"lifecycle\" must be \"active\" or \"all\"."),
                                     QStringLiteral("lifecycle"));
    }
    QJsonArray list;
    for (const BroadcastRow& b : m_store.broadcasts(activeOnly)) {
        QJsonObject o{{QStringLiteral("id"), b.id},
                      {QStringLiteral("name"), b.name},
                      {QStringLiteral("code"), b.code},
                      {QStringLiteral("createdAt"), b.createdAt},
                      {QStringLiteral("listenersNow"), m_broadcastHub.listeners(b.id)}};
        const auto linked = b.transcriptionId ? m_store.transcription(*b.transcriptionId)
                                              : std::optional<TranscriptionRow>();
        if (linked) {
            const QJsonObject t = transcriptionJson(*linked);
            if (t.contains(QStringLiteral("lastRecording"))) {
                o.insert(QStringLiteral("lastRecording"), t.value(QStringLiteral("lastRecording")));
                if (const auto last = m_store.lastRecording(*b.transcriptionId))
                    o.insert(QStringLiteral("lastRecordedAt"), last->createdAt);
            }
            if (t.contains(QStringLiteral("currentRecording"))) {
                o.insert(QStringLiteral("currentRecording"),
                         t.value(QStringLiteral("currentRecording")));
            }
        }
        list.append(o);
    }
    return Reply{200, QJsonObject{{QStringLiteral("broadcasts"), list}}};
}

ApiRoutes::Reply ApiRoutes::voices(Call&) {
    QJsonArray list;
    for (const VoiceRow& v : m_store.voices()) {
        list.append(QJsonObject{
            {QStringLiteral("id"), v.id},
            {QStringLiteral("name"), v.name},
            {QStringLiteral("state"), v.draft ? QStringLiteral("draft") : QStringLiteral("ready")},
            {QStringLiteral("color"), v.color},
            {QStringLiteral("enabled"), v.enabled},
            {QStringLiteral("draft"), v.draft}});
    }
    return Reply{200, QJsonObject{{QStringLiteral("voices"), list}}};
}

ApiRoutes::Reply ApiRoutes::voiceCatalogue(Call& call) {
    const QString lang = call.query.queryItemValue(QStringLiteral("lang"));
    if (!Languages::isCode(lang))
        throw HttpError::invalid(QStringLiteral("\"lang\" must be a language code."),
                                 QStringLiteral("lang"));
    QJsonArray list;
    const QList<VoiceService::Voice> voices = m_voices.forLanguage(lang);
    for (int i = 0; i < voices.size(); ++i) {
        QJsonObject o{{QStringLiteral("id"), voices[i].id},
                      {QStringLiteral("name"), voices[i].name},
                      {QStringLiteral("cloned"), false},
                      {QStringLiteral("default"), i == 0}};
        if (!voices[i].gender.isEmpty())
            o.insert(QStringLiteral("gender"), voices[i].gender);
        if (voices[i].language.contains(QLatin1Char('-')))
            o.insert(QStringLiteral("accent"), voices[i].language);
        list.append(o);
    }
    // The account's own voices that speak this language.
    for (const VoiceRow& v : m_store.voices()) {
        if (!v.enabled || v.draft)
            continue;
        const bool speaks =
            std::any_of(voices.begin(), voices.end(),
                        [&v](const VoiceService::Voice& e) { return e.id == v.base; });
        if (speaks)
            list.append(QJsonObject{{QStringLiteral("id"), v.id},
                                    {QStringLiteral("name"), v.name},
                                    {QStringLiteral("cloned"), true},
                                    {QStringLiteral("default"), false}});
    }
    return Reply{200,
                 QJsonObject{{QStringLiteral("lang"), lang}, {QStringLiteral("voices"), list}}};
}

ApiRoutes::Reply ApiRoutes::voicePreview(Call& call, bool own) {
    const QString format = call.query.queryItemValue(QStringLiteral("format"));
    if (!format.isEmpty() && format != QLatin1String("caf") && format != QLatin1String("wav"))
        throw HttpError::invalid(QStringLiteral("\"format\" must be \"caf\" or \"wav\"."),
                                 QStringLiteral("format"));
    QString lang = call.query.queryItemValue(QStringLiteral("lang"));
    if (!lang.isEmpty() && !Languages::isCode(lang))
        throw HttpError::invalid(QStringLiteral("\"lang\" must be a language code."),
                                 QStringLiteral("lang"));
    const QString id =
        own ? call.arg(1) : call.query.queryItemValue(QStringLiteral("voice"), QUrl::FullyDecoded);
    const HttpError unknown(404, QStringLiteral("voice_not_found"),
                            QStringLiteral("There is no such voice."));
    QString base = id;
    int pitch = 50;
    int rate = 175;
    // An own voice is found by either address; espeak-ng's only by the catalogue's.
    if (const auto v =
            id.startsWith(QLatin1String("vo_")) ? m_store.voice(id) : std::optional<VoiceRow>()) {
        base = v->base;
        pitch = v->pitch;
        rate = v->rate;
    } else if (own) {
        throw unknown;
    }
    const auto voice = m_voices.find(base);
    if (!voice)
        throw unknown;
    if (lang.isEmpty())
        lang = voice->language;
    const bool caf = format != QLatin1String("wav");
    auto responder = std::make_shared<QHttpServerResponder>(std::move(*call.responder));
    QPointer<QTcpSocket> socket(responder->socket());
    m_voices.sample(base, pitch, rate, VoiceService::sampleText(lang),
                    caf ? SoundFile::Format::Caf : SoundFile::Format::Wav, this,
                    [responder, socket, caf](const QByteArray& sound) {
                        if (!socket || socket->state() != QAbstractSocket::ConnectedState)
                            return;
                        if (sound.isEmpty())
                            HttpReply::error(*responder,
                                             HttpError::unavailable(QStringLiteral(
                                                 "The voice sample could not be made. Try "
                                                 "again.")));
                        else
                            HttpReply::bytes(*responder, 200, caf ? "audio/x-caf" : "audio/wav",
                                             sound, {{"Cache-Control", "no-store"}});
                    });
    return Reply{200, {}, true};
}

ApiRoutes::Reply ApiRoutes::summary(Call& call, bool start) {
    const RecordingRow row = requireRecording(call.arg(1));
    // Complete: ended, and not still being drained by its live session.
    const bool finished = row.endedAt.has_value() && !m_registry.recording(row.id);
    const SummaryRow s = start ? m_summaries.request(row, finished) : m_summaries.status(row.id);
    QJsonObject o{{QStringLiteral("state"), s.state}};
    if (s.summary)
        o.insert(QStringLiteral("summary"), *s.summary);
    if (s.title)
        o.insert(QStringLiteral("title"), *s.title);
    return Reply{200, o};
}

ApiRoutes::Reply ApiRoutes::connectToken(Call& call) {
    // Failures answer in the OAuth form (RFC 6749 5.2), status 400.
    auto refuse = [](const QString& error, const QString& description) {
        return Reply{400, QJsonObject{{QStringLiteral("error"), error},
                                      {QStringLiteral("error_description"), description}}};
    };
    if (!call.request.value("Content-Type")
             .toLower()
             .startsWith("application/x-www-form-urlencoded"))
        return refuse(QStringLiteral("invalid_request"),
                      QStringLiteral("Send the exchange as a form "
                                     "(application/x-www-form-urlencoded)."));
    const FormData form = FormData::parse(call.request.body());
    for (const QString& name : {QStringLiteral("grant_type"), QStringLiteral("code"),
                                QStringLiteral("code_verifier"), QStringLiteral("redirect_uri")}) {
        if (form.count(name) > 1)
            return refuse(QStringLiteral("invalid_request"),
                          QStringLiteral("The exchange names \"%1\" twice.").arg(name));
    }
    const QString grant = form.value(QStringLiteral("grant_type")).value_or(QString());
    if (grant.isEmpty())
        return refuse(QStringLiteral("invalid_request"),
                      QStringLiteral("The exchange needs a grant_type."));
    if (grant != QLatin1String("authorization_code"))
        return refuse(QStringLiteral("unsupported_grant_type"),
                      QStringLiteral("Only authorization_code is exchanged here."));
    const QString code = form.value(QStringLiteral("code")).value_or(QString());
    const ConnectGrants::Redeemed redeemed =
        m_grants.redeem(code, form.value(QStringLiteral("code_verifier")).value_or(QString()),
                        form.value(QStringLiteral("redirect_uri")).value_or(QString()));
    if (!redeemed.revokeKey.isEmpty() && m_store.revokeKey(redeemed.revokeKey))
        qCWarning(lcApi) << "a sign-in code was used twice: revoked key" << redeemed.revokeKey;
    if (!redeemed.request)
        return refuse(redeemed.error, redeemed.description);
    QString secret;
    const QString keyId = m_auth.create(redeemed.request->clientName.left(100), &secret);
    m_grants.noteKey(code, keyId);
    return Reply{200, QJsonObject{{QStringLiteral("access_token"), secret},
                                  {QStringLiteral("token_type"), QStringLiteral("Bearer")},
                                  {QStringLiteral("key_id"), keyId},
                                  {QStringLiteral("scope"), redeemed.request->scope},
                                  {QStringLiteral("account"),
                                   QJsonObject{{QStringLiteral("name"), Auth::displayName()}}}}};
}

ApiRoutes::Reply ApiRoutes::search(Call& call) {
    if (!call.query.hasQueryItem(QStringLiteral("q")))
        throw HttpError::invalid(QStringLiteral("\"q\" is missing: say what to search for."),
                                 QStringLiteral("q"));
    const QString text = call.query.queryItemValue(QStringLiteral("q"), QUrl::FullyDecoded);
    if (text.size() > 500)
        throw HttpError::invalid(QStringLiteral("The search text is too long."),
                                 QStringLiteral("q"));
    const int limit = intParam(call.query, QStringLiteral("limit"), 20, 1, 100);
    const QString match = SearchText::ftsQuery(text);
    QJsonArray hits;
    if (!match.isEmpty()) {
        for (const SearchRow& r : m_store.search(match, limit)) {
            hits.append(QJsonObject{{QStringLiteral("transcriptionId"), r.transcriptionId},
                                    {QStringLiteral("recordingId"), r.recordingId},
                                    {QStringLiteral("sentenceId"), r.sentenceId},
                                    {QStringLiteral("linkName"), r.linkName},
                                    {QStringLiteral("text"), r.text},
                                    {QStringLiteral("rendered"), SearchText::rendered(r.marked)},
                                    {QStringLiteral("mediaStart"), r.mediaStart}});
        }
    }
    return Reply{200, QJsonObject{{QStringLiteral("hits"), hits}}};
}

ApiRoutes::Reply ApiRoutes::recording(Call& call) {
    RecordingRow row = requireRecording(call.arg(1));
    if (const LiveRecording* active = m_registry.recording(row.id))
        row.state = active->state();
    return Reply{200, recordingJson(row)};
}

ApiRoutes::Reply ApiRoutes::pause(Call& call) {
    RecordingRow row = requireRecording(call.arg(1));
    LiveRecording* active = m_registry.recording(row.id);
    if (!active || !active->pause())
        throw HttpError(409, QStringLiteral("invalid_state"),
                        active ? QStringLiteral("The recording is stopping.") : kEnded);
    row.state = active->state();
    return Reply{200, recordingJson(row)};
}

ApiRoutes::Reply ApiRoutes::resume(Call& call) {
    RecordingRow row = requireRecording(call.arg(1));
    LiveRecording* active = m_registry.recording(row.id);
    if (!active || !active->resume())
        throw HttpError(409, QStringLiteral("invalid_state"),
                        active ? QStringLiteral("The recording is stopping.") : kEnded);
    row.state = active->state();
    return Reply{200, recordingJson(row)};
}

ApiRoutes::Reply ApiRoutes::stop(Call& call) {
    RecordingRow row = requireRecording(call.arg(1));
    const JsonFields body = JsonFields::parse(call.request.body(), true);
    body.optionalString(QStringLiteral("reason"), 200); // checked, kept for nothing yet
    if (LiveRecording* active = m_registry.recording(row.id)) {
        active->stop(QStringLiteral("stopped"));
        // It may have finished at once (no uplink): read the state again.
        if (const auto now = m_store.recording(row.id))
            row = *now;
        if (LiveRecording* still = m_registry.recording(row.id))
            row.state = still->state();
    }
    // Stopping an ended recording is not an error: the client retries stops.
    return Reply{200, recordingJson(row)};
}

ApiRoutes::Reply ApiRoutes::updateSettings(Call& call) {
    const RecordingRow row = requireRecording(call.arg(1));
    const JsonFields body = JsonFields::parse(call.request.body());
    const Settings settings = parseSettings(body, row.settings);
    if (LiveRecording* active = m_registry.recording(row.id))
        active->updateSettings(settings);
    else
        m_store.setRecordingSettings(row.id, settings);
    return Reply{200, QJsonObject()};
}

QJsonObject ApiRoutes::snapshot(const QString& recordingId, qint64 after,
                                const std::optional<QString>& lang) {
    RecordingRow row = requireRecording(recordingId);
    if (const LiveRecording* active = m_registry.recording(row.id))
        row.state = active->state();
    QJsonArray segments;
    for (const SegmentRow& s : m_store.segments(recordingId, after, lang)) {
        QJsonObject o{
            {QStringLiteral("seq"), s.seq},         {QStringLiteral("text"), s.text},
            {QStringLiteral("start"), s.start},     {QStringLiteral("end"), s.end},
            {QStringLiteral("speaker"), s.speaker}, {QStringLiteral("language"), s.language}};
        const QJsonObject tr = translationMap(lang, s.translation);
        if (!tr.isEmpty())
            o.insert(QStringLiteral("translations"), tr);
        segments.append(o);
    }
    QJsonArray sentences;
    for (const SentenceRow& s : m_store.sentences(recordingId, after, lang)) {
        QJsonArray seqs;
        for (qint64 seq : s.seqs)
            seqs.append(seq);
        QJsonObject o{{QStringLiteral("sentenceId"), s.sentenceId},
                      {QStringLiteral("seqs"), seqs},
                      {QStringLiteral("text"), s.text},
                      {QStringLiteral("speaker"), s.speaker}};
        const QJsonObject tr = translationMap(lang, s.translation);
        if (!tr.isEmpty())
            o.insert(QStringLiteral("translations"), tr);
        sentences.append(o);
    }
    return QJsonObject{
        {QStringLiteral("recordingId"), recordingId}, {QStringLiteral("lastSeq"), row.lastCursor},
        {QStringLiteral("segments"), segments},       {QStringLiteral("sentences"), sentences},
        {QStringLiteral("speakers"), QJsonArray()},   {QStringLiteral("state"), row.state}};
}

ApiRoutes::Reply ApiRoutes::transcript(Call& call) {
    const QString id = call.arg(1);
    requireRecording(id);
    qint64 after = -1;
    if (call.query.hasQueryItem(QStringLiteral("after"))) {
        bool ok = false;
        after = call.query.queryItemValue(QStringLiteral("after")).toLongLong(&ok);
        if (!ok || after < -1)
            throw HttpError::invalid(
                QStringLiteral("\"after\" must be a position (a whole number)."),
                QStringLiteral("after"));
    }
    std::optional<QString> lang;
    if (call.query.hasQueryItem(QStringLiteral("lang"))) {
        lang = call.query.queryItemValue(QStringLiteral("lang"));
        if (!Languages::isCode(*lang))
            throw HttpError::invalid(QStringLiteral("\"lang\" must be a language code."),
                                     QStringLiteral("lang"));
    }
    // A reading language without an engine gets the transcript without translations.
    const QList<UntranslatedRow> missing = lang && m_translator.canTranslate(*lang)
                                               ? m_store.untranslated(id, *lang)
                                               : QList<UntranslatedRow>();
    if (missing.isEmpty())
        return Reply{200, snapshot(id, after, lang)};

    // Translate what this language never needed before, then answer.
    auto responder = std::make_shared<QHttpServerResponder>(std::move(*call.responder));
    QPointer<QTcpSocket> socket(responder->socket());
    auto waiting = std::make_shared<int>(int(missing.size()));
    for (const UntranslatedRow& row : missing) {
        m_translator.translate(
            *lang, row.text, this,
            [this, id, after, lang, row, responder, socket, waiting](std::optional<QString> text) {
                try {
                    if (text && !text->isEmpty())
                        m_store.addTranslation(id, row.sentence, row.ref, *lang, *text, row.cursor);
                } catch (const StoreError& e) {
                    qCWarning(lcApi) << "cannot store a translation:" << e.what();
                }
                if (--*waiting > 0)
                    return;
                if (!socket || socket->state() != QAbstractSocket::ConnectedState)
                    return; // the client went away
                try {
                    HttpReply::json(*responder, 200, snapshot(id, after, lang));
                } catch (const HttpError& e) {
                    HttpReply::error(*responder, e);
                } catch (const StoreError&) {
                    HttpReply::error(*responder, HttpError::internal());
                }
            });
    }
    return Reply{200, {}, true};
}

ApiRoutes::Reply ApiRoutes::createRealtimeSession(Call& call) {
    const JsonFields body = JsonFields::parse(call.request.body(), true);
    const Settings settings = parseSettings(body, Settings{});
    QStringList translate;
    for (const QString& lang :
         body.optionalStringList(QStringLiteral("translate"), 10).value_or(QStringList())) {
        if (!Languages::isCode(lang))
            throw HttpError::invalid(QStringLiteral("\"translate\" must list language codes."),
                                     QStringLiteral("translate"));
        if (!m_translator.canTranslate(lang))
            throw HttpError(
                422, QStringLiteral("unsupported_language"),
                QStringLiteral("Parloquent cannot translate into \"%1\" here.").arg(lang));
        if (!translate.contains(lang))
            translate.append(lang);
    }
    requireEngine();
    const SessionRegistry::Grant grant = m_registry.createCaption(settings, translate);
    return Reply{201, QJsonObject{{QStringLiteral("sessionId"), grant.sessionId},
                                  {QStringLiteral("streamUrl"),
                                   streamUrl(call.request, grant.sessionId, grant.token)}}};
}

} // namespace pq::server
