#pragma once

#include "CsrfGuard.h"
#include "HttpError.h"
#include "HttpReply.h"

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QRegularExpression>
#include <QUrl>
#include <QUrlQuery>

#include <functional>
#include <memory>
#include <optional>

class QHttpServer;
class QHttpServerRequest;
class QHttpServerResponder;

namespace pq::server {

class Auth;
class BroadcastHub;
class ConnectGrants;
class FormData;
class GatedTcpServer;
class SessionRegistry;
class Store;
class VoiceService;
class WebPages;
struct RequestHead;
struct ServerConfig;

// The web application on its own port (5176): server-rendered pages for the library, a
// transcription, one recording, a broadcast ("/s/{code}", live over a WebSocket), API keys,
// the sign-in consent page and voices; the recordings' sound (with byte ranges); samples of
// voices. Security of a loopback web application: requests must name this computer as their
// Host (no DNS rebinding), every form carries a CSRF token bound to a cookie and posts must
// come from this origin, pages may not be framed and send no referrer to other sites, and
// scripts come only from this application.
class WebApp : public QObject {
    Q_OBJECT

public:
    WebApp(Store& store, Auth& auth, SessionRegistry& registry, BroadcastHub& broadcasts,
           ConnectGrants& grants, VoiceService& voices, const ServerConfig& config,
           QObject* parent = nullptr);
    ~WebApp() override;

    bool listen(QString* error);
    quint16 port() const { return m_port; }
    // Where the REST interface answers (shown on the developers page).
    void setApiBase(const QUrl& base);

    static constexpr qint64 kMaxFormBytes = 64 * 1024;

private:
    struct Context {
        const QHttpServerRequest& request;
        QRegularExpressionMatch match;
        QUrlQuery query;
        QByteArray cookie; // the browser's CSRF cookie (made now if it had none)
        bool newCookie = false;
        QHttpServerResponder* responder;
        QString arg(int n) const { return match.captured(n); }
        QString csrf; // the form token for this browser
    };
    struct Answer {
        int status = 200;
        QString html;
        QByteArray location; // for redirects
        bool deferred = false;
        bool raw = false; // already answered
    };
    using Handler = std::function<Answer(Context&)>;
    struct Route {
        QByteArray method;
        QRegularExpression pattern;
        Handler handler;
    };

    void add(const char* method, const char* pattern, Handler handler);
    void handle(const QHttpServerRequest& request, QHttpServerResponder&& responder);
    void dispatch(Context& context);
    void write(QHttpServerResponder& responder, const Context& context, const Answer& answer);
    bool hostAllowed(const QByteArray& host) const;
    std::optional<HttpError> checkUpgrade(const RequestHead& head);
    void onWebSocket();
    // The form of a post, after its CSRF token and origin were checked.
    FormData form(Context& context);

    Answer transcriptionBroadcast(Context& c, bool start);
    Answer createKey(Context& c);
    Answer connectPage(Context& c);
    Answer connectAnswer(Context& c);
    Answer createVoice(Context& c);
    Answer changeVoice(Context& c);
    Answer voiceSample(Context& c, bool own);
    Answer media(Context& c);
    static Answer redirect(const QString& location);

    Store& m_store;
    Auth& m_auth;
    SessionRegistry& m_registry;
    BroadcastHub& m_broadcasts;
    ConnectGrants& m_grants;
    VoiceService& m_voices;
    const ServerConfig& m_config;
    std::unique_ptr<WebPages> m_pages;
    CsrfGuard m_csrf;
    QList<Route> m_routes;
    QHttpServer* m_http;
    GatedTcpServer* m_tcp = nullptr;
    quint16 m_port = 0;
};

} // namespace pq::server
