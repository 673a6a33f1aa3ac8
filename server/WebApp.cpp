#include "WebApp.h"

#include "Auth.h"
#include "BroadcastHub.h"
#include "ConnectGrants.h"
#include "FileWindow.h"
#include "FormData.h"
#include "GatedTcpServer.h"
#include "Html.h"
#include "Languages.h"
#include "ServerConfig.h"
#include "SqlStatement.h"
#include "Store.h"
#include "VoiceService.h"
#include "WebAssets.h"
#include "WebPages.h"

#include <QFile>
#include <QFileInfo>
#include <QHttpServer>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QLoggingCategory>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>
#include <QWebSocket>

Q_LOGGING_CATEGORY(lcWeb, "parloquent.server.web")

namespace pq::server {

namespace {

const QByteArray kPolicy =
    "default-src 'none'; style-src 'self'; style-src-attr 'unsafe-inline'; script-src 'self'; "
    "img-src 'self'; media-src 'self'; connect-src 'self'; "
    "form-action 'self' http://127.0.0.1:* http://localhost:*; frame-ancestors 'none'; "
    "base-uri 'none'";

QByteArray methodName(const QHttpServerRequest& request) {
    switch (request.method()) {
    case QHttpServerRequest::Method::Get:
        return "GET";
    case QHttpServerRequest::Method::Post:
        return "POST";
    case QHttpServerRequest::Method::Head:
        return "HEAD";
    default:
        return "OTHER";
    }
}

QString titleFor(int status) {
    switch (status) {
    case 400:
        return QStringLiteral("Something is wrong with this request");
    case 403:
        return QStringLiteral("Not allowed");
    case 404:
        return QStringLiteral("Not found");
    case 405:
        return QStringLiteral("Not here");
    default:
        return QStringLiteral("Something went wrong");
    }
}

bool isUpgrade(const QHttpServerRequest& request) {
    return request.value("Upgrade").compare("websocket", Qt::CaseInsensitive) == 0;
}

// "/s/{code}/live" → code, or empty.
QString liveCode(const QString& path) {
    static const QRegularExpression pattern(QStringLiteral("^/s/([A-Za-z0-9]{1,32})/live$"));
    const auto match = pattern.match(path);
    return match.hasMatch() ? match.captured(1) : QString();
}

int intValue(const std::optional<QString>& text, int fallback, int min, int max, bool* ok) {
    if (!text || text->trimmed().isEmpty())
        return fallback;
    bool good = false;
    const int v = text->trimmed().toInt(&good);
    if (!good || v < min || v > max)
        *ok = false;
    return v;
}

} // namespace

WebApp::WebApp(Store& store, Auth& auth, SessionRegistry& registry, BroadcastHub& broadcasts,
               ConnectGrants& grants, VoiceService& voices, const ServerConfig& config,
               QObject* parent)
    : QObject(parent), m_store(store), m_auth(auth), m_registry(registry), m_broadcasts(broadcasts),
      m_grants(grants), m_voices(voices), m_config(config),
      m_pages(std::make_unique<WebPages>(store, registry, broadcasts, voices, config)),
      m_http(new QHttpServer(this)) {
    using C = Context;
    add("GET", "/", [this](C& c) {
        std::optional<qint64> before;
        if (c.query.hasQueryItem(QStringLiteral("before"))) {
            bool ok = false;
            before = c.query.queryItemValue(QStringLiteral("before")).toLongLong(&ok);
            if (!ok || *before <= 0)
                throw HttpError::invalid(QStringLiteral("This page address is not valid."));
        }
        const QString q = c.query.queryItemValue(QStringLiteral("q"), QUrl::FullyDecoded).left(500);
        return Answer{200, m_pages->dashboard(q, before)};
    });
    add("GET", "/transcriptions/([A-Za-z0-9_]+)", [this](C& c) {
        return Answer{200, m_pages->transcription(c.arg(1), c.csrf)};
    });
    add("GET", "/transcriptions/([A-Za-z0-9_]+)/r/([A-Za-z0-9_]+)", [this](C& c) {
        return Answer{200, m_pages->recording(c.arg(1), c.arg(2))};
    });
    add("POST", "/transcriptions/([A-Za-z0-9_]+)/broadcast",
        [this](C& c) { return transcriptionBroadcast(c, true); });
    add("POST", "/transcriptions/([A-Za-z0-9_]+)/broadcast/stop",
        [this](C& c) { return transcriptionBroadcast(c, false); });
    add("GET", "/s/([A-Za-z0-9]{1,32})", [this](C& c) {
        std::optional<QString> lang;
        const QString asked = c.query.queryItemValue(QStringLiteral("lang"));
        if (Languages::isCode(asked))
            lang = asked;
        return Answer{200, m_pages->broadcast(c.arg(1), lang)};
    });
    add("GET", "/developers", [this](C& c) { return Answer{200, m_pages->developers(c.csrf)}; });
    add("POST", "/developers/keys", [this](C& c) { return createKey(c); });
    add("POST", "/developers/keys/([A-Za-z0-9_]+)/revoke", [this](C& c) {
        form(c);
        m_store.revokeKey(c.arg(1));
        return redirect(QStringLiteral("/developers"));
    });
    add("GET", "/connect", [this](C& c) { return connectPage(c); });
    add("POST", "/connect", [this](C& c) { return connectAnswer(c); });
    add("GET", "/voices", [this](C& c) {
        QString lang = c.query.queryItemValue(QStringLiteral("lang"));
        if (!Languages::isCode(lang))
            lang = QStringLiteral("en");
        return Answer{200, m_pages->voices(c.csrf, lang)};
    });
    add("POST", "/voices", [this](C& c) { return createVoice(c); });
    add("POST", "/voices/([A-Za-z0-9_]+)", [this](C& c) { return changeVoice(c); });
    add("GET", "/voices/sample\\.wav", [this](C& c) { return voiceSample(c, false); });
    add("GET", "/voices/([A-Za-z0-9_]+)/sample\\.wav",
        [this](C& c) { return voiceSample(c, true); });
    add("GET", "/media/([A-Za-z0-9_]+)\\.wav", [this](C& c) { return media(c); });
    add("GET", "/static/style\\.css", [](C& c) {
        HttpReply::bytes(*c.responder, 200, "text/css; charset=utf-8", WebAssets::stylesheet(),
                         {{"Cache-Control", "no-cache"}, {"X-Content-Type-Options", "nosniff"}});
        return Answer{200, {}, {}, false, true};
    });
    add("GET", "/static/broadcast\\.js", [](C& c) {
        HttpReply::bytes(*c.responder, 200, "text/javascript; charset=utf-8",
                         WebAssets::broadcastScript(),
                         {{"Cache-Control", "no-cache"}, {"X-Content-Type-Options", "nosniff"}});
        return Answer{200, {}, {}, false, true};
    });

    // The broadcast pages' WebSocket: a route that leaves the upgrade unanswered.
    m_http->route("/s/<arg>/live", [](const QString&, const QHttpServerRequest& request,
                                      QHttpServerResponder&& responder) {
        if (!isUpgrade(request))
            HttpReply::bytes(responder, 426, "text/plain; charset=utf-8",
                             "This address speaks WebSocket only.\n");
    });
    m_http->setMissingHandler(
        [this](const QHttpServerRequest& request, QHttpServerResponder&& responder) {
            handle(request, std::move(responder));
        });
    connect(m_http, &QHttpServer::newWebSocketConnection, this, &WebApp::onWebSocket);
}

WebApp::~WebApp() {
    delete m_http; // its connections before what they use
}

void WebApp::setApiBase(const QUrl& base) {
    m_pages->setApiBase(base);
}

bool WebApp::listen(QString* error) {
    RequestGate::Limits limits;
    limits.maxBody = kMaxFormBytes;
    m_tcp = GatedTcpServer::serve(
        m_http, m_config.listen, m_config.appPort, limits,
        [this](const RequestHead& head) { return checkUpgrade(head); }, {}, error);
    if (!m_tcp)
        return false;
    m_port = m_tcp->serverPort();
    return true;
}

void WebApp::add(const char* method, const char* pattern, Handler handler) {
    m_routes.append(Route{method,
                          QRegularExpression(QStringLiteral("^%1$").arg(QLatin1String(pattern))),
                          std::move(handler)});
}

bool WebApp::hostAllowed(const QByteArray& host) const {
    // A page of another site whose name was pointed at this computer (DNS rebinding) arrives
    // with that site's name: only this computer's own names are served.
    if (!m_config.listen.isLoopback())
        return true;
    const QByteArray port = QByteArray::number(m_port);
    for (const char* name : {"127.0.0.1", "localhost", "[::1]"}) {
        if (host == QByteArray(name) + ':' + port || (m_port == 80 && host == name))
            return true;
    }
    return false;
}

void WebApp::handle(const QHttpServerRequest& request, QHttpServerResponder&& responder) {
    Context c{request, {}, QUrlQuery(request.url()), {}, false, &responder, {}};
    try {
        if (!hostAllowed(request.value("Host")))
            throw HttpError(400, QStringLiteral("invalid_request"),
                            QStringLiteral("This address is not served here. Open Parloquent "
                                           "at 127.0.0.1 or localhost."));
        c.cookie = CsrfGuard::cookieOf(request.value("Cookie"));
        if (c.cookie.isEmpty()) {
            c.cookie = CsrfGuard::newCookie();
            c.newCookie = true;
        }
        c.csrf = m_csrf.token(c.cookie);
        dispatch(c);
    } catch (const HttpError& e) {
        write(responder, c,
              Answer{e.status(), WebPages::message(titleFor(e.status()), e.message())});
    } catch (const std::exception& e) {
        qCWarning(lcWeb) << "failure:" << e.what();
        write(responder, c,
              Answer{500,
                     WebPages::message(titleFor(500), QStringLiteral("Something went wrong on the "
                                                                     "service. Try again."))});
    }
}

void WebApp::dispatch(Context& c) {
    const QString path = c.request.url().path(QUrl::FullyEncoded);
    const QByteArray method = methodName(c.request);
    const Route* found = nullptr;
    bool pathKnown = false;
    for (const Route& route : std::as_const(m_routes)) {
        QRegularExpressionMatch m = route.pattern.match(path);
        if (!m.hasMatch())
            continue;
        pathKnown = true;
        if (route.method == method) {
            found = &route;
            c.match = m;
            break;
        }
    }
    if (!found) {
        if (pathKnown)
            throw HttpError(405, QStringLiteral("method_not_allowed"),
                            QStringLiteral("This page cannot be used that way."));
        throw HttpError::notFound(QStringLiteral("There is nothing at this address."));
    }
    const Answer answer = found->handler(c);
    write(*c.responder, c, answer);
}

void WebApp::write(QHttpServerResponder& responder, const Context& c, const Answer& answer) {
    if (answer.deferred || answer.raw)
        return;
    HttpReply::Headers headers{{"Cache-Control", "no-store"},
                               {"X-Content-Type-Options", "nosniff"},
                               {"X-Frame-Options", "DENY"},
                               {"Referrer-Policy", "same-origin"},
                               {"Content-Security-Policy", kPolicy}};
    if (c.newCookie)
        headers.append({"Set-Cookie", CsrfGuard::setCookie(c.cookie)});
    if (!answer.location.isEmpty()) {
        headers.append({"Location", answer.location});
        HttpReply::bytes(responder, 303, "text/plain; charset=utf-8", "See other.\n", headers);
        return;
    }
    HttpReply::bytes(responder, answer.status, "text/html; charset=utf-8", answer.html.toUtf8(),
                     headers);
}

WebApp::Answer WebApp::redirect(const QString& location) {
    Answer a;
    a.status = 303;
    a.location = QUrl(location).toEncoded();
    return a;
}

FormData WebApp::form(Context& c) {
    // Another site's page may post here through the user's browser: it can neither send this
    // origin nor know the token of this browser's cookie.
    const QByteArray origin = c.request.value("Origin");
    if (!origin.isEmpty() && origin != "http://" + c.request.value("Host"))
        throw HttpError(403, QStringLiteral("forbidden"),
                        QStringLiteral("This form was sent from another site, so it was not "
                                       "used."));
    const QByteArray type = c.request.value("Content-Type").toLower();
    if (!type.startsWith("application/x-www-form-urlencoded"))
        throw HttpError::invalid(QStringLiteral("This form was not sent as a form."));
    FormData data = FormData::parse(c.request.body());
    if (c.newCookie ||
        !m_csrf.verify(c.cookie, data.value(QStringLiteral("csrf")).value_or(QString())))
        throw HttpError(403, QStringLiteral("forbidden"),
                        QStringLiteral("This form has expired. Go back, reload the page and try "
                                       "again."));
    return data;
}

WebApp::Answer WebApp::transcriptionBroadcast(Context& c, bool start) {
    form(c);
    const auto t = m_store.transcription(c.arg(1));
    if (!t)
        throw HttpError::notFound(QStringLiteral("There is no such transcription."));
    const auto current = m_store.broadcastOf(t->id);
    if (start) {
        if (!t->live)
            throw HttpError::invalid(QStringLiteral("Only live transcriptions can be "
                                                    "broadcast."));
        if (!current)
            m_store.createBroadcast(t->name, t->id);
    } else if (current) {
        m_store.archiveBroadcast(current->id);
    }
    return redirect(QStringLiteral("/transcriptions/") + t->id);
}

WebApp::Answer WebApp::createKey(Context& c) {
    const FormData data = form(c);
    const QString name = data.value(QStringLiteral("name")).value_or(QString()).simplified();
    if (name.isEmpty() || name.size() > 100)
        throw HttpError::invalid(QStringLiteral("Give the key a name of up to 100 characters."));
    QString secret;
    m_auth.create(name, &secret);
    return Answer{200, m_pages->developers(c.csrf, secret, name)};
}

WebApp::Answer WebApp::connectPage(Context& c) {
    const ConnectGrants::Checked checked = ConnectGrants::check(c.query);
    if (!checked.request) {
        if (!checked.redirectError.isEmpty()) {
            // The application is waiting at its address: tell it what went wrong.
            QUrl back(checked.redirectUri);
            QUrlQuery q;
            q.addQueryItem(QStringLiteral("error"), checked.redirectError);
            q.addQueryItem(QStringLiteral("error_description"), checked.error);
            if (!checked.state.isEmpty())
                q.addQueryItem(QStringLiteral("state"), checked.state);
            back.setQuery(q);
            Answer a;
            a.location = back.toEncoded();
            return a;
        }
        throw HttpError::invalid(checked.error);
    }
    const QString held = m_grants.hold(*checked.request);
    return Answer{200, m_pages->consent(*checked.request, held, c.csrf)};
}

WebApp::Answer WebApp::connectAnswer(Context& c) {
    const FormData data = form(c);
    const auto request = m_grants.take(data.value(QStringLiteral("request")).value_or(QString()));
    if (!request)
        throw HttpError::invalid(QStringLiteral("This sign-in page has expired or was already "
                                                "answered. Start signing in again from the "
                                                "application."));
    const QString decision = data.value(QStringLiteral("decision")).value_or(QString());
    QUrl back(request->redirectUri);
    QUrlQuery q;
    if (decision == QLatin1String("allow")) {
        q.addQueryItem(QStringLiteral("code"), m_grants.issue(*request));
    } else if (decision == QLatin1String("deny")) {
        q.addQueryItem(QStringLiteral("error"), QStringLiteral("access_denied"));
    } else {
        throw HttpError::invalid(QStringLiteral("Choose Allow or Deny."));
    }
    q.addQueryItem(QStringLiteral("state"), request->state);
    back.setQuery(q);
    Answer a;
    a.location = back.toEncoded();
    return a;
}

WebApp::Answer WebApp::createVoice(Context& c) {
    const FormData data = form(c);
    const QString name = data.value(QStringLiteral("name")).value_or(QString()).simplified();
    const QString base = data.value(QStringLiteral("base")).value_or(QString());
    bool ok = true;
    const int pitch = intValue(data.value(QStringLiteral("pitch")), 50, 0, 99, &ok);
    const int rate = intValue(data.value(QStringLiteral("rate")), 175, VoiceService::kMinRate,
                              VoiceService::kMaxRate, &ok);
    QString problem;
    if (name.isEmpty() || name.size() > 100)
        problem = QStringLiteral("Give the voice a name of up to 100 characters.");
    else if (!m_voices.find(base))
        problem = QStringLiteral("Choose a voice to base it on.");
    else if (!ok)
        problem = QStringLiteral("Pitch goes from 0 to 99, speed from 80 to 450 words a minute.");
    if (!problem.isEmpty())
        return Answer{400, m_pages->voices(c.csrf, QStringLiteral("en"), problem)};
    VoiceRow v;
    v.name = name;
    v.base = base;
    v.pitch = pitch;
    v.rate = rate;
    v.color = VoiceService::colorFor(int(m_store.voices().size()));
    v.draft = data.value(QStringLiteral("draft")) == QStringLiteral("1");
    v.enabled = true;
    m_store.createVoice(v);
    return redirect(QStringLiteral("/voices"));
}

WebApp::Answer WebApp::changeVoice(Context& c) {
    const FormData data = form(c);
    const auto v = m_store.voice(c.arg(1));
    if (!v)
        throw HttpError::notFound(QStringLiteral("There is no such voice."));
    const auto enabled = data.value(QStringLiteral("enabled"));
    const auto draft = data.value(QStringLiteral("draft"));
    m_store.setVoiceFlags(v->id, enabled ? *enabled == QLatin1String("1") : v->enabled,
                          draft ? *draft == QLatin1String("1") : v->draft);
    return redirect(QStringLiteral("/voices"));
}

WebApp::Answer WebApp::voiceSample(Context& c, bool own) {
    QString voice;
    QString lang = QStringLiteral("en");
    int pitch = 50;
    int rate = 175;
    if (own) {
        const auto v = m_store.voice(c.arg(1));
        if (!v)
            throw HttpError::notFound(QStringLiteral("There is no such voice."));
        const auto base = m_voices.find(v->base);
        voice = v->base;
        lang = base ? base->language : lang;
        pitch = v->pitch;
        rate = v->rate;
    } else {
        voice = c.query.queryItemValue(QStringLiteral("voice"), QUrl::FullyDecoded);
        const QString asked = c.query.queryItemValue(QStringLiteral("lang"));
        if (Languages::isCode(asked))
            lang = asked;
        if (!m_voices.find(voice))
            throw HttpError::notFound(QStringLiteral("There is no such voice."));
    }
    auto responder = std::make_shared<QHttpServerResponder>(std::move(*c.responder));
    QPointer<QTcpSocket> socket(responder->socket());
    m_voices.sample(voice, pitch, rate, VoiceService::sampleText(lang), SoundFile::Format::Wav,
                    this, [responder, socket](const QByteArray& sound) {
                        if (!socket || socket->state() != QAbstractSocket::ConnectedState)
                            return;
                        if (sound.isEmpty())
                            HttpReply::bytes(*responder, 503, "text/plain; charset=utf-8",
                                             "The sample could not be made.\n");
                        else
                            HttpReply::bytes(*responder, 200, "audio/wav", sound,
                                             {{"Cache-Control", "no-store"}});
                    });
    Answer a;
    a.deferred = true;
    return a;
}

WebApp::Answer WebApp::media(Context& c) {
    const QString path = m_config.mediaPath(c.arg(1));
    const QFileInfo info(path);
    if (!info.isFile())
        throw HttpError::notFound(QStringLiteral("There is no sound for this recording."));
    const qint64 size = info.size();
    const QByteArray range = c.request.value("Range").trimmed();
    Answer done;
    done.raw = true;
    if (range.isEmpty()) {
        auto* file = new QFile(path);
        c.responder->write(file, {{"Content-Type", "audio/wav"},
                                  {"Accept-Ranges", "bytes"},
                                  {"Cache-Control", "no-store"}});
        return done;
    }
    // One range of bytes: "bytes=a-b", "bytes=a-" or "bytes=-n".
    static const QRegularExpression pattern(QStringLiteral("^bytes=(\\d{0,18})-(\\d{0,18})$"));
    const auto m = pattern.match(QString::fromLatin1(range));
    qint64 start = -1;
    qint64 end = -1;
    if (m.hasMatch() && !(m.captured(1).isEmpty() && m.captured(2).isEmpty())) {
        if (m.captured(1).isEmpty()) {
            const qint64 suffix = m.captured(2).toLongLong();
            start = std::max<qint64>(0, size - suffix);
            end = size - 1;
        } else {
            start = m.captured(1).toLongLong();
            end =
                m.captured(2).isEmpty() ? size - 1 : std::min(size - 1, m.captured(2).toLongLong());
        }
    }
    if (start < 0 || start >= size || end < start) {
        HttpReply::bytes(*c.responder, 416, "text/plain; charset=utf-8",
                         "The range is not in this file.\n",
                         {{"Content-Range", "bytes */" + QByteArray::number(size)}});
        return done;
    }
    auto* window = new FileWindow(path, start, end - start + 1);
    const QByteArray contentRange = "bytes " + QByteArray::number(start) + '-' +
                                    QByteArray::number(end) + '/' + QByteArray::number(size);
    c.responder->write(window,
                       {{"Content-Type", "audio/wav"},
                        {"Accept-Ranges", "bytes"},
                        {"Content-Range", contentRange},
                        {"Cache-Control", "no-store"}},
                       QHttpServerResponder::StatusCode::PartialContent);
    return done;
}

std::optional<HttpError> WebApp::checkUpgrade(const RequestHead& head) {
    if (!hostAllowed(head.headers.value("host")))
        return HttpError(400, QStringLiteral("invalid_request"),
                         QStringLiteral("This address is not served here."));
    const QString code = liveCode(QUrl(QString::fromLatin1(head.target)).path());
    try {
        if (!code.isEmpty() && m_store.broadcastByCode(code))
            return std::nullopt;
    } catch (const StoreError&) {
        return HttpError::internal();
    }
    return HttpError::notFound(QStringLiteral("There is no broadcast at this address."));
}

void WebApp::onWebSocket() {
    while (auto socket = m_http->nextPendingWebSocketConnection()) {
        const QUrl url = socket->requestUrl();
        const QUrlQuery query(url);
        std::optional<BroadcastRow> broadcast;
        try {
            const QString code = liveCode(url.path());
            if (!code.isEmpty())
                broadcast = m_store.broadcastByCode(code);
        } catch (const StoreError& e) {
            qCWarning(lcWeb) << "cannot read a broadcast:" << e.what();
        }
        if (!broadcast) {
            QWebSocket* s = socket.release();
            s->setParent(this);
            s->close(QWebSocketProtocol::CloseCodePolicyViolated, QStringLiteral("not_found"));
            connect(s, &QWebSocket::disconnected, s, &QObject::deleteLater);
            QTimer::singleShot(5000, s, [s] {
                s->abort();
                s->deleteLater();
            });
            continue;
        }
        const QString lang = query.queryItemValue(QStringLiteral("lang"));
        bool ok = false;
        const qint64 after = query.queryItemValue(QStringLiteral("after")).toLongLong(&ok);
        m_broadcasts.attach(std::move(socket), *broadcast,
                            Languages::isCode(lang) ? std::optional<QString>(lang) : std::nullopt,
                            query.queryItemValue(QStringLiteral("recording")).left(100),
                            ok ? std::max<qint64>(-1, after) : -1);
    }
}

} // namespace pq::server
