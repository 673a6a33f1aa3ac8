// Browser sign-in against a running server, without the client: this test plays the
// application (a loopback listener for the redirect, a PKCE verifier and its S256 challenge
// computed here, the form-encoded token exchange), and headless Chromium plays the user on the
// consent page, clicking Allow or Deny. Codes must be single-use, short-lived, and bound to the
// challenge and the redirect address; every failure of the exchange answers in the OAuth form.
#include "HeadlessBrowser.h"
#include "ServerProcess.h"
#include "TestClient.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QNetworkCookieJar>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QUrlQuery>

using namespace pq::test;

namespace {

// RFC 7636: the challenge is BASE64URL(SHA256(verifier)) without padding.
QString s256(const QString& verifier) {
    return QString::fromLatin1(
        QCryptographicHash::hash(verifier.toUtf8(), QCryptographicHash::Sha256)
            .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

QString randomToken(int length) {
    static const char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~";
    QString out;
    for (int i = 0; i < length; ++i)
        out.append(QLatin1Char(alphabet[QRandomGenerator::global()->bounded(66)]));
    return out;
}

// The application's loopback listener: answers every request with a short page and keeps the
// request targets it saw.
class CallbackListener : public QObject {
public:
    CallbackListener() {
        m_server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* s = m_server.nextPendingConnection()) {
                QObject::connect(s, &QTcpSocket::readyRead, s, [this, s] {
                    const QByteArray head = s->readAll();
                    const QList<QByteArray> words = head.left(head.indexOf("\r\n")).split(' ');
                    if (words.size() >= 2)
                        targets.append(words[1]);
                    const QByteArray page = "<!doctype html><p>Back in the application.</p>";
                    s->write("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: " +
                             QByteArray::number(page.size()) + "\r\nConnection: close\r\n\r\n" +
                             page);
                    s->disconnectFromHost();
                });
                QObject::connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
            }
        });
    }
    quint16 port() const { return m_server.serverPort(); }
    // The query of the nth request (browsers may ask for a favicon afterwards).
    QUrlQuery queryAt(qsizetype n) const {
        return QUrlQuery(QUrl(QStringLiteral("http://x") + QString::fromLatin1(targets.value(n))));
    }

    QList<QByteArray> targets;

private:
    QTcpServer m_server;
};

// A cookie jar that keeps nothing: the test says which cookie each request carries.
class NoCookies : public QNetworkCookieJar {
public:
    bool setCookiesFromUrl(const QList<QNetworkCookie>&, const QUrl&) override { return false; }
};

template <class Done> bool waitUntil(Done done, int timeoutMs = 10'000) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QTest::qWait(10);
    }
    return true;
}

struct Flow {
    QString verifier;
    QString state;
    QString redirect;
    QUrl consent;
};

Flow newFlow(const ServerProcess& server, quint16 listenerPort, const QString& verifier) {
    Flow f{verifier,
           randomToken(32),
           QStringLiteral("http://127.0.0.1:%1/callback").arg(listenerPort),
           {}};
    QUrlQuery q;
    q.addQueryItem(QStringLiteral("response_type"), QStringLiteral("code"));
    q.addQueryItem(QStringLiteral("client_name"),
                   QStringLiteral("Parloquent for Linux on testbox"));
    q.addQueryItem(QStringLiteral("redirect_uri"), f.redirect);
    q.addQueryItem(QStringLiteral("state"), f.state);
    q.addQueryItem(QStringLiteral("code_challenge"), s256(verifier));
    q.addQueryItem(QStringLiteral("code_challenge_method"), QStringLiteral("S256"));
    q.addQueryItem(QStringLiteral("scope"), QStringLiteral("read write recordings:publish"));
    q.addQueryItem(QStringLiteral("reach"), QStringLiteral("account"));
    f.consent = server.appBase().resolved(QUrl(QStringLiteral("/connect")));
    f.consent.setQuery(q);
    return f;
}

// The client's form encoding: every value percent-encoded, joined with "&".
QByteArray tokenForm(const QString& code, const QString& verifier, const QString& redirect,
                     const QString& grant = QStringLiteral("authorization_code")) {
    auto item = [](const char* name, const QString& value) {
        return QByteArray(name) + '=' + QUrl::toPercentEncoding(value);
    };
    return item("grant_type", grant) + '&' + item("code", code) + '&' +
           item("code_verifier", verifier) + '&' + item("redirect_uri", redirect);
}

Answer exchange(const ServerProcess& server, const QByteArray& form,
                const QByteArray& type = "application/x-www-form-urlencoded") {
    TestClient anonymous(server.base(), QString());
    return anonymous.send("POST", QStringLiteral("/v1/connect/token"), form, false, type);
}

void verifyOAuthError(const Answer& a, const QString& error) {
    QCOMPARE(a.status, 400);
    const QJsonObject body = a.json();
    QCOMPARE(body.value(QStringLiteral("error")).toString(), error);
    QVERIFY(!body.value(QStringLiteral("error_description")).toString().isEmpty());
    QCOMPARE(body.size(), 2);
    QCOMPARE(a.header("Cache-Control"), QByteArray("no-store"));
}

} // namespace

class TestServerConnect : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void challengeOfRfc7636Example();
    void allowGivesAKeyOnce();
    void denyAnswersAccessDenied();
    void wrongVerifierFails();
    void mismatchedRedirectFails();
    void expiredCodeFails();
    void exchangeFormIsChecked();
    void consentLinksAreChecked();
    void formsNeedTheirToken();

private:
    // Opens the consent page and presses a button; the callback's query.
    QUrlQuery consent(const Flow& flow, CallbackListener& listener, const char* button);
    QString allowedCode(ServerProcess& server, const QString& verifier, Flow* flow = nullptr);

    HeadlessBrowser m_browser;
    std::unique_ptr<ServerProcess> m_server;
    std::unique_ptr<ServerProcess> m_shortLived;
};

void TestServerConnect::initTestCase() {
    m_server =
        std::make_unique<ServerProcess>(QStringList{QStringLiteral("--warm"), QStringLiteral("0")});
    QVERIFY2(m_server->start(), qPrintable(m_server->error()));
    m_shortLived = std::make_unique<ServerProcess>(
        QStringList{QStringLiteral("--warm"), QStringLiteral("0"),
                    QStringLiteral("--connect-code-lifetime"), QStringLiteral("1")});
    QVERIFY2(m_shortLived->start(), qPrintable(m_shortLived->error()));
    QVERIFY2(m_browser.start(), qPrintable(m_browser.error()));
}

void TestServerConnect::cleanupTestCase() {
    if (m_server)
        QCOMPARE(m_server->stop(), 0);
    if (m_shortLived)
        QCOMPARE(m_shortLived->stop(), 0);
}

QUrlQuery TestServerConnect::consent(const Flow& flow, CallbackListener& listener,
                                     const char* button) {
    const qsizetype seen = listener.targets.size();
    if (!m_browser.navigate(flow.consent))
        return {};
    if (!m_browser.waitFor(
            QStringLiteral("!!document.getElementById('%1')").arg(QLatin1String(button))))
        return {};
    m_browser.evaluate(
        QStringLiteral("document.getElementById('%1').click()").arg(QLatin1String(button)));
    if (!waitUntil([&] { return listener.targets.size() > seen; }, 15'000))
        return {};
    return listener.queryAt(seen);
}

QString TestServerConnect::allowedCode(ServerProcess& server, const QString& verifier,
                                       Flow* flowOut) {
    CallbackListener listener;
    const Flow flow = newFlow(server, listener.port(), verifier);
    const QUrlQuery back = consent(flow, listener, "allow");
    if (flowOut)
        *flowOut = flow;
    if (back.queryItemValue(QStringLiteral("state")) != flow.state)
        return {};
    return back.queryItemValue(QStringLiteral("code"));
}

void TestServerConnect::challengeOfRfc7636Example() {
    // RFC 7636, Appendix B.
    QCOMPARE(s256(QStringLiteral("dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk")),
             QStringLiteral("E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM"));
    const QString verifier = randomToken(64);
    QCOMPARE(verifier.size(), 64);
    const QString challenge = s256(verifier);
    QCOMPARE(challenge.size(), 43);
    QVERIFY(!challenge.contains(QLatin1Char('=')) && !challenge.contains(QLatin1Char('+')) &&
            !challenge.contains(QLatin1Char('/')));
}

void TestServerConnect::allowGivesAKeyOnce() {
    CallbackListener listener;
    // The RFC's own verifier, end to end.
    const Flow flow = newFlow(*m_server, listener.port(),
                              QStringLiteral("dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk"));
    QVERIFY(m_browser.navigate(flow.consent));
    QVERIFY(m_browser.waitFor(QStringLiteral("!!document.getElementById('allow')")));
    const QString page = m_browser.text();
    QVERIFY2(page.contains(QStringLiteral("Parloquent for Linux on testbox")), qPrintable(page));
    QVERIFY(page.contains(QStringLiteral("Record live and publish recordings")));
    m_browser.evaluate(QStringLiteral("document.getElementById('allow').click()"));
    QTRY_VERIFY_WITH_TIMEOUT(!listener.targets.isEmpty(), 15'000);
    QVERIFY(listener.targets.first().startsWith("/callback?"));
    const QUrlQuery back = listener.queryAt(0);
    QCOMPARE(back.queryItemValue(QStringLiteral("state")), flow.state);
    const QString code = back.queryItemValue(QStringLiteral("code"));
    QVERIFY(!code.isEmpty());
    QVERIFY(!back.hasQueryItem(QStringLiteral("error")));

    const Answer token = exchange(*m_server, tokenForm(code, flow.verifier, flow.redirect));
    QCOMPARE(token.status, 200);
    const QJsonObject t = token.json();
    const QString key = t.value(QStringLiteral("access_token")).toString();
    QVERIFY(key.startsWith(QStringLiteral("pq_key_")));
    QCOMPARE(t.value(QStringLiteral("scope")).toString(),
             QStringLiteral("read write recordings:publish"));
    QVERIFY(!t.value(QStringLiteral("account"))
                 .toObject()
                 .value(QStringLiteral("name"))
                 .toString()
                 .isEmpty());
    const QString keyId = t.value(QStringLiteral("key_id")).toString();
    QVERIFY(keyId.startsWith(QStringLiteral("key_")));

    // The key works, under the application's name.
    TestClient api(m_server->base(), key);
    const Answer me = api.get(QStringLiteral("/v1/me"));
    QCOMPARE(me.status, 200);
    QCOMPARE(me.json().value(QStringLiteral("apiKeyId")).toString(), keyId);
    QString list;
    QCOMPARE(m_server->command({QStringLiteral("keys"), QStringLiteral("list")}, &list), 0);
    QVERIFY(list.contains(QStringLiteral("Parloquent for Linux on testbox").left(24)));

    // The same code again: refused, and the key it gave is revoked.
    verifyOAuthError(exchange(*m_server, tokenForm(code, flow.verifier, flow.redirect)),
                     QStringLiteral("invalid_grant"));
    QCOMPARE(api.get(QStringLiteral("/v1/me")).status, 401);
}

void TestServerConnect::denyAnswersAccessDenied() {
    CallbackListener listener;
    const Flow flow = newFlow(*m_server, listener.port(), randomToken(64));
    const QUrlQuery back = consent(flow, listener, "deny");
    QCOMPARE(back.queryItemValue(QStringLiteral("error")), QStringLiteral("access_denied"));
    QCOMPARE(back.queryItemValue(QStringLiteral("state")), flow.state);
    QVERIFY(!back.hasQueryItem(QStringLiteral("code")));
}

void TestServerConnect::wrongVerifierFails() {
    Flow flow;
    const QString code = allowedCode(*m_server, randomToken(64), &flow);
    QVERIFY(!code.isEmpty());
    verifyOAuthError(exchange(*m_server, tokenForm(code, randomToken(64), flow.redirect)),
                     QStringLiteral("invalid_grant"));
    // The code is spent: the right verifier comes too late.
    verifyOAuthError(exchange(*m_server, tokenForm(code, flow.verifier, flow.redirect)),
                     QStringLiteral("invalid_grant"));
}

void TestServerConnect::mismatchedRedirectFails() {
    Flow flow;
    const QString code = allowedCode(*m_server, randomToken(64), &flow);
    QVERIFY(!code.isEmpty());
    QString other = flow.redirect;
    other.replace(QStringLiteral("127.0.0.1"), QStringLiteral("localhost"));
    verifyOAuthError(exchange(*m_server, tokenForm(code, flow.verifier, other)),
                     QStringLiteral("invalid_grant"));
}

void TestServerConnect::expiredCodeFails() {
    Flow flow;
    const QString code = allowedCode(*m_shortLived, randomToken(64), &flow);
    QVERIFY(!code.isEmpty());
    QTest::qWait(1500);
    const Answer a = exchange(*m_shortLived, tokenForm(code, flow.verifier, flow.redirect));
    verifyOAuthError(a, QStringLiteral("invalid_grant"));
    QVERIFY(a.json()
                .value(QStringLiteral("error_description"))
                .toString()
                .contains(QStringLiteral("expired")));
    // A fresh code on the same server is fine when used at once.
    const QString fresh = allowedCode(*m_shortLived, flow.verifier, &flow);
    QCOMPARE(exchange(*m_shortLived, tokenForm(fresh, flow.verifier, flow.redirect)).status, 200);
}

void TestServerConnect::exchangeFormIsChecked() {
    Flow flow;
    const QString code = allowedCode(*m_server, randomToken(64), &flow);
    QVERIFY(!code.isEmpty());
    verifyOAuthError(exchange(*m_server, tokenForm(code, flow.verifier, flow.redirect,
                                                   QStringLiteral("password"))),
                     QStringLiteral("unsupported_grant_type"));
    verifyOAuthError(exchange(*m_server, "grant_type=authorization_code&code=" + code.toUtf8()),
                     QStringLiteral("invalid_request"));
    verifyOAuthError(
        exchange(*m_server, tokenForm(code, flow.verifier, flow.redirect), "application/json"),
        QStringLiteral("invalid_request"));
    verifyOAuthError(
        exchange(*m_server, tokenForm(QStringLiteral("made-up"), flow.verifier, flow.redirect)),
        QStringLiteral("invalid_grant"));
    verifyOAuthError(exchange(*m_server, tokenForm(code, flow.verifier, flow.redirect) + "&code=x"),
                     QStringLiteral("invalid_request"));
    // None of these spent the code: it still works.
    QCOMPARE(exchange(*m_server, tokenForm(code, flow.verifier, flow.redirect)).status, 200);
}

void TestServerConnect::consentLinksAreChecked() {
    CallbackListener listener;
    Flow flow = newFlow(*m_server, listener.port(), randomToken(64));
    TestClient app(m_server->appBase(), QString());

    // A return address elsewhere is never followed: the page says why.
    QUrl bad = flow.consent;
    QUrlQuery q(bad);
    q.removeAllQueryItems(QStringLiteral("redirect_uri"));
    q.addQueryItem(QStringLiteral("redirect_uri"), QStringLiteral("http://evil.example/callback"));
    bad.setQuery(q);
    QVERIFY(m_browser.navigate(bad));
    QVERIFY(m_browser.text().contains(QStringLiteral("no valid return address")));
    QVERIFY(listener.targets.isEmpty());

    // Other faults go back to the application as OAuth errors.
    q = QUrlQuery(flow.consent);
    q.removeAllQueryItems(QStringLiteral("code_challenge_method"));
    q.addQueryItem(QStringLiteral("code_challenge_method"), QStringLiteral("plain"));
    bad = flow.consent;
    bad.setQuery(q);
    QVERIFY(m_browser.navigate(bad));
    QTRY_VERIFY(!listener.targets.isEmpty());
    QVERIFY(listener.targets.first().startsWith("/callback?"));
    QCOMPARE(listener.queryAt(0).queryItemValue(QStringLiteral("error")),
             QStringLiteral("invalid_request"));
    QCOMPARE(listener.queryAt(0).queryItemValue(QStringLiteral("state")), flow.state);

    // The consent page cannot be framed and its address goes to no other site as a referrer.
    const Answer page =
        app.get(flow.consent.path() + QLatin1Char('?') + flow.consent.query(QUrl::FullyEncoded));
    QCOMPARE(page.status, 200);
    QCOMPARE(page.header("X-Frame-Options"), QByteArray("DENY"));
    QVERIFY(page.header("Content-Security-Policy").contains("frame-ancestors 'none'"));
    QCOMPARE(page.header("Referrer-Policy"), QByteArray("same-origin"));
}

void TestServerConnect::formsNeedTheirToken() {
    CallbackListener listener;
    const Flow flow = newFlow(*m_server, listener.port(), randomToken(64));
    QNetworkAccessManager net;
    net.setCookieJar(new NoCookies);
    // Load the page as a browser would, and take its cookie.
    std::unique_ptr<QNetworkReply> reply(net.get(QNetworkRequest(flow.consent)));
    QTRY_VERIFY(reply->isFinished());
    const QString html = QString::fromUtf8(reply->readAll());
    static const QRegularExpression field(
        QStringLiteral("name=\"(csrf|request)\" value=\"([^\"]+)\""));
    QString csrf;
    QString request;
    for (auto it = field.globalMatch(html); it.hasNext();) {
        const auto m = it.next();
        (m.captured(1) == QLatin1String("csrf") ? csrf : request) = m.captured(2);
    }
    QVERIFY(!csrf.isEmpty() && !request.isEmpty());
    const QByteArray cookie = reply->rawHeader("Set-Cookie").split(';').first();
    QVERIFY(cookie.startsWith("pq_csrf="));

    auto post = [&](const QByteArray& body, const QByteArray& cookieHeader,
                    const QByteArray& origin) {
        QNetworkRequest r(m_server->appBase().resolved(QUrl(QStringLiteral("/connect"))));
        r.setHeader(QNetworkRequest::ContentTypeHeader, "application/x-www-form-urlencoded");
        if (!cookieHeader.isEmpty())
            r.setRawHeader("Cookie", cookieHeader);
        if (!origin.isEmpty())
            r.setRawHeader("Origin", origin);
        r.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                       QNetworkRequest::ManualRedirectPolicy);
        std::unique_ptr<QNetworkReply> answer(net.post(r, body));
        waitUntil([&answer] { return answer->isFinished(); });
        return answer->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    };
    const QByteArray allow = "decision=allow&request=" + request.toUtf8();
    QCOMPARE(post(allow + "&csrf=" + csrf.toUtf8(), {}, {}), 403); // no cookie
    QCOMPARE(post(allow + "&csrf=wrong", cookie, {}), 403);        // wrong token
    QCOMPARE(post(allow, cookie, {}), 403);                        // no token
    QCOMPARE(post(allow + "&csrf=" + csrf.toUtf8(), cookie, "http://evil.example"), 403);
    QVERIFY(listener.targets.isEmpty());
    // With both, from this origin: the answer goes back to the application.
    const QByteArray origin = "http://127.0.0.1:" + QByteArray::number(m_server->appBase().port());
    QCOMPARE(post(allow + "&csrf=" + csrf.toUtf8(), cookie, origin), 303);
    // And only once.
    QCOMPARE(post(allow + "&csrf=" + csrf.toUtf8(), cookie, origin), 400);

    // Pages are only served under this computer's own names (no DNS rebinding).
    QNetworkRequest rebound(m_server->appBase().resolved(QUrl(QStringLiteral("/developers"))));
    rebound.setRawHeader("Host", "evil.example:" + QByteArray::number(m_server->appBase().port()));
    std::unique_ptr<QNetworkReply> refused(net.get(rebound));
    QTRY_VERIFY(refused->isFinished());
    QCOMPARE(refused->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 400);
    QVERIFY(!refused->readAll().contains("API keys"));
}

QTEST_GUILESS_MAIN(TestServerConnect)
#include "tst_ServerConnect.moc"
