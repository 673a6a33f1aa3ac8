#include "API.h"

#include "APIError.h"
#include "FileError.h"
#include "OwnThread.h"
#include "RequestBodies.h"
#include "TransportError.h"
#include "UploadBody.h"
#include "UploadTransfer.h"
#include "Wait.h"

#include <QCoroFuture>
#include <QCoroNetworkReply>
#include <QDir>
#include <QFile>
#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QScopeGuard>
#include <QSettings>
#include <QUuid>

#include <mutex>

#ifndef PARLOQUENT_VERSION
#define PARLOQUENT_VERSION ""
#endif

namespace pq {

namespace {

using namespace std::chrono_literals;

constexpr auto requestTimeout = 60s;
constexpr auto uploadTimeout = 3600s;
constexpr auto retryDelay = 2s;
constexpr int maxRetries = 2;

// Qt 6.4 takes time-outs as int milliseconds.
constexpr int msecs(std::chrono::seconds s) {
    return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(s).count());
}

// What came back for one attempt: the HTTP status (0 when the answer was not HTTP) and the body.
struct Answer {
    int status = 0;
    QByteArray body;
    bool success() const { return status >= 200 && status <= 299; }
};

// Performs one exchange and waits for the whole answer. Failures below HTTP, cancellation
// through `cancel`, and the session going away are thrown as TransportError.
QCoro::Task<Answer> perform(QPointer<QNetworkAccessManager> session, API::Request request,
                            std::stop_token cancel) {
    if (!session || cancel.stop_requested())
        throw TransportError::cancellation();

    QNetworkReply* reply = nullptr;
    if (request.body)
        reply = session->sendCustomRequest(request.http, request.method, *request.body);
    else
        reply = session->sendCustomRequest(request.http, request.method);
    const QPointer<QNetworkReply> guard(reply);
    const auto release = qScopeGuard([guard] {
        if (guard)
            guard->deleteLater();
    });

    bool tooLarge = false;
    QObject::connect(reply, &QNetworkReply::downloadProgress, reply,
                     [reply, &tooLarge](qint64 received, qint64) {
                         if (received > API::maxAnswerBytes && !tooLarge) {
                             tooLarge = true;
                             reply->abort();
                         }
                     });
    std::stop_callback onCancel(cancel, [reply] {
        QMetaObject::invokeMethod(reply, &QNetworkReply::abort, Qt::QueuedConnection);
    });

    co_await reply;

    if (!guard)
        throw TransportError::cancellation();
    if (tooLarge)
        throw TransportError(QNetworkReply::UnknownContentError,
                             QStringLiteral("Parloquent sent an answer larger than %1 MiB.")
                                 .arg(API::maxAnswerBytes / (1024 * 1024)));
    const QNetworkReply::NetworkError error = reply->error();
    // Codes below 200 are connection, time-out and proxy failures: nothing HTTP came back.
    // Higher codes only mirror the HTTP status, which is read below.
    if (error != QNetworkReply::NoError && error < QNetworkReply::ContentAccessDenied)
        throw TransportError(error, reply->errorString());
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    co_return Answer{status.isValid() ? status.toInt() : 0, reply->readAll()};
}

QCoro::Task<void> ignoreAnswer(QCoro::Task<Empty> answer) {
    co_await std::move(answer);
}

} // namespace

API::API(Env env, std::optional<QString> key, QObject* parent)
    : QObject(parent), m_env(std::move(env)), m_key(std::move(key)),
      m_session(new QNetworkAccessManager(this)) {
    m_session->setTransferTimeout(msecs(requestTimeout));
}

API::~API() {
    m_uploads.request_stop();
    // A reply deleted while a coroutine awaits it would leave that coroutine suspended for
    // good; aborting finishes each one, so its caller sees a cancellation instead.
    const auto replies = m_session->findChildren<QNetworkReply*>();
    for (QNetworkReply* reply : replies)
        if (reply->isRunning())
            reply->abort();
}

QString API::version() {
    static const QString v = [] {
        const QString built = QStringLiteral(PARLOQUENT_VERSION);
        return built.isEmpty() ? QStringLiteral("dev") : built;
    }();
    return v;
}

QString API::userAgent() {
    return QStringLiteral("Parloquent-Linux/") + version();
}

QString API::deviceId() {
    static std::once_flag once;
    static QString id;
    std::call_once(once, [] {
        QSettings settings{QLatin1String(settingsOrganization), QLatin1String(settingsApplication)};
        const QVariant stored = settings.value(QStringLiteral("deviceId"));
        if (stored.typeId() == QMetaType::QString && !stored.toString().isEmpty()) {
            id = stored.toString();
            return;
        }
        id =
            QStringLiteral("linux-") + QUuid::createUuid().toString(QUuid::WithoutBraces).toLower();
        settings.setValue(QStringLiteral("deviceId"), id);
        settings.sync();
    });
    return id;
}

QString API::percentEncoded(const QString& text) {
    return QString::fromLatin1(QUrl::toPercentEncoding(text));
}

QString API::formEncoded(const QList<std::pair<QString, QString>>& items) {
    QStringList pairs;
    pairs.reserve(items.size());
    for (const auto& [name, value] : items)
        pairs.append(percentEncoded(name) + QLatin1Char('=') + percentEncoded(value));
    return pairs.join(QLatin1Char('&'));
}

QUrl API::url(const QString& path, const Query& query) const {
    QUrl url = m_env.api;
    QString base = url.path(QUrl::FullyEncoded);
    while (base.endsWith(QLatin1Char('/')))
        base.chop(1);
    url.setPath(base + path, QUrl::TolerantMode);

    // QMap keeps the names sorted; absent values are left out.
    QList<std::pair<QString, QString>> items;
    for (auto it = query.begin(); it != query.end(); ++it)
        if (it.value())
            items.append({it.key(), *it.value()});
    if (!items.isEmpty())
        url.setQuery(formEncoded(items), QUrl::StrictMode);
    else
        url.setQuery(QString());
    if (!url.isValid())
        qFatal("API::url: cannot form an address from %s", qPrintable(path));
    return url;
}

QUrl API::wsURL(const QString& path, const Query& query) const {
    QUrl u = url(path, query);
    u.setScheme(u.scheme() == QLatin1String("http") ? QStringLiteral("ws") : QStringLiteral("wss"));
    return u;
}

API::Request API::request(QByteArray method, const QString& path, const Query& query,
                          bool anonymous) const {
    QNetworkRequest http(url(path, query));
    http.setTransferTimeout(msecs(requestTimeout));
    http.setRawHeader("Accept", "application/json");
    http.setRawHeader("User-Agent", userAgent().toUtf8());
    if (!anonymous && m_key)
        http.setRawHeader("Authorization", "Bearer " + m_key->toUtf8());
    return Request{std::move(method), std::move(http), std::nullopt};
}

QCoro::Task<QByteArray> API::send(Request request, std::stop_token cancel) {
    const QPointer<QNetworkAccessManager> session(m_session);
    for (int attempt = 0;; ++attempt) {
        const Answer answer = co_await perform(session, request, cancel);
        if (answer.success())
            co_return answer.body;
        APIError error = APIError::fromAnswer(answer.body, answer.status);
        if (error.code() != QLatin1String("unavailable") || attempt >= maxRetries)
            throw error;
        if (!co_await sleepFor(retryDelay, cancel))
            throw TransportError::cancellation();
    }
}

QCoro::Task<QByteArray> API::jsonAnswer(QByteArray method, QString path, Query query,
                                        std::optional<QJsonObject> body, bool anonymous,
                                        std::stop_token cancel) {
    Request req = request(std::move(method), path, query, anonymous);
    if (body) {
        req.http.setRawHeader("Content-Type", "application/json");
        req.body = encodeJson(*body);
    }
    QByteArray answer = co_await send(std::move(req), std::move(cancel));
    if (answer.isEmpty())
        answer = QByteArrayLiteral("{}");
    co_return answer;
}

QCoro::Task<QByteArray> API::bytes(QString path, Query query, std::stop_token cancel) {
    Request req = request(QByteArrayLiteral("GET"), path, query, false);
    req.http.setRawHeader("Accept", "*/*");
    co_return co_await send(std::move(req), std::move(cancel));
}

// The operations build their query and body in plain code and hand them to a coroutine: GCC 12
// miscompiles braced initialiser lists inside coroutine bodies (rejected, or corrupting the heap
// at -O2).

QCoro::Task<Me> API::me(std::stop_token cancel) {
    return json<Me>("GET", QStringLiteral("/v1/me"), {}, std::nullopt, false, std::move(cancel));
}

QCoro::Task<LanguageLists> API::languages(std::stop_token cancel) {
    return json<LanguageLists>("GET", QStringLiteral("/v1/languages"), {}, std::nullopt, false,
                               std::move(cancel));
}

QCoro::Task<TranscriptionPage> API::transcriptions(std::optional<QString> cursor, int limit,
                                                   std::stop_token cancel) {
    const Query query{{QStringLiteral("cursor"), cursor},
                      {QStringLiteral("limit"), QString::number(limit)}};
    return json<TranscriptionPage>("GET", QStringLiteral("/v1/transcriptions"), query, std::nullopt,
                                   false, std::move(cancel));
}

QCoro::Task<QList<Broadcast>> API::broadcasts(std::stop_token cancel) {
    const Query query{{QStringLiteral("lifecycle"), QStringLiteral("active")}};
    return [](QCoro::Task<BroadcastPage> page) -> QCoro::Task<QList<Broadcast>> {
        co_return (co_await std::move(page)).broadcasts;
    }(json<BroadcastPage>("GET", QStringLiteral("/v1/broadcasts"), query, std::nullopt, false,
                                               std::move(cancel)));
}

QCoro::Task<QList<Voice>> API::voices(std::stop_token cancel) {
    return [](QCoro::Task<VoiceList> list) -> QCoro::Task<QList<Voice>> {
        co_return (co_await std::move(list)).voices.value_or(QList<Voice>());
    }(json<VoiceList>("GET", QStringLiteral("/v1/voices"), {}, std::nullopt, false,
                                           std::move(cancel)));
}

QCoro::Task<VoiceCatalogue> API::voiceCatalogue(QString lang, std::stop_token cancel) {
    const Query query{{QStringLiteral("lang"), lang}};
    return json<VoiceCatalogue>("GET", QStringLiteral("/v1/voices/available"), query, std::nullopt,
                                false, std::move(cancel));
}

QCoro::Task<QByteArray> API::voicePreview(QString voice, QString lang, std::stop_token cancel) {
    const Query query{{QStringLiteral("voice"), voice},
                      {QStringLiteral("lang"), lang},
                      {QStringLiteral("format"), QStringLiteral("caf")}};
    return bytes(QStringLiteral("/v1/voices/preview"), query, std::move(cancel));
}

QCoro::Task<QByteArray> API::clonePreview(QString id, QString lang, std::stop_token cancel) {
    const Query query{{QStringLiteral("lang"), lang},
                      {QStringLiteral("format"), QStringLiteral("caf")}};
    return bytes(QStringLiteral("/v1/voices/%1/preview").arg(segment(id)), query,
                 std::move(cancel));
}

QCoro::Task<SearchResults> API::search(QString text, std::stop_token cancel) {
    const Query query{{QStringLiteral("q"), text}, {QStringLiteral("limit"), QStringLiteral("20")}};
    return json<SearchResults>("GET", QStringLiteral("/v1/search"), query, std::nullopt, false,
                               std::move(cancel));
}

QCoro::Task<Transcription> API::createLive(QString name, SettingsPatch settings,
                                           std::stop_token cancel) {
    const LiveTranscriptionBody body{
        .name = name,
        .settings = settings,
        .source = {{QStringLiteral("kind"), QStringLiteral("mic")}},
    };
    return json<Transcription>("POST", QStringLiteral("/v1/transcriptions/live"), {}, body.toJson(),
                               false, std::move(cancel));
}

QCoro::Task<PublishGrant> API::startRecording(QString transcription, bool takeover,
                                              std::stop_token cancel) {
    const RecordingStartBody body{.takeover = takeover, .deviceId = deviceId()};
    return json<PublishGrant>(
        "POST", QStringLiteral("/v1/transcriptions/%1/recordings").arg(segment(transcription)), {},
        body.toJson(), false, std::move(cancel));
}

QCoro::Task<Transcription> API::createFromURL(QString address, std::optional<QString> name,
                                              SettingsPatch settings, std::stop_token cancel) {
    const AddressTranscriptionBody body{.url = address, .name = name, .settings = settings};
    return json<Transcription>("POST", QStringLiteral("/v1/transcriptions"), {}, body.toJson(),
                               false, std::move(cancel));
}

QCoro::Task<void> API::pause(QString recording, std::stop_token cancel) {
    return ignoreAnswer(
        json<Empty>("POST", QStringLiteral("/v1/recordings/%1/pause").arg(segment(recording)), {},
                    std::nullopt, false, std::move(cancel)));
}

QCoro::Task<void> API::resume(QString recording, std::stop_token cancel) {
    return ignoreAnswer(
        json<Empty>("POST", QStringLiteral("/v1/recordings/%1/resume").arg(segment(recording)), {},
                    std::nullopt, false, std::move(cancel)));
}

QCoro::Task<void> API::stop(QString recording, std::stop_token cancel) {
    return ignoreAnswer(
        json<Empty>("POST", QStringLiteral("/v1/recordings/%1/stop").arg(segment(recording)), {},
                    RecordingStopBody().toJson(), false, std::move(cancel)));
}

QCoro::Task<void> API::updateSettings(QString recording, SettingsPatch patch,
                                      std::stop_token cancel) {
    return ignoreAnswer(
        json<Empty>("PATCH", QStringLiteral("/v1/recordings/%1/settings").arg(segment(recording)),
                    {}, patch.toJson(), false, std::move(cancel)));
}

QCoro::Task<TranscriptSnapshot> API::transcript(QString recording, std::optional<qint64> after,
                                                std::optional<QString> lang,
                                                std::stop_token cancel) {
    Query query{{QStringLiteral("lang"), lang}};
    if (after)
        query.insert(QStringLiteral("after"), QString::number(*after));
    return json<TranscriptSnapshot>(
        "GET", QStringLiteral("/v1/recordings/%1/transcript").arg(segment(recording)), query,
        std::nullopt, false, std::move(cancel));
}

QCoro::Task<SummaryStatus> API::summarize(QString recording, std::stop_token cancel) {
    return json<SummaryStatus>(
        "POST", QStringLiteral("/v1/recordings/%1/summarize").arg(segment(recording)), {},
        std::nullopt, false, std::move(cancel));
}

QCoro::Task<SummaryStatus> API::summary(QString recording, std::stop_token cancel) {
    return json<SummaryStatus>("GET",
                               QStringLiteral("/v1/recordings/%1/summary").arg(segment(recording)),
                               {}, std::nullopt, false, std::move(cancel));
}

QCoro::Task<CreateSessionResponse> API::createRealtimeSession(SessionOptions options,
                                                              std::stop_token cancel) {
    return json<CreateSessionResponse>("POST", QStringLiteral("/v1/realtime/sessions"), {},
                                       options.toJson(), false, std::move(cancel));
}

QCoro::Task<ConnectToken> API::connectToken(QString code, QString verifier, QString redirect,
                                            std::stop_token cancel) {
    QNetworkRequest http(url(QStringLiteral("/v1/connect/token")));
    http.setTransferTimeout(msecs(requestTimeout));
    http.setRawHeader("Accept", "application/json");
    http.setRawHeader("User-Agent", userAgent().toUtf8());
    http.setRawHeader("Content-Type", "application/x-www-form-urlencoded");
    const QString form = formEncoded({
        {QStringLiteral("grant_type"), QStringLiteral("authorization_code")},
        {QStringLiteral("code"), code},
        {QStringLiteral("code_verifier"), verifier},
        {QStringLiteral("redirect_uri"), redirect},
    });
    Request req{"POST", std::move(http), form.toUtf8()};
    // Decoded as it stands: an empty answer is not a token.
    return [](QCoro::Task<QByteArray> answer) -> QCoro::Task<ConnectToken> {
        co_return decode<ConnectToken>(co_await std::move(answer));
    }(send(std::move(req), std::move(cancel)));
}

QCoro::Task<Transcription> API::upload(QString file, SettingsPatch settings, Progress progress,
                                       std::stop_token cancel) {
    const QByteArray boundary =
        "pq-" + QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper().toLatin1();
    const UploadOptions options{.name = UploadBody::optionsName(file), .settings = settings};
    Request req = request("POST", QStringLiteral("/v1/transcriptions"), {}, false);
    req.http.setRawHeader("Content-Type", "multipart/form-data; boundary=" + boundary);

    UploadTransfer::Job job{
        .url = req.http.url(),
        .headers = {},
        .body = UploadBody(file, boundary, encodeJson(options.toJson())),
        .temp = QDir(QDir::tempPath())
                    .filePath(QStringLiteral("pq-upload-") +
                              QUuid::createUuid().toString(QUuid::WithoutBraces)),
        .idleTimeout = uploadTimeout,
        .maxAnswerBytes = maxAnswerBytes,
        .progress = {},
        .cancel = std::move(cancel),
        .owner = m_uploads.get_token(),
    };
    for (const QByteArray& name : req.http.rawHeaderList())
        job.headers.append({name, req.http.rawHeader(name)});
    if (progress) {
        const UploadProgress reporter(std::move(progress));
        job.progress = [reporter](qint64 sent, qint64 total) { reporter.sent(sent, total); };
    }
    return sendUpload(std::move(job));
}

QCoro::Task<Transcription> API::sendUpload(UploadTransfer::Job job) {
    const QString temp = job.temp;
    const auto removeTemp = qScopeGuard([temp] { QFile::remove(temp); });
    {
        QFile created(temp);
        if (!created.open(QIODevice::WriteOnly | QIODevice::NewOnly))
            throw FileError(
                QStringLiteral("Could not create “%1”: %2.").arg(temp, created.errorString()));
    }
    if (job.cancel.stop_requested())
        throw TransportError::cancellation();
    // The copy and the transfer block: both run off the calling thread. The job is a named
    // local because GCC 12 destroys some temporaries of a co_await expression twice.
    auto transfer = [job = std::move(job)] { return UploadTransfer::run(job); };
    QCoro::Task<UploadTransfer::Answer> running = runOnOwnThread(std::move(transfer));
    const UploadTransfer::Answer answer = co_await std::move(running);
    if (answer.error)
        std::rethrow_exception(answer.error);
    if (answer.status < 200 || answer.status > 299)
        throw APIError::fromAnswer(answer.body, answer.status);
    co_return decode<Transcription>(answer.body);
}

void UploadProgress::sent(qint64 bytesSent, qint64 bytesExpected) const {
    if (bytesExpected < 1 || !m_report)
        return;
    m_report(static_cast<double>(bytesSent) / static_cast<double>(bytesExpected));
}

} // namespace pq
