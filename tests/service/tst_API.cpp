// The request core and every operation against a recording HTTP server on loopback: addresses,
// queries, headers, bodies, the retry rule, error bodies and transport failures.
#include "API.h"
#include "APIError.h"
#include "Await.h"
#include "RecordingHttpServer.h"
#include "TransportError.h"

#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

using namespace pq;
using namespace pq::test;
using namespace std::chrono_literals;

namespace {

Env envFor(const RecordingHttpServer& server) {
    return Env{Env::Name::local, server.base(), QUrl(QStringLiteral("http://127.0.0.1:5176"))};
}

} // namespace

class TestAPI : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void urlQueriesAreSortedAndEncoded();
    void urlKeepsBaseAndEncodesIdentifiers();
    void wsURLSwapsScheme_data();
    void wsURLSwapsScheme();
    void requestHeaders();
    void keyIsReadWhenTheRequestIsBuilt();
    void everyOperationOnTheWire();
    void connectTokenFormAndNoAuthorization();
    void connectTokenEmptyAnswerIsADecodeError();
    void voicesEmptyObjectIsNoVoices();
    void emptyAnswerReadsAsEmptyObject();
    void emptyAnswerFailsForRequiredFields();
    void unavailableIsRetriedTwiceTwoSecondsApart();
    void unavailableThenSuccess();
    void otherCodesAreNotRetried_data();
    void otherCodesAreNotRetried();
    void cancellationDuringTheRetryWait();
    void cancellationOfARunningRequest();
    void transportFailuresAreNotAPIErrors();
    void errorBodiesOverTheWire_data();
    void errorBodiesOverTheWire();
    void oversizedAnswerIsRefused();
    void destroyingTheClientEndsItsRequests();
    void bytesAsksForAnything();
    void deviceIdIsMadeOnceAndStored();

private:
    QTemporaryDir m_config;
};

void TestAPI::initTestCase() {
    QVERIFY(m_config.isValid());
    qputenv("XDG_CONFIG_HOME", m_config.path().toUtf8());
}

void TestAPI::init() {
    qunsetenv("PARLOQUENT_API");
    qunsetenv("PARLOQUENT_APP");
}

void TestAPI::urlQueriesAreSortedAndEncoded() {
    API api(Env::named(Env::Name::local), std::nullopt);
    QCOMPARE(api.url("/v1/me").toString(QUrl::FullyEncoded),
             QStringLiteral("http://127.0.0.1:8080/v1/me"));
    // Only absent values: no "?" at all.
    QCOMPARE(
        api.url("/v1/me", {{"a", std::nullopt}, {"b", std::nullopt}}).toString(QUrl::FullyEncoded),
        QStringLiteral("http://127.0.0.1:8080/v1/me"));
    QCOMPARE(api.url("/v1/x", {{"zeta", "1"}, {"alpha", "2"}, {"mid", std::nullopt}, {"beta", ""}})
                 .toString(QUrl::FullyEncoded),
             QStringLiteral("http://127.0.0.1:8080/v1/x?alpha=2&beta=&zeta=1"));
    // Reserved characters, spaces, "+" and non-ASCII text in a value come back as themselves.
    const QString text = QStringLiteral("C++ & co = 100%/Ünïcode?#");
    const QUrl url = api.url("/v1/search", {{"q", text}});
    QCOMPARE(url.toString(QUrl::FullyEncoded),
             QStringLiteral("http://127.0.0.1:8080/v1/search?q=C%2B%2B%20%26%20co%20%3D%20100%25%2F"
                            "%C3%9Cn%C3%AFcode%3F%23"));
    QCOMPARE(QUrl::fromPercentEncoding(url.query(QUrl::FullyEncoded).mid(2).toUtf8()), text);
}

void TestAPI::urlKeepsBaseAndEncodesIdentifiers() {
    API trailing(Env{Env::Name::local, QUrl("http://127.0.0.1:9/"), QUrl("http://127.0.0.1:10")},
                 std::nullopt);
    QCOMPARE(trailing.url("/v1/me").toString(), QStringLiteral("http://127.0.0.1:9/v1/me"));
    // An identifier can never add path segments or a query of its own.
    QCOMPARE(API::segment("a/../b?c#d e"), QStringLiteral("a%2F..%2Fb%3Fc%23d%20e"));
    QCOMPARE(trailing.url("/v1/recordings/" + API::segment("../../me") + "/stop")
                 .toString(QUrl::FullyEncoded),
             QStringLiteral("http://127.0.0.1:9/v1/recordings/..%2F..%2Fme/stop"));
}

void TestAPI::wsURLSwapsScheme_data() {
    QTest::addColumn<QString>("base");
    QTest::addColumn<QString>("expected");
    QTest::newRow("http") << "http://127.0.0.1:8080"
                          << "ws://127.0.0.1:8080/v1/feed?after=3&lang=es";
    QTest::newRow("https") << "https://api.example.org"
                           << "wss://api.example.org/v1/feed?after=3&lang=es";
    QTest::newRow("https with port") << "https://api.example.org:8443"
                                     << "wss://api.example.org:8443/v1/feed?after=3&lang=es";
}

void TestAPI::wsURLSwapsScheme() {
    QFETCH(QString, base);
    QFETCH(QString, expected);
    API api(Env{Env::Name::production, QUrl(base), QUrl(base)}, std::nullopt);
    QCOMPARE(api.wsURL("/v1/feed", {{"lang", "es"}, {"after", "3"}}).toString(), expected);
}

void TestAPI::requestHeaders() {
    RecordingHttpServer server;
    API api(envFor(server), QStringLiteral("pq_key_secret"));

    QVERIFY(await(api.me())->finished);
    RecordedRequest r = server.last();
    QCOMPARE(r.method, QByteArray("GET"));
    QCOMPARE(r.header("Authorization"), QByteArray("Bearer pq_key_secret"));
    QCOMPARE(r.header("Accept"), QByteArray("application/json"));
    QCOMPARE(r.header("User-Agent"), QByteArray("Parloquent-Linux/") + API::version().toUtf8());
    QVERIFY(API::version() != QLatin1String("dev"));
    QVERIFY(!r.hasHeader("Content-Type"));
    QVERIFY(r.body.isEmpty());

    // Anonymous requests never carry the key, even when one is set.
    auto anon = await(api.json<Empty>("GET", "/v1/languages", {}, std::nullopt, true));
    QVERIFY(anon->value);
    QVERIFY(!server.last().hasHeader("Authorization"));

    // Without a key there is no Authorization header at all.
    api.setKey(std::nullopt);
    QVERIFY(await(api.pause("r1"))->value);
    r = server.last();
    QVERIFY(!r.hasHeader("Authorization"));
    QVERIFY(!r.hasHeader("Content-Type"));
    QVERIFY(r.body.isEmpty());

    // A body brings its Content-Type.
    QVERIFY(await(api.stop("r1"))->value);
    r = server.last();
    QCOMPARE(r.header("Content-Type"), QByteArray("application/json"));
    QCOMPARE(r.body, QByteArray("{}"));
}

void TestAPI::keyIsReadWhenTheRequestIsBuilt() {
    RecordingHttpServer server;
    API api(envFor(server), QStringLiteral("old"));
    const API::Request built = api.request("GET", "/v1/me", {}, false);
    api.setKey(QStringLiteral("new"));
    QVERIFY(await(api.send(built))->value);
    QCOMPARE(server.last().header("Authorization"), QByteArray("Bearer old"));
    QVERIFY(await(api.me())->finished);
    QCOMPARE(server.last().header("Authorization"), QByteArray("Bearer new"));
}

void TestAPI::everyOperationOnTheWire() {
    RecordingHttpServer server;
    API api(envFor(server), QStringLiteral("k"));
    server.setHandler([](const RecordedRequest& r) {
        // Answer each path with a record that decodes, so only the request is under test.
        const QByteArray path = r.path;
        if (path == "/v1/me")
            return ScriptedAnswer::json(200, R"({"displayName":"A","scopes":[]})");
        if (path == "/v1/languages")
            return ScriptedAnswer::json(200, R"({"languages":[]})");
        if (path == "/v1/transcriptions" && r.method == "GET")
            return ScriptedAnswer::json(200, R"({"transcriptions":[]})");
        if (path == "/v1/broadcasts")
            return ScriptedAnswer::json(200, R"({"broadcasts":[]})");
        if (path == "/v1/voices/available")
            return ScriptedAnswer::json(200, R"({"lang":"en","voices":[]})");
        if (path.startsWith("/v1/voices/") && path.endsWith("/preview"))
            return ScriptedAnswer::json(200, "caff-bytes");
        if (path == "/v1/voices")
            return ScriptedAnswer::json(200, R"({"voices":[]})");
        if (path == "/v1/search")
            return ScriptedAnswer::json(200, R"({"hits":[]})");
        if (path.startsWith("/v1/transcriptions") && path.endsWith("/recordings"))
            return ScriptedAnswer::json(
                200, R"({"recording":{"id":"r","transcriptionId":"t","state":"live"}})");
        if (path.startsWith("/v1/transcriptions"))
            return ScriptedAnswer::json(200, R"({"id":"t","name":"n","createdAt":"c"})");
        if (path.endsWith("/transcript"))
            return ScriptedAnswer::json(200, R"({"recordingId":"r","lastSeq":0,"segments":[],
                "sentences":[],"speakers":[],"state":"live"})");
        if (path.endsWith("/summarize") || path.endsWith("/summary"))
            return ScriptedAnswer::json(200, R"({"state":"pending"})");
        if (path == "/v1/realtime/sessions")
            return ScriptedAnswer::json(200, R"({"sessionId":"s","streamUrl":"ws://x"})");
        return ScriptedAnswer::json(204, "");
    });

    struct Case {
        const char* name;
        std::function<QCoro::Task<void>()> call;
        QByteArray method, path, query, body;
    };
    auto run = [](auto task) -> QCoro::Task<void> { co_await std::move(task); };
    const QString device = API::deviceId();
    const QList<Case> cases{
        {"me", [&] { return run(api.me()); }, "GET", "/v1/me", "", ""},
        {"languages", [&] { return run(api.languages()); }, "GET", "/v1/languages", "", ""},
        {"transcriptions without cursor", [&] { return run(api.transcriptions({}, 50)); }, "GET",
         "/v1/transcriptions", "limit=50", ""},
        {"transcriptions with cursor", [&] { return run(api.transcriptions("c 2", 20)); }, "GET",
         "/v1/transcriptions", "cursor=c%202&limit=20", ""},
        {"broadcasts", [&] { return run(api.broadcasts()); }, "GET", "/v1/broadcasts",
         "lifecycle=active", ""},
        {"voices", [&] { return run(api.voices()); }, "GET", "/v1/voices", "", ""},
        {"voiceCatalogue", [&] { return run(api.voiceCatalogue("pt-BR")); }, "GET",
         "/v1/voices/available", "lang=pt-BR", ""},
        {"voicePreview", [&] { return run(api.voicePreview("v 1", "en")); }, "GET",
         "/v1/voices/preview", "format=caf&lang=en&voice=v%201", ""},
        {"clonePreview", [&] { return run(api.clonePreview("c/1", "en")); }, "GET",
         "/v1/voices/c%2F1/preview", "format=caf&lang=en", ""},
        {"search", [&] { return run(api.search("hello world")); }, "GET", "/v1/search",
         "limit=20&q=hello%20world", ""},
        {"createLive", [&] { return run(api.createLive("Call", SettingsPatch())); }, "POST",
         "/v1/transcriptions/live", "",
         R"({"name":"Call","settings":{"spokenLanguage":null},"source":{"kind":"mic"}})"},
        {"startRecording", [&] { return run(api.startRecording("t1", false)); }, "POST",
         "/v1/transcriptions/t1/recordings", "",
         R"({"deviceId":")" + device.toUtf8() + R"(","takeover":false})"},
        {"startRecording takeover", [&] { return run(api.startRecording("t1", true)); }, "POST",
         "/v1/transcriptions/t1/recordings", "",
         R"({"deviceId":")" + device.toUtf8() + R"(","takeover":true})"},
        {"createFromURL",
         [&] {
             return run(api.createFromURL("https://v.example/w?v=1", std::nullopt,
                                          SettingsPatch("en", SpeakerLabels::on)));
         },
         "POST", "/v1/transcriptions", "",
         "{\"settings\":{\"speakerLabels\":\"on\",\"spokenLanguage\":\"en\"},"
         "\"url\":\"https://v.example/w?v=1\"}"},
        {"createFromURL named",
         [&] { return run(api.createFromURL("u", QStringLiteral("Talk"), SettingsPatch())); },
         "POST", "/v1/transcriptions", "",
         R"({"name":"Talk","settings":{"spokenLanguage":null},"url":"u"})"},
        {"pause", [&] { return run(api.pause("r1")); }, "POST", "/v1/recordings/r1/pause", "", ""},
        {"resume", [&] { return run(api.resume("r1")); }, "POST", "/v1/recordings/r1/resume", "",
         ""},
        {"stop", [&] { return run(api.stop("r1")); }, "POST", "/v1/recordings/r1/stop", "", "{}"},
        {"updateSettings",
         [&] {
             return run(api.updateSettings("r1", SettingsPatch(std::nullopt, SpeakerLabels::off)));
         },
         "PATCH", "/v1/recordings/r1/settings", "",
         R"({"speakerLabels":"off","spokenLanguage":null})"},
        {"transcript bare", [&] { return run(api.transcript("r1", {}, {})); }, "GET",
         "/v1/recordings/r1/transcript", "", ""},
        {"transcript after and lang", [&] { return run(api.transcript("r1", 17, "es")); }, "GET",
         "/v1/recordings/r1/transcript", "after=17&lang=es", ""},
        {"summarize", [&] { return run(api.summarize("r1")); }, "POST",
         "/v1/recordings/r1/summarize", "", ""},
        {"summary", [&] { return run(api.summary("r1")); }, "GET", "/v1/recordings/r1/summary", "",
         ""},
        {"createRealtimeSession",
         [&] {
             return run(api.createRealtimeSession(SessionOptions("en", QStringList{"es"}, {})));
         },
         "POST", "/v1/realtime/sessions", "", R"({"spokenLanguage":"en","translate":["es"]})"},
    };

    for (const Case& c : cases) {
        const auto outcome = await(c.call());
        QVERIFY2(outcome->value, c.name);
        const RecordedRequest r = server.last();
        QVERIFY2(r.method == c.method, c.name);
        QVERIFY2(r.path == c.path, qPrintable(QString("%1: %2").arg(c.name, r.path)));
        QVERIFY2(r.query == c.query, qPrintable(QString("%1: %2").arg(c.name, r.query)));
        QVERIFY2(r.hasQuery == !c.query.isEmpty(), c.name);
        QVERIFY2(r.body == c.body, qPrintable(QString("%1: %2").arg(c.name, r.body)));
        QVERIFY2(r.hasHeader("Content-Type") == !c.body.isEmpty(), c.name);
        QVERIFY2(r.header("Authorization") == "Bearer k", c.name);
        const bool preview = QByteArray(c.name).endsWith("Preview");
        QVERIFY2(r.header("Accept") == (preview ? "*/*" : "application/json"), c.name);
    }
    QCOMPARE(server.requests().size(), cases.size());

    const auto preview = await(api.voicePreview("v", "en"));
    QCOMPARE(*preview->value, QByteArray("caff-bytes"));
}

void TestAPI::connectTokenFormAndNoAuthorization() {
    RecordingHttpServer server;
    server.enqueue(ScriptedAnswer::json(
        200, R"({"access_token":"pq_key_new","key_id":"k2","account":{"name":"Ada"}})"));
    API api(envFor(server), QStringLiteral("existing"));
    const auto out =
        await(api.connectToken("c+1/=", "v~er.i-f_ier", "http://127.0.0.1:49152/callback"));
    QVERIFY(out->value);
    QCOMPARE(out->value->access_token, QStringLiteral("pq_key_new"));
    const RecordedRequest r = server.last();
    QCOMPARE(r.method, QByteArray("POST"));
    QCOMPARE(r.path, QByteArray("/v1/connect/token"));
    QVERIFY(!r.hasQuery);
    QVERIFY(!r.hasHeader("Authorization"));
    QCOMPARE(r.header("Content-Type"), QByteArray("application/x-www-form-urlencoded"));
    QCOMPARE(r.header("Accept"), QByteArray("application/json"));
    QCOMPARE(r.body, QByteArray("grant_type=authorization_code&code=c%2B1%2F%3D&code_verifier="
                                "v~er.i-f_ier&redirect_uri=http%3A%2F%2F127.0.0.1%3A49152%2F"
                                "callback"));

    // The token endpoint's own error form becomes an APIError.
    server.enqueue(ScriptedAnswer::json(
        400, R"({"error":"invalid_grant","error_description":"The code has expired."})"));
    const auto refused = await(api.connectToken("c", "v", "r"));
    const auto error = refused->errorAs<APIError>();
    QVERIFY(error);
    QCOMPARE(error->code(), QStringLiteral("invalid_grant"));
    QCOMPARE(error->message(), QStringLiteral("The code has expired."));
    QCOMPARE(error->status(), 400);
}

void TestAPI::connectTokenEmptyAnswerIsADecodeError() {
    RecordingHttpServer server;
    server.enqueue(ScriptedAnswer::json(200, ""));
    API api(envFor(server), std::nullopt);
    const auto out = await(api.connectToken("c", "v", "r"));
    QVERIFY(out->errorAs<DecodeError>());
}

void TestAPI::voicesEmptyObjectIsNoVoices() {
    RecordingHttpServer server;
    server.enqueue(ScriptedAnswer::json(200, "{}"));
    API api(envFor(server), std::nullopt);
    const auto out = await(api.voices());
    QVERIFY(out->value);
    QVERIFY(out->value->isEmpty());
}

void TestAPI::emptyAnswerReadsAsEmptyObject() {
    RecordingHttpServer server;
    server.enqueue(ScriptedAnswer::json(204, ""));
    server.enqueue(ScriptedAnswer::json(200, ""));
    API api(envFor(server), std::nullopt);
    QVERIFY(await(api.pause("r"))->value);
    // A record whose members are all optional reads from nothing too.
    const auto voices = await(api.json<VoiceList>("GET", "/v1/voices", {}, std::nullopt, false));
    QVERIFY(voices->value);
    QVERIFY(!voices->value->voices);
}

void TestAPI::emptyAnswerFailsForRequiredFields() {
    RecordingHttpServer server;
    server.enqueue(ScriptedAnswer::json(200, ""));
    server.enqueue(ScriptedAnswer::json(200, R"({"displayName":"x","scopes":"all"})"));
    server.enqueue(ScriptedAnswer::json(200, "<html>proxy</html>"));
    API api(envFor(server), std::nullopt);
    QCOMPARE(await(api.me())->errorAs<DecodeError>()->field(), QStringLiteral("Me.displayName"));
    QCOMPARE(await(api.me())->errorAs<DecodeError>()->field(), QStringLiteral("Me.scopes"));
    QCOMPARE(await(api.me())->errorAs<DecodeError>()->field(), QStringLiteral("Me"));
    QCOMPARE(server.requests().size(), 3); // decoding failures are never retried
}

void TestAPI::unavailableIsRetriedTwiceTwoSecondsApart() {
    RecordingHttpServer server;
    server.setDefault(
        ScriptedAnswer::json(503, R"({"code":"unavailable","message":"The recogniser is starting.",
                 "data":{"retryable":true}})"));
    API api(envFor(server), std::nullopt);
    const auto out = await(api.me(), 20s);
    QVERIFY(out->finished);
    const auto error = out->errorAs<APIError>();
    QVERIFY(error);
    QCOMPARE(error->code(), QStringLiteral("unavailable"));
    QCOMPARE(error->message(), QStringLiteral("The recogniser is starting."));
    QCOMPARE(error->status(), 503);
    QCOMPARE(error->retryable(), true);
    const auto& rs = server.requests();
    QCOMPARE(rs.size(), 3);
    for (int i = 1; i < 3; ++i) {
        const qint64 gap = rs[i].receivedAtMs - rs[i - 1].receivedAtMs;
        QVERIFY2(gap >= 1900 && gap < 3500, qPrintable(QString::number(gap)));
    }
}

void TestAPI::unavailableThenSuccess() {
    RecordingHttpServer server;
    server.enqueue(ScriptedAnswer::json(503, R"({"code":"unavailable"})"));
    server.enqueue(ScriptedAnswer::json(200, R"({"displayName":"Ada","scopes":[]})"));
    API api(envFor(server), QStringLiteral("k"));
    const auto out = await(api.me());
    QVERIFY(out->value);
    QCOMPARE(out->value->displayName, QStringLiteral("Ada"));
    QCOMPARE(server.requests().size(), 2);
    // The retry resends the same request.
    QCOMPARE(server.requests()[1].header("Authorization"), QByteArray("Bearer k"));
}

void TestAPI::otherCodesAreNotRetried_data() {
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::newRow("503 busy with another code")
        << 503 << QByteArray(R"({"code":"overloaded","data":{"retryable":true}})");
    QTest::newRow("500 html") << 500 << QByteArray("<html>boom</html>");
    QTest::newRow("Unavailable with capital") << 503 << QByteArray(R"({"code":"Unavailable"})");
}

void TestAPI::otherCodesAreNotRetried() {
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    RecordingHttpServer server;
    server.setDefault(ScriptedAnswer::json(status, body));
    API api(envFor(server), std::nullopt);
    const auto out = await(api.me());
    QVERIFY(out->errorAs<APIError>());
    QCOMPARE(out->errorAs<APIError>()->status(), status);
    QTest::qWait(300);
    QCOMPARE(server.requests().size(), 1);
}

void TestAPI::cancellationDuringTheRetryWait() {
    RecordingHttpServer server;
    server.setDefault(ScriptedAnswer::json(503, R"({"code":"unavailable"})"));
    API api(envFor(server), std::nullopt);
    std::stop_source stop;
    connect(&server, &RecordingHttpServer::requestReceived, this,
            [&] { QTimer::singleShot(200, [&] { stop.request_stop(); }); });
    const auto out = await(api.me(stop.get_token()), 5s);
    QVERIFY(out->finished);
    const auto error = out->errorAs<TransportError>();
    QVERIFY(error);
    QVERIFY(error->cancelled());
    QVERIFY(!out->errorAs<APIError>());
    QTest::qWait(2500); // no retry goes out after the cancellation
    QCOMPARE(server.requests().size(), 1);
}

void TestAPI::cancellationOfARunningRequest() {
    RecordingHttpServer server;
    server.setDefault(ScriptedAnswer::hang());
    API api(envFor(server), std::nullopt);
    std::stop_source stop;
    connect(&server, &RecordingHttpServer::requestReceived, this, [&] { stop.request_stop(); });
    const auto out = await(api.me(stop.get_token()), 5s);
    QVERIFY(out->finished);
    QVERIFY(out->errorAs<TransportError>());
    QVERIFY(out->errorAs<TransportError>()->cancelled());

    // Already cancelled: nothing is sent.
    const auto before = server.requests().size();
    QVERIFY(await(api.me(stop.get_token()))->errorAs<TransportError>());
    QCOMPARE(server.requests().size(), before);
}

void TestAPI::transportFailuresAreNotAPIErrors() {
    quint16 closedPort;
    {
        RecordingHttpServer gone;
        closedPort = gone.port();
    }
    API refused(Env{Env::Name::local, QUrl(QString("http://127.0.0.1:%1").arg(closedPort)),
                    QUrl("http://127.0.0.1:1")},
                std::nullopt);
    const auto out = await(refused.me());
    const auto error = out->errorAs<TransportError>();
    QVERIFY(error);
    QCOMPARE(error->code(), QNetworkReply::ConnectionRefusedError);
    QVERIFY(!error->description().isEmpty());

    RecordingHttpServer dropping;
    dropping.setDefault(ScriptedAnswer::drop());
    API api(envFor(dropping), std::nullopt);
    const auto dropped = await(api.me());
    QVERIFY(dropped->errorAs<TransportError>());
    QVERIFY(!dropped->errorAs<TransportError>()->cancelled());
    // Qt's HTTP layer itself resends once when a connection closes before any answer; `send`
    // adds no retry of its own on top.
    QTest::qWait(300);
    QVERIFY(dropping.requests().size() <= 2);
}

void TestAPI::errorBodiesOverTheWire_data() {
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("code");
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("retryable");

    QTest::newRow("service form") << 409 << QByteArray(R"({"code":"conflict","message":"Taken.",
        "data":{"retryable":false}})")
                                  << "conflict"
                                  << "Taken." << false;
    QTest::newRow("code only, retryable in data")
        << 429 << QByteArray(R"({"code":"rate_limited","data":{"retryable":true}})")
        << "rate_limited"
        << "rate_limited" << true;
    QTest::newRow("retryable at the top level is ignored")
        << 429 << QByteArray(R"({"code":"rate_limited","retryable":true})") << "rate_limited"
        << "rate_limited" << false;
    QTest::newRow("retryable not a boolean")
        << 429 << QByteArray(R"({"code":"x","data":{"retryable":"yes"}})") << "x"
        << "x" << false;
    QTest::newRow("message not a string")
        << 400 << QByteArray(R"({"code":"bad","message":5})") << "bad"
        << "bad" << false;
    QTest::newRow("oauth error only")
        << 400 << QByteArray(R"({"error":"invalid_request"})") << "invalid_request"
        << "invalid_request" << false;
    QTest::newRow("oauth with description")
        << 400 << QByteArray(R"({"error":"invalid_grant","error_description":"Expired."})")
        << "invalid_grant"
        << "Expired." << false;
    QTest::newRow("code not a string falls to error")
        << 400 << QByteArray(R"({"code":7,"error":"e"})") << "e"
        << "e" << false;
    QTest::newRow("message alone is not enough")
        << 400 << QByteArray(R"({"message":"Something."})") << "internal"
        << "Parloquent answered 400." << false;
    QTest::newRow("html") << 500 << QByteArray("<html><body>Bad gateway</body></html>")
                          << "internal"
                          << "Parloquent answered 500." << false;
    QTest::newRow("array") << 502 << QByteArray(R"([{"code":"x"}])") << "internal"
                           << "Parloquent answered 502." << false;
    QTest::newRow("empty 404") << 404 << QByteArray() << "internal"
                               << "Parloquent answered 404." << false;
    QTest::newRow("401 with body") << 401 << QByteArray(R"({"code":"unauthorized",
        "message":"The API key is not valid."})")
                                   << "unauthorized"
                                   << "The API key is not valid." << false;
    QTest::newRow("invalid utf-8") << 400 << QByteArray("{\"code\":\"\xff\"}") << "internal"
                                   << "Parloquent answered 400." << false;
}

void TestAPI::errorBodiesOverTheWire() {
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(QString, code);
    QFETCH(QString, message);
    QFETCH(bool, retryable);
    RecordingHttpServer server;
    server.setDefault(ScriptedAnswer::json(status, body));
    API api(envFor(server), QStringLiteral("k"));
    const auto out = await(api.me());
    const auto error = out->errorAs<APIError>();
    QVERIFY(error);
    QCOMPARE(error->code(), code);
    QCOMPARE(error->message(), message);
    QCOMPARE(error->description(), message);
    QCOMPARE(error->status(), status);
    QCOMPARE(error->retryable(), retryable);
}

void TestAPI::oversizedAnswerIsRefused() {
    RecordingHttpServer server;
    server.enqueue(ScriptedAnswer::json(200, QByteArray(API::maxAnswerBytes + 1024, ' ')));
    API api(envFor(server), std::nullopt);
    const auto out = await(api.me(), 30s);
    QVERIFY(out->finished);
    const auto error = out->errorAs<TransportError>();
    QVERIFY(error);
    QVERIFY(error->description().contains(QLatin1String("larger than")));
}

void TestAPI::destroyingTheClientEndsItsRequests() {
    RecordingHttpServer server;
    server.setDefault(ScriptedAnswer::hang());
    auto api = std::make_unique<API>(envFor(server), std::nullopt);
    auto out = std::make_shared<Outcome<Me>>();
    detail::drive(api->me(), out);
    QTRY_COMPARE(server.requests().size(), 1);
    api.reset();
    QVERIFY(out->finished);
    QVERIFY(out->errorAs<TransportError>());
}

void TestAPI::bytesAsksForAnything() {
    RecordingHttpServer server;
    server.enqueue(ScriptedAnswer::json(200, QByteArray("\x00\x01\x02", 3)));
    API api(envFor(server), QStringLiteral("k"));
    const auto out = await(api.bytes("/v1/voices/preview", {{"voice", "a"}}));
    QCOMPARE(*out->value, QByteArray("\x00\x01\x02", 3));
    QCOMPARE(server.last().header("Accept"), QByteArray("*/*"));
    QCOMPARE(server.last().header("Authorization"), QByteArray("Bearer k"));
}

void TestAPI::deviceIdIsMadeOnceAndStored() {
    const QString id = API::deviceId();
    static const QRegularExpression shape(
        QStringLiteral("^linux-[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$"));
    QVERIFY2(shape.match(id).hasMatch(), qPrintable(id));
    QCOMPARE(API::deviceId(), id);
    const QSettings settings(QStringLiteral("Parloquent"), QStringLiteral("Parloquent"));
    QCOMPARE(settings.value("deviceId").toString(), id);
    QVERIFY(QFile::exists(m_config.filePath("Parloquent/Parloquent.conf")));
}

QTEST_GUILESS_MAIN(TestAPI)
#include "tst_API.moc"
