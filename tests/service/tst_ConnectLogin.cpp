// Browser sign-in against raw TCP clients on loopback, with the token exchange answered by a
// recording HTTP server: every way an attempt can end, and requests that must not end it.
#include "API.h"
#include "APIError.h"
#include "Await.h"
#include "ConnectCallback.h"
#include "ConnectLogin.h"
#include "RecordingHttpServer.h"

#include <QTcpSocket>
#include <QTest>
#include <QUrlQuery>

using namespace pq;
using namespace pq::test;
using namespace std::chrono_literals;

namespace {

const QByteArray tokenAnswer =
    R"({"access_token":"pq_key_fresh","key_id":"k1","scope":"read","account":{"name":"Ada"}})";

// Sends `request` on a new connection and returns everything the listener answers. Keeps the
// event loop running meanwhile: the token exchange happens on this thread.
QByteArray exchange(quint16 port, const QByteArray& request, bool closeAfterWrite = false) {
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    QElapsedTimer timer;
    timer.start();
    while (socket.state() != QAbstractSocket::ConnectedState &&
           socket.state() != QAbstractSocket::UnconnectedState && timer.elapsed() < 3000)
        QTest::qWait(5);
    if (socket.state() != QAbstractSocket::ConnectedState)
        return "NOT CONNECTED";
    if (!request.isEmpty())
        socket.write(request);
    if (closeAfterWrite) {
        socket.flush();
        socket.disconnectFromHost();
        return {};
    }
    QByteArray answer;
    while (socket.state() == QAbstractSocket::ConnectedState && timer.elapsed() < 5000) {
        QTest::qWait(5);
        answer += socket.readAll();
    }
    return answer + socket.readAll();
}

QByteArray get(const QString& target) {
    return "GET " + target.toUtf8() + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
}

QString body(const QByteArray& answer) {
    const qsizetype start = answer.indexOf("\r\n\r\n");
    return start < 0 ? QString() : QString::fromUtf8(answer.mid(start + 4));
}

bool showsMessage(const QByteArray& answer, const QString& message) {
    return body(answer).contains(QStringLiteral("<p>") + message + QStringLiteral("</p>"));
}

// One attempt under test: the sign-in running, and the consent address it opened.
struct Attempt {
    std::unique_ptr<ConnectLogin> login;
    std::shared_ptr<Outcome<ConnectLogin::Result>> outcome =
        std::make_shared<Outcome<ConnectLogin::Result>>();
    QUrl consent;

    quint16 port() const {
        return QUrl(QUrlQuery(consent).queryItemValue("redirect_uri", QUrl::FullyDecoded)).port();
    }
    QString state() const { return QUrlQuery(consent).queryItemValue("state"); }
    QString callback(const QString& query) const { return QStringLiteral("/callback?") + query; }
};

} // namespace

class TestConnectLogin : public QObject {
    Q_OBJECT

private slots:
    void init();
    void consentAddress();
    void rfc7636Example();
    void tokensUseTheAlphabet();
    void longComputerNameIsCut();
    void successGivesKeyAndAccount();
    void successWithoutAccountIsParloquent();
    void otherPathsKeepWaiting();
    void wrongStateKeepsWaiting_data();
    void wrongStateKeepsWaiting();
    void errorWinsOverCode();
    void missingCodeEndsWithAuth();
    void exchangeFailureIsShownEscaped();
    void cancelEndsOnce();
    void timeoutAndLateCallbacks();
    void unreadableRequestsAreDropped_data();
    void unreadableRequestsAreDropped();
    void secondRunWhilePendingIsRefused();
    void destroyingEndsThePendingRun();

private:
    void start(Attempt& attempt, ConnectLogin::Options options = {
                                     .timeout = std::chrono::seconds(600),
                                     .computerName = [] { return QStringLiteral("Ada’s laptop"); },
                                 });
    std::unique_ptr<RecordingHttpServer> m_service;
    std::unique_ptr<API> m_api;
};

void TestConnectLogin::init() {
    m_service = std::make_unique<RecordingHttpServer>();
    m_service->setDefault(ScriptedAnswer::json(200, tokenAnswer));
    m_api = std::make_unique<API>(
        Env{Env::Name::local, m_service->base(), QUrl("http://127.0.0.1:5176")},
        QStringLiteral("pq_key_old"));
}

void TestConnectLogin::start(Attempt& attempt, ConnectLogin::Options options) {
    attempt.login = std::make_unique<ConnectLogin>(m_api.get(), options);
    detail::drive(attempt.login->run([&attempt](const QUrl& url) { attempt.consent = url; }),
                  attempt.outcome);
    QTRY_VERIFY(attempt.consent.isValid());
}

void TestConnectLogin::consentAddress() {
    Attempt a;
    start(a);
    QCOMPARE(a.consent.scheme(), QStringLiteral("http"));
    QCOMPARE(a.consent.port(), 5176);
    QCOMPARE(a.consent.path(), QStringLiteral("/connect"));
    const QList<std::pair<QString, QString>> items =
        QUrlQuery(a.consent).queryItems(QUrl::FullyDecoded);
    QStringList names;
    for (const auto& [name, value] : items)
        names.append(name);
    QCOMPARE(names, QStringList({"response_type", "client_name", "redirect_uri", "state",
                                 "code_challenge", "code_challenge_method", "scope", "reach"}));
    QCOMPARE(items[0].second, QStringLiteral("code"));
    QCOMPARE(items[1].second, QStringLiteral("Parloquent for Linux on Ada’s laptop"));
    QCOMPARE(items[2].second, QStringLiteral("http://127.0.0.1:%1/callback").arg(a.port()));
    QVERIFY(a.port() > 0);
    QCOMPARE(items[3].second.size(), 32);
    QCOMPARE(items[4].second.size(), 43);
    QCOMPARE(items[5].second, QStringLiteral("S256"));
    QCOMPARE(items[6].second, QStringLiteral("read write recordings:publish"));
    QCOMPARE(items[7].second, QStringLiteral("account"));
    // Spaces and the apostrophe are escaped, nothing is left for a form decoder to misread.
    QVERIFY(!a.consent.toString(QUrl::FullyEncoded).contains(' '));
    QVERIFY(a.consent.toString(QUrl::FullyEncoded).contains("Linux%20on%20Ada%E2%80%99s"));

    // Without a computer name the client is "this computer".
    QCOMPARE(ConnectLogin::clientName(QString()),
             QStringLiteral("Parloquent for Linux on this computer"));
}

void TestConnectLogin::rfc7636Example() {
    QCOMPARE(ConnectLogin::challenge("dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk"),
             QStringLiteral("E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM"));
}

void TestConnectLogin::tokensUseTheAlphabet() {
    const QString alphabet = QString::fromLatin1(ConnectLogin::tokenAlphabet);
    QCOMPARE(alphabet.size(), 66);
    QSet<QChar> seen;
    for (int i = 0; i < 200; ++i) {
        const QString verifier = ConnectLogin::token(ConnectLogin::verifierLength);
        QCOMPARE(verifier.size(), 64);
        for (const QChar c : verifier) {
            QVERIFY2(alphabet.contains(c), qPrintable(verifier));
            seen.insert(c);
        }
        const QString challenge = ConnectLogin::challenge(verifier);
        QVERIFY(!challenge.contains('=') && !challenge.contains('+') && !challenge.contains('/'));
        QCOMPARE(challenge.size(), 43);
    }
    // 12,800 draws reach every character of the alphabet, including "-._~".
    QCOMPARE(seen.size(), 66);
    QVERIFY(ConnectLogin::token(32) != ConnectLogin::token(32));
}

void TestConnectLogin::longComputerNameIsCut() {
    const QString name(120, QLatin1Char('n'));
    const QString client = ConnectLogin::clientName(name);
    QCOMPARE(client.size(), 100);
    QVERIFY(client.startsWith(QStringLiteral("Parloquent for Linux on nnn")));
    // A cut never splits a character made of two UTF-16 units.
    const QString emoji = QString(75, QLatin1Char('x')) + QStringLiteral("😀😀");
    const QString cut = ConnectLogin::clientName(emoji);
    QVERIFY(cut.size() <= 100);
    QVERIFY(!cut.back().isHighSurrogate());

    Attempt a;
    start(a, {.timeout = 600s, .computerName = [name] { return name; }});
    QCOMPARE(QUrlQuery(a.consent).queryItemValue("client_name", QUrl::FullyDecoded), client);
}

void TestConnectLogin::successGivesKeyAndAccount() {
    Attempt a;
    start(a);
    const QByteArray answer =
        exchange(a.port(), get(a.callback("code=abc%2B1&state=" + a.state())));
    QVERIFY(answer.startsWith("HTTP/1.1 200 OK\r\n"));
    QVERIFY(answer.contains("Content-Type: text/html; charset=utf-8\r\n"));
    QVERIFY(answer.contains("Connection: close\r\n"));
    QVERIFY(answer.contains("Cache-Control: no-store\r\n"));
    QVERIFY(answer.contains("Content-Length: " + QByteArray::number(body(answer).toUtf8().size())));
    QCOMPARE(body(answer),
             QStringLiteral("<!doctype html><meta charset=utf-8><title>Parloquent</title><body "
                            "style=\"font:16px system-ui;margin:3em;text-align:center\"><p>Signed "
                            "in. You can close this tab and go back to Parloquent.</p><script>"
                            "setTimeout(function(){window.close()},500)</script></body>"));
    QTRY_VERIFY(a.outcome->finished);
    QVERIFY(a.outcome->value);
    QCOMPARE(a.outcome->value->key, QStringLiteral("pq_key_fresh"));
    QCOMPARE(a.outcome->value->accountName, QStringLiteral("Ada"));

    // The exchange carried the decoded code, the verifier behind the challenge, and the redirect.
    const RecordedRequest r = m_service->last();
    QCOMPARE(r.path, QByteArray("/v1/connect/token"));
    QVERIFY(!r.hasHeader("Authorization"));
    const QUrlQuery form(QString::fromUtf8(r.body));
    QCOMPARE(form.queryItemValue("code", QUrl::FullyDecoded), QStringLiteral("abc+1"));
    const QString verifier = form.queryItemValue("code_verifier", QUrl::FullyDecoded);
    QCOMPARE(verifier.size(), 64);
    QCOMPARE(ConnectLogin::challenge(verifier),
             QUrlQuery(a.consent).queryItemValue("code_challenge"));
    QCOMPARE(form.queryItemValue("redirect_uri", QUrl::FullyDecoded),
             QStringLiteral("http://127.0.0.1:%1/callback").arg(a.port()));

    // The listener is gone once a code arrived.
    QCOMPARE(exchange(a.port(), get("/callback")), QByteArray("NOT CONNECTED"));
}

void TestConnectLogin::successWithoutAccountIsParloquent() {
    m_service->setDefault(ScriptedAnswer::json(200, R"({"access_token":"pq_key_x"})"));
    Attempt a;
    start(a);
    exchange(a.port(), get(a.callback("state=" + a.state() + "&code=c")));
    QTRY_VERIFY(a.outcome->finished);
    QCOMPARE(a.outcome->value->accountName, QStringLiteral("Parloquent"));
}

void TestConnectLogin::otherPathsKeepWaiting() {
    Attempt a;
    start(a);
    for (const QString& target : {QStringLiteral("/"), QStringLiteral("/favicon.ico"),
                                  QStringLiteral("/callbackx?code=c&state=") + a.state(),
                                  QStringLiteral("/Callback?code=c&state=") + a.state()}) {
        const QByteArray answer = exchange(a.port(), get(target));
        QVERIFY2(showsMessage(answer, ConnectCallback::notWaitingMessage()), qPrintable(target));
    }
    QVERIFY(!a.outcome->finished);
    exchange(a.port(), get(a.callback("code=c&state=" + a.state())));
    QTRY_VERIFY(a.outcome->finished);
    QVERIFY(a.outcome->value);
}

void TestConnectLogin::wrongStateKeepsWaiting_data() {
    QTest::addColumn<QString>("query");
    QTest::newRow("missing") << "code=c";
    QTest::newRow("empty") << "code=c&state=";
    QTest::newRow("different") << "code=c&state=nope";
    QTest::newRow("ours second") << "code=c&state=nope&state=%1";
}

void TestConnectLogin::wrongStateKeepsWaiting() {
    QFETCH(QString, query);
    Attempt a;
    start(a);
    if (query.contains("%1"))
        query = query.arg(a.state());
    const QByteArray answer = exchange(a.port(), get(a.callback(query)));
    QVERIFY(showsMessage(
        answer, "This answer does not belong to the sign-in Parloquent for Linux started."));
    QVERIFY(!answer.contains("<script>"));
    QTest::qWait(50);
    QVERIFY(!a.outcome->finished);
    exchange(a.port(), get(a.callback("state=" + a.state() + "&code=good")));
    QTRY_VERIFY(a.outcome->finished);
    QCOMPARE(a.outcome->value->key, QStringLiteral("pq_key_fresh"));
}

void TestConnectLogin::errorWinsOverCode() {
    Attempt a;
    start(a);
    const QByteArray answer =
        exchange(a.port(), get(a.callback("code=c&error=access_denied&state=" + a.state())));
    QVERIFY(showsMessage(answer, "Sign-in cancelled. You can close this tab."));
    QTRY_VERIFY(a.outcome->finished);
    const auto error = a.outcome->errorAs<APIError>();
    QVERIFY(error);
    QCOMPARE(error->code(), QStringLiteral("cancelled"));
    QCOMPARE(error->message(), QStringLiteral("You cancelled on the Parloquent screen."));
    QVERIFY(!error->status());
    QVERIFY(m_service->requests().isEmpty());
}

void TestConnectLogin::missingCodeEndsWithAuth() {
    Attempt a;
    start(a);
    // An empty "error" is no refusal, an empty "code" is no code.
    const QByteArray answer =
        exchange(a.port(), get(a.callback("error=&code=&state=" + a.state())));
    QVERIFY(showsMessage(answer, "Sign-in did not return a code."));
    QTRY_VERIFY(a.outcome->finished);
    QCOMPARE(a.outcome->errorAs<APIError>()->code(), QStringLiteral("auth"));
    QCOMPARE(a.outcome->errorAs<APIError>()->message(),
             QStringLiteral("Sign-in did not return a code."));
}

void TestConnectLogin::exchangeFailureIsShownEscaped() {
    m_service->setDefault(ScriptedAnswer::json(
        400, R"({"error":"invalid_grant","error_description":"Code <b>used</b> & expired."})"));
    Attempt a;
    start(a);
    const QByteArray answer = exchange(a.port(), get(a.callback("code=c&state=" + a.state())));
    QVERIFY2(showsMessage(answer, "Parloquent for Linux could not finish signing in: Code "
                                  "&lt;b>used&lt;/b> &amp; expired."),
             answer.constData());
    QVERIFY(!answer.contains("<script>"));
    QTRY_VERIFY(a.outcome->finished);
    const auto error = a.outcome->errorAs<APIError>();
    QVERIFY(error);
    QCOMPARE(error->code(), QStringLiteral("invalid_grant"));
    QCOMPARE(error->status(), 400);
}

void TestConnectLogin::cancelEndsOnce() {
    Attempt a;
    start(a);
    a.login->cancel();
    QTRY_VERIFY(a.outcome->finished);
    QCOMPARE(a.outcome->errorAs<APIError>()->message(), QStringLiteral("Sign-in was cancelled."));
    QCOMPARE(a.outcome->errorAs<APIError>()->code(), QStringLiteral("cancelled"));
    a.login->cancel(); // nothing pending: harmless
    QCOMPARE(exchange(a.port(), get("/callback")), QByteArray("NOT CONNECTED"));

    // A fresh attempt on the same object works after a cancellation.
    a.consent = QUrl();
    auto second = std::make_shared<Outcome<ConnectLogin::Result>>();
    detail::drive(a.login->run([&a](const QUrl& url) { a.consent = url; }), second);
    QTRY_VERIFY(a.consent.isValid());
    exchange(a.port(), get(a.callback("code=c&state=" + a.state())));
    QTRY_VERIFY(second->finished);
    QVERIFY(second->value);
}

void TestConnectLogin::timeoutAndLateCallbacks() {
    Attempt a;
    start(a, {.timeout = 400ms, .computerName = [] { return QString(); }});
    // A browser connection opened in time but answered late finds nobody waiting.
    QTcpSocket early;
    early.connectToHost(QHostAddress::LocalHost, a.port());
    QVERIFY(early.waitForConnected(2000));
    QTRY_VERIFY_WITH_TIMEOUT(a.outcome->finished, 5000);
    QCOMPARE(a.outcome->errorAs<APIError>()->code(), QStringLiteral("cancelled"));
    QCOMPARE(a.outcome->errorAs<APIError>()->message(),
             QStringLiteral("Sign-in timed out. Try again."));

    early.write(get(a.callback("code=c&state=" + a.state())));
    QByteArray answer;
    QTRY_VERIFY((answer += early.readAll()).contains("</body>"));
    QVERIFY(showsMessage(answer, ConnectCallback::notWaitingMessage()));
    QVERIFY(m_service->requests().isEmpty());
    // New connections are refused by the system.
    QCOMPARE(exchange(a.port(), get("/callback")), QByteArray("NOT CONNECTED"));
}

void TestConnectLogin::unreadableRequestsAreDropped_data() {
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<bool>("answered");
    QTest::newRow("16 KiB + 1") << QByteArray(16385, 'G') << true;
    QTest::newRow("no line break") << QByteArray("GET /callback?code=c") << true;
    QTest::newRow("invalid utf-8") << QByteArray("GET /\xff\xfe HTTP/1.1\r\n\r\n") << false;
    QTest::newRow("one word") << QByteArray("GARBAGE\r\n\r\n") << true;
    QTest::newRow("binary") << QByteArray("\x00\x01\x02\x03", 4) << true;
    QTest::newRow("absolute target")
        << QByteArray("GET http://evil.example/callback?code=c HTTP/1.1\r\n\r\n") << true;
}

void TestConnectLogin::unreadableRequestsAreDropped() {
    QFETCH(QByteArray, request);
    QFETCH(bool, answered);
    Attempt a;
    start(a);
    const QByteArray answer = exchange(a.port(), request);
    if (answered)
        QVERIFY2(showsMessage(answer, ConnectCallback::notWaitingMessage()) ||
                     showsMessage(answer, ConnectCallback::wrongStateMessage()),
                 answer.left(200).constData());
    else
        QVERIFY(answer.isEmpty());
    // An empty connection, too, changes nothing.
    exchange(a.port(), QByteArray(), true);
    QTest::qWait(50);
    QVERIFY(!a.outcome->finished);
    exchange(a.port(), get(a.callback("code=c&state=" + a.state())));
    QTRY_VERIFY(a.outcome->finished);
    QVERIFY(a.outcome->value);
}

void TestConnectLogin::secondRunWhilePendingIsRefused() {
    Attempt a;
    start(a);
    auto second = std::make_shared<Outcome<ConnectLogin::Result>>();
    bool opened = false;
    detail::drive(a.login->run([&opened](const QUrl&) { opened = true; }), second);
    QTRY_VERIFY(second->finished);
    QCOMPARE(second->errorAs<APIError>()->code(), QStringLiteral("invalid_state"));
    QVERIFY(!opened);
    exchange(a.port(), get(a.callback("code=c&state=" + a.state())));
    QTRY_VERIFY(a.outcome->finished);
    QVERIFY(a.outcome->value);
}

void TestConnectLogin::destroyingEndsThePendingRun() {
    Attempt a;
    start(a);
    const quint16 port = a.port();
    a.login.reset();
    QTRY_VERIFY(a.outcome->finished);
    QCOMPARE(a.outcome->errorAs<APIError>()->code(), QStringLiteral("cancelled"));
    QCOMPARE(exchange(port, get("/callback")), QByteArray("NOT CONNECTED"));
}

QTEST_GUILESS_MAIN(TestConnectLogin)
#include "tst_ConnectLogin.moc"
