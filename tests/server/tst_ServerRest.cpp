// The REST interface of a running server, route by route: authentication, the exact shape of
// every answer (written out by hand), pagination, validation errors, and the life of a recording
// as REST sees it (start, device conflicts and takeover, pause, resume, stop).
#include "ServerProcess.h"
#include "TestClient.h"
#include "WsClient.h"

#include <QJsonArray>
#include <QRegularExpression>
#include <QTest>

using namespace pq::test;

namespace {

QJsonObject errorBody(const QString& code, const QString& message, bool retryable = false) {
    return QJsonObject{
        {QStringLiteral("code"), code},
        {QStringLiteral("message"), message},
        {QStringLiteral("data"), QJsonObject{{QStringLiteral("retryable"), retryable}}}};
}

QJsonObject liveBody(const QString& name) {
    return QJsonObject{
        {QStringLiteral("name"), name},
        {QStringLiteral("settings"), QJsonObject{{QStringLiteral("spokenLanguage"), QJsonValue()}}},
        {QStringLiteral("source"), QJsonObject{{QStringLiteral("kind"), QStringLiteral("mic")}}}};
}

QJsonObject startBody(const QString& device, bool takeover) {
    return QJsonObject{{QStringLiteral("deviceId"), device},
                       {QStringLiteral("takeover"), takeover}};
}

bool isTimestamp(const QJsonValue& v) {
    static const QRegularExpression iso(
        QStringLiteral("^\\d{4}-\\d{2}-\\d{2}T\\d{2}:\\d{2}:\\d{2}\\.\\d{3}Z$"));
    return v.isString() && iso.match(v.toString()).hasMatch();
}

} // namespace

class TestServerRest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void keysAreNeededAndChecked();
    void revokedKeyIsRefusedAtOnce();
    void keyCommandsOnTheCommandLine();
    void meLanguagesVoices();
    void unknownAddressesAndMethods();
    void liveTranscriptionIsCreated();
    void liveTranscriptionBodiesAreChecked_data();
    void liveTranscriptionBodiesAreChecked();
    void transcriptionsArePaged();
    void badPagingParameters_data();
    void badPagingParameters();
    void recordingLifecycle();
    void secondDeviceNeedsTakeover();
    void settingsPatch();
    void broadcastsActiveAndArchived();
    void summariesAreUnavailable();
    void searchNeedsText();
    // Last: it fills every place for live sessions.
    void realtimeSessions();

private:
    std::unique_ptr<ServerProcess> m_server;
    std::unique_ptr<TestClient> m_api;
};

void TestServerRest::initTestCase() {
    m_server = std::make_unique<ServerProcess>(
        QStringList{QStringLiteral("--warm"), QStringLiteral("0"), QStringLiteral("--max-sessions"),
                    QStringLiteral("3")});
    QVERIFY2(m_server->start(), qPrintable(m_server->error()));
    QVERIFY2(m_server->waitForRecognizer(), qPrintable(m_server->error()));
    m_api = std::make_unique<TestClient>(m_server->base(), m_server->key());
}

void TestServerRest::cleanupTestCase() {
    m_api.reset();
    if (m_server)
        QCOMPARE(m_server->stop(), 0);
}

void TestServerRest::keysAreNeededAndChecked() {
    TestClient anonymous(m_server->base(), QString());
    Answer a = anonymous.get(QStringLiteral("/v1/me"));
    QCOMPARE(a.status, 401);
    QCOMPARE(a.json(), errorBody(QStringLiteral("unauthorized"),
                                 QStringLiteral("Sign in first: this request needs an API key.")));
    QCOMPARE(a.header("WWW-Authenticate"), QByteArray("Bearer"));

    // Every /v1/ route wants the key, even unknown ones (nothing is revealed without it).
    QCOMPARE(anonymous.get(QStringLiteral("/v1/transcriptions")).status, 401);
    QCOMPARE(anonymous.get(QStringLiteral("/v1/nothing-here")).status, 401);
    QCOMPARE(anonymous.post(QStringLiteral("/v1/realtime/sessions"), {}).status, 401);

    const QJsonObject invalid =
        errorBody(QStringLiteral("invalid_key"),
                  QStringLiteral("This API key is not valid or has been revoked."));
    for (const QString& wrong : {QStringLiteral("pq_key_00000000000000000000000000000000"),
                                 QStringLiteral("not-a-key"), m_server->key() + QLatin1Char('x')}) {
        TestClient client(m_server->base(), wrong);
        a = client.get(QStringLiteral("/v1/me"));
        QCOMPARE(a.status, 401);
        QCOMPARE(a.json(), invalid);
    }
    // The scheme must be Bearer.
    TestClient basic(m_server->base(), QString());
    QNetworkAccessManager net;
    QNetworkRequest request(QUrl(m_server->base().toString() + QStringLiteral("/v1/me")));
    request.setRawHeader("Authorization", "Basic " + m_server->key().toUtf8());
    QNetworkReply* reply = net.get(request);
    QTRY_VERIFY(reply->isFinished());
    QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 401);
    delete reply;

    // The token exchange is the one route without a key; it answers in the OAuth form.
    a = anonymous.send("POST", QStringLiteral("/v1/connect/token"), "grant_type=authorization_code",
                       false, "application/x-www-form-urlencoded");
    QCOMPARE(a.status, 400);
    QCOMPARE(a.json().value(QStringLiteral("error")).toString(), QStringLiteral("invalid_request"));
    QVERIFY(a.json().value(QStringLiteral("error_description")).isString());
}

void TestServerRest::revokedKeyIsRefusedAtOnce() {
    QString out;
    QCOMPARE(
        m_server->command(
            {QStringLiteral("keys"), QStringLiteral("create"), QStringLiteral("laptop")}, &out),
        0);
    const QString key = out.trimmed();
    QVERIFY(QRegularExpression(QStringLiteral("^pq_key_[0-9A-Za-z]{32}$")).match(key).hasMatch());
    TestClient client(m_server->base(), key);
    const Answer me = client.get(QStringLiteral("/v1/me"));
    QCOMPARE(me.status, 200);
    const QString id = me.json().value(QStringLiteral("apiKeyId")).toString();

    // Revoked by the command line while the server runs: the next request is refused.
    QCOMPARE(m_server->command({QStringLiteral("keys"), QStringLiteral("revoke"), id}), 0);
    QCOMPARE(client.get(QStringLiteral("/v1/me")).status, 401);
    // Revoking twice, or a key that does not exist, fails.
    QCOMPARE(m_server->command({QStringLiteral("keys"), QStringLiteral("revoke"), id}), 1);
    QCOMPARE(m_server->command(
                 {QStringLiteral("keys"), QStringLiteral("revoke"), QStringLiteral("key_nope")}),
             1);
    // The first key still works.
    QCOMPARE(m_api->get(QStringLiteral("/v1/me")).status, 200);
}

void TestServerRest::keyCommandsOnTheCommandLine() {
    QString out;
    QCOMPARE(m_server->command({QStringLiteral("keys"), QStringLiteral("list")}, &out), 0);
    const QStringList lines = out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QVERIFY(lines.size() >= 2);
    QVERIFY(lines[0].startsWith(QLatin1String("ID")));
    QVERIFY(lines[1].contains(QLatin1String(" test ")));
    QVERIFY(lines[1].endsWith(QLatin1String("active")));
    // Secrets are never listed, and not stored either.
    QVERIFY(!out.contains(m_server->key()));
    QFile db(m_server->dataDir() + QStringLiteral("/service.db"));
    QVERIFY(db.open(QIODevice::ReadOnly));
    QVERIFY(!db.readAll().contains(m_server->key().toUtf8()));

    QString err;
    QCOMPARE(
        m_server->command({QStringLiteral("keys"), QStringLiteral("frobnicate")}, nullptr, &err),
        1);
    QVERIFY(err.contains(QLatin1String("keys create NAME")));
    QCOMPARE(m_server->command({QStringLiteral("nonsense")}), 1);
}

void TestServerRest::meLanguagesVoices() {
    const Answer me = m_api->get(QStringLiteral("/v1/me"));
    QCOMPARE(me.status, 200);
    QCOMPARE(me.header("Content-Type"), QByteArray("application/json"));
    QJsonObject body = me.json();
    QVERIFY(body.value(QStringLiteral("apiKeyId")).toString().startsWith(QLatin1String("key_")));
    QVERIFY(body.value(QStringLiteral("userId")).toString().startsWith(QLatin1String("usr_")));
    QVERIFY(!body.value(QStringLiteral("displayName")).toString().isEmpty());
    body.remove(QStringLiteral("apiKeyId"));
    body.remove(QStringLiteral("userId"));
    body.remove(QStringLiteral("displayName"));
    QCOMPARE(body, (QJsonObject{
                       {QStringLiteral("scopes"),
                        QJsonArray{QStringLiteral("transcriptions"), QStringLiteral("recordings"),
                                   QStringLiteral("realtime"), QStringLiteral("search")}}}));

    // English is transcribed; the apertium pairs installed by scripts/setup are the reading
    // languages; espeak-ng has voices for all but Galician.
    const auto lang = [](const char* code, const char* flag, const char* name, const char* native,
                         bool transcription, bool translation, bool voice) {
        QJsonObject o{{QStringLiteral("code"), QString::fromLatin1(code)},
                      {QStringLiteral("name"), QString::fromUtf8(name)},
                      {QStringLiteral("native"), QString::fromUtf8(native)},
                      {QStringLiteral("transcription"), transcription},
                      {QStringLiteral("translation"), translation},
                      {QStringLiteral("voice"), voice}};
        if (*flag)
            o.insert(QStringLiteral("flag"), QString::fromUtf8(flag));
        return o;
    };
    const QJsonObject expected{
        {QStringLiteral("languages"),
         QJsonArray{lang("ca", "", "Catalan", "Català", false, true, true),
                    lang("en", "🇺🇸", "English", "English", true, false, true),
                    lang("eo", "", "Esperanto", "Esperanto", false, true, true),
                    lang("es", "🇪🇸", "Spanish", "Español", false, true, true),
                    lang("gl", "", "Galician", "Galego", false, true, false)}}};
    QCOMPARE(m_api->get(QStringLiteral("/v1/languages")).json(), expected);

    // No own voices yet; the catalogue is tested with tst_server_voices.
    QCOMPARE(m_api->get(QStringLiteral("/v1/voices")).json(),
             (QJsonObject{{QStringLiteral("voices"), QJsonArray()}}));
    QCOMPARE(m_api->get(QStringLiteral("/v1/voices/available")).status, 400);
    QCOMPARE(m_api->get(QStringLiteral("/v1/voices/available?lang=%3Cscript%3E")).status, 400);
    const Answer preview =
        m_api->get(QStringLiteral("/v1/voices/preview?format=caf&lang=es&voice=x"));
    QCOMPARE(preview.status, 404);
    QCOMPARE(preview.code(), QStringLiteral("voice_not_found"));
    QCOMPARE(m_api->get(QStringLiteral("/v1/voices/v1/preview?format=caf&lang=es")).status, 404);
}

void TestServerRest::unknownAddressesAndMethods() {
    Answer a = m_api->get(QStringLiteral("/v1/nothing-here"));
    QCOMPARE(a.status, 404);
    QCOMPARE(a.json(), errorBody(QStringLiteral("not_found"),
                                 QStringLiteral("There is nothing at this address.")));
    QCOMPARE(m_api->get(QStringLiteral("/")).status, 404);
    QCOMPARE(m_api->get(QStringLiteral("/v2/me")).status, 404);

    a = m_api->send("DELETE", QStringLiteral("/v1/me"));
    QCOMPARE(a.status, 405);
    QCOMPARE(a.code(), QStringLiteral("method_not_allowed"));
    QCOMPARE(a.header("Allow"), QByteArray("GET"));
    a = m_api->send("PUT", QStringLiteral("/v1/transcriptions"), "{}");
    QCOMPARE(a.status, 405);
    QCOMPARE(a.header("Allow"), QByteArray("GET, POST"));

    // Addresses are checked before anything is fetched (the rest is tst_server_upload's).
    a = m_api->post(QStringLiteral("/v1/transcriptions"),
                    QJsonObject{{QStringLiteral("url"), QStringLiteral("gopher://example.org/v")}});
    QCOMPARE(a.status, 400);
    QCOMPARE(a.code(), QStringLiteral("invalid_request"));

    // WebSocket addresses asked for with plain HTTP.
    a = m_api->get(QStringLiteral("/v1/stream/rt_x?token=y"));
    QCOMPARE(a.status, 426);
    QCOMPARE(a.code(), QStringLiteral("upgrade_required"));

    const Answer health = m_api->send("GET", QStringLiteral("/health"), {}, false);
    QCOMPARE(health.status, 200);
    QCOMPARE(health.json().value(QStringLiteral("recognizer")).toString(), QStringLiteral("ready"));
}

void TestServerRest::liveTranscriptionIsCreated() {
    const Answer a = m_api->post(QStringLiteral("/v1/transcriptions/live"),
                                 liveBody(QStringLiteral("  Weekly sync  ")));
    QCOMPARE(a.status, 201);
    QJsonObject t = a.json();
    QVERIFY(t.value(QStringLiteral("id")).toString().startsWith(QLatin1String("tr_")));
    QVERIFY(isTimestamp(t.value(QStringLiteral("createdAt"))));
    const QString id = t.value(QStringLiteral("id")).toString();
    t.remove(QStringLiteral("id"));
    t.remove(QStringLiteral("createdAt"));
    QCOMPARE(t, (QJsonObject{{QStringLiteral("name"), QStringLiteral("Weekly sync")},
                             {QStringLiteral("live"), true}}));

    const Answer again = m_api->get(QStringLiteral("/v1/transcriptions/") + id);
    QCOMPARE(again.status, 200);
    QCOMPARE(again.json().value(QStringLiteral("name")).toString(), QStringLiteral("Weekly sync"));
    QCOMPARE(m_api->get(QStringLiteral("/v1/transcriptions/tr_missing")).status, 404);

    // An empty name gets a default one; settings with labels and English are kept.
    QJsonObject body = liveBody(QString());
    body.insert(QStringLiteral("settings"),
                QJsonObject{{QStringLiteral("spokenLanguage"), QStringLiteral("en")},
                            {QStringLiteral("speakerLabels"), QStringLiteral("on")}});
    const Answer unnamed = m_api->post(QStringLiteral("/v1/transcriptions/live"), body);
    QCOMPARE(unnamed.status, 201);
    QCOMPARE(unnamed.json().value(QStringLiteral("name")).toString(),
             QStringLiteral("Live transcription"));
}

void TestServerRest::liveTranscriptionBodiesAreChecked_data() {
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("field");
    QTest::newRow("not json") << QByteArray("{name:") << 400 << QString();
    QTest::newRow("array") << QByteArray("[]") << 400 << QString();
    QTest::newRow("empty") << QByteArray() << 400 << QString();
    QTest::newRow("name missing") << QByteArray(R"({"settings":{},"source":{}})") << 400
                                  << QStringLiteral("name");
    QTest::newRow("name a number")
        << QByteArray(R"({"name":5,"settings":{},"source":{}})") << 400 << QStringLiteral("name");
    QTest::newRow("settings missing")
        << QByteArray(R"({"name":"a","source":{}})") << 400 << QStringLiteral("settings");
    QTest::newRow("settings a string") << QByteArray(R"({"name":"a","settings":"x","source":{}})")
                                       << 400 << QStringLiteral("settings");
    QTest::newRow("language a number")
        << QByteArray(R"({"name":"a","settings":{"spokenLanguage":1},"source":{}})") << 400
        << QStringLiteral("settings.spokenLanguage");
    QTest::newRow("labels wrong")
        << QByteArray(R"({"name":"a","settings":{"speakerLabels":"maybe"},"source":{}})") << 400
        << QStringLiteral("speakerLabels");
    QTest::newRow("source kind a number")
        << QByteArray(R"({"name":"a","settings":{},"source":{"kind":3}})") << 400
        << QStringLiteral("source.kind");
    QTest::newRow("source missing")
        << QByteArray(R"({"name":"a","settings":{}})") << 400 << QStringLiteral("source");
    QTest::newRow("name too long")
        << (QByteArray(R"({"name":")") + QByteArray(600, 'a') + R"(","settings":{},"source":{}})")
        << 400 << QStringLiteral("name");
    QTest::newRow("language not transcribed")
        << QByteArray(R"({"name":"a","settings":{"spokenLanguage":"fr"},"source":{}})") << 422
        << QString();
}

void TestServerRest::liveTranscriptionBodiesAreChecked() {
    QFETCH(QByteArray, body);
    QFETCH(int, status);
    QFETCH(QString, field);
    const Answer a = m_api->send("POST", QStringLiteral("/v1/transcriptions/live"), body);
    QCOMPARE(a.status, status);
    QCOMPARE(a.code(), status == 422 ? QStringLiteral("unsupported_language")
                                     : QStringLiteral("invalid_request"));
    QVERIFY(!a.json().value(QStringLiteral("message")).toString().isEmpty());
    QCOMPARE(a.json().value(QStringLiteral("data")).toObject().value(QStringLiteral("retryable")),
             QJsonValue(false));
    if (!field.isEmpty())
        QCOMPARE(a.json()
                     .value(QStringLiteral("data"))
                     .toObject()
                     .value(QStringLiteral("field"))
                     .toString(),
                 field);
}

void TestServerRest::transcriptionsArePaged() {
    // A fresh server so the count is known.
    ServerProcess server({QStringLiteral("--warm"), QStringLiteral("0")});
    QVERIFY2(server.start(), qPrintable(server.error()));
    TestClient api(server.base(), server.key());
    QCOMPARE(api.get(QStringLiteral("/v1/transcriptions?limit=5")).json(),
             (QJsonObject{{QStringLiteral("transcriptions"), QJsonArray()}}));
    QStringList ids;
    for (int i = 0; i < 5; ++i) {
        const Answer a = api.post(QStringLiteral("/v1/transcriptions/live"),
                                  liveBody(QStringLiteral("T%1").arg(i)));
        QCOMPARE(a.status, 201);
        ids.prepend(a.json().value(QStringLiteral("id")).toString()); // newest first
    }
    QStringList seen;
    QString cursor;
    int pages = 0;
    do {
        const QString query = cursor.isEmpty() ? QStringLiteral("?limit=2")
                                               : QStringLiteral("?cursor=%1&limit=2").arg(cursor);
        const Answer a = api.get(QStringLiteral("/v1/transcriptions") + query);
        QCOMPARE(a.status, 200);
        const QJsonArray list = a.json().value(QStringLiteral("transcriptions")).toArray();
        QVERIFY(list.size() <= 2);
        for (const auto& t : list)
            seen.append(t.toObject().value(QStringLiteral("id")).toString());
        cursor = a.json().value(QStringLiteral("nextCursor")).toString();
        // nextCursor is there exactly when more follow.
        QCOMPARE(a.json().contains(QStringLiteral("nextCursor")), seen.size() < 5);
        ++pages;
    } while (!cursor.isEmpty() && pages < 10);
    QCOMPARE(pages, 3);
    QCOMPARE(seen, ids);
    // The default page holds them all; a page of exactly all has no cursor.
    const Answer all = api.get(QStringLiteral("/v1/transcriptions?limit=5"));
    QCOMPARE(all.json().value(QStringLiteral("transcriptions")).toArray().size(), 5);
    QVERIFY(!all.json().contains(QStringLiteral("nextCursor")));
    QCOMPARE(server.stop(), 0);
}

void TestServerRest::badPagingParameters_data() {
    QTest::addColumn<QString>("query");
    QTest::newRow("limit 0") << QStringLiteral("?limit=0");
    QTest::newRow("limit 101") << QStringLiteral("?limit=101");
    QTest::newRow("limit text") << QStringLiteral("?limit=ten");
    QTest::newRow("cursor garbage") << QStringLiteral("?cursor=%25%25%25");
    QTest::newRow("cursor not ours")
        << QStringLiteral("?cursor=") + QString::fromLatin1(QByteArray("x:5").toBase64());
    QTest::newRow("cursor negative")
        << QStringLiteral("?cursor=") + QString::fromLatin1(QByteArray("t:-5").toBase64());
}

void TestServerRest::badPagingParameters() {
    QFETCH(QString, query);
    const Answer a = m_api->get(QStringLiteral("/v1/transcriptions") + query);
    QCOMPARE(a.status, 400);
    QCOMPARE(a.code(), QStringLiteral("invalid_request"));
}

void TestServerRest::recordingLifecycle() {
    const QString transcription = m_api->createLive(QStringLiteral("Lifecycle"));
    const Answer started =
        m_api->post(QStringLiteral("/v1/transcriptions/%1/recordings").arg(transcription),
                    startBody(QStringLiteral("linux-a"), false));
    QCOMPARE(started.status, 201);
    QJsonObject grant = started.json();
    const QJsonObject recording = grant.value(QStringLiteral("recording")).toObject();
    const QString id = recording.value(QStringLiteral("id")).toString();
    QVERIFY(id.startsWith(QLatin1String("rec_")));
    QCOMPARE(recording, (QJsonObject{{QStringLiteral("id"), id},
                                     {QStringLiteral("transcriptionId"), transcription},
                                     {QStringLiteral("state"), QStringLiteral("live")}}));
    const QString sessionId = grant.value(QStringLiteral("sessionId")).toString();
    QVERIFY(sessionId.startsWith(QLatin1String("rt_")));
    const QRegularExpression stream(
        QStringLiteral("^ws://127\\.0\\.0\\.1:%1/v1/stream/%2\\?token=[0-9A-Za-z]{32}$")
            .arg(m_server->port())
            .arg(sessionId));
    QVERIFY2(stream.match(grant.value(QStringLiteral("streamUrl")).toString()).hasMatch(),
             qPrintable(grant.value(QStringLiteral("streamUrl")).toString()));

    // The library shows it in progress.
    QJsonObject t = m_api->get(QStringLiteral("/v1/transcriptions/") + transcription).json();
    QCOMPARE(t.value(QStringLiteral("currentRecording")).toObject(),
             (QJsonObject{{QStringLiteral("recordingId"), id},
                          {QStringLiteral("state"), QStringLiteral("live")}}));
    QCOMPARE(t.value(QStringLiteral("lastRecording")).toObject(),
             (QJsonObject{{QStringLiteral("recordingId"), id},
                          {QStringLiteral("state"), QStringLiteral("live")},
                          {QStringLiteral("durationS"), 0}}));

    const QString base = QStringLiteral("/v1/recordings/") + id;
    Answer a = m_api->post(base + QStringLiteral("/pause"), {});
    QCOMPARE(a.status, 200);
    QCOMPARE(a.json().value(QStringLiteral("state")).toString(), QStringLiteral("paused"));
    QCOMPARE(m_api->post(base + QStringLiteral("/pause"), {}).status, 200); // again: still paused
    QCOMPARE(m_api->get(base).json().value(QStringLiteral("state")).toString(),
             QStringLiteral("paused"));
    a = m_api->post(base + QStringLiteral("/resume"), {});
    QCOMPARE(a.status, 200);
    QCOMPARE(a.json().value(QStringLiteral("state")).toString(), QStringLiteral("live"));

    // Stop without any audio having been sent: finished at once.
    a = m_api->send("POST", base + QStringLiteral("/stop"), "{}");
    QCOMPARE(a.status, 200);
    QCOMPARE(a.json().value(QStringLiteral("state")).toString(), QStringLiteral("ready"));
    // Stopping again is fine (clients retry stops); pausing and resuming are not.
    QCOMPARE(m_api->send("POST", base + QStringLiteral("/stop"), "{}").status, 200);
    a = m_api->post(base + QStringLiteral("/pause"), {});
    QCOMPARE(a.status, 409);
    QCOMPARE(a.json(), errorBody(QStringLiteral("invalid_state"),
                                 QStringLiteral("The recording has ended.")));
    QCOMPARE(m_api->post(base + QStringLiteral("/resume"), {}).status, 409);
    // The stop body may carry a reason, and nothing else of the wrong type.
    QCOMPARE(m_api->send("POST", base + QStringLiteral("/stop"), R"({"reason":7})").status, 400);

    // Its one-time stream address died with it.
    WsClient uplink;
    QVERIFY(uplink.open(QUrl(grant.value(QStringLiteral("streamUrl")).toString())));
    const auto refused = uplink.waitForType(QStringLiteral("error"), 5000);
    QVERIFY(refused);
    QCOMPARE(refused->value(QStringLiteral("code")).toString(), QStringLiteral("invalid_token"));
    QVERIFY(uplink.waitClosed(5000));
    QCOMPARE(uplink.closeCode, 1008);

    t = m_api->get(QStringLiteral("/v1/transcriptions/") + transcription).json();
    QVERIFY(!t.contains(QStringLiteral("currentRecording")));
    QCOMPARE(t.value(QStringLiteral("lastRecording"))
                 .toObject()
                 .value(QStringLiteral("state"))
                 .toString(),
             QStringLiteral("ready"));

    QCOMPARE(m_api->post(QStringLiteral("/v1/recordings/rec_missing/pause"), {}).status, 404);
    QCOMPARE(m_api
                 ->post(QStringLiteral("/v1/transcriptions/tr_missing/recordings"),
                        startBody(QStringLiteral("linux-a"), false))
                 .status,
             404);
    // Wrong types in the start body.
    a = m_api->send("POST", QStringLiteral("/v1/transcriptions/%1/recordings").arg(transcription),
                    R"({"deviceId":"linux-a","takeover":"no"})");
    QCOMPARE(a.status, 400);
    QCOMPARE(
        a.json().value(QStringLiteral("data")).toObject().value(QStringLiteral("field")).toString(),
        QStringLiteral("takeover"));
    a = m_api->send("POST", QStringLiteral("/v1/transcriptions/%1/recordings").arg(transcription),
                    R"({"takeover":false})");
    QCOMPARE(a.status, 400);
    QCOMPARE(
        a.json().value(QStringLiteral("data")).toObject().value(QStringLiteral("field")).toString(),
        QStringLiteral("deviceId"));
}

void TestServerRest::secondDeviceNeedsTakeover() {
    const QString transcription = m_api->createLive(QStringLiteral("Shared"));
    const QString path = QStringLiteral("/v1/transcriptions/%1/recordings").arg(transcription);
    const Answer first = m_api->post(path, startBody(QStringLiteral("linux-a"), false));
    QCOMPARE(first.status, 201);
    const QString firstId = first.json()
                                .value(QStringLiteral("recording"))
                                .toObject()
                                .value(QStringLiteral("id"))
                                .toString();

    WsClient uplink;
    QVERIFY(uplink.open(QUrl(first.json().value(QStringLiteral("streamUrl")).toString())));
    // With --warm 0 a recogniser is loaded for the session: "session.loading" comes first.
    QVERIFY(uplink.waitForType(QStringLiteral("session.ready"), 30'000));
    QCOMPARE(uplink.frames.first().value(QStringLiteral("type")).toString(),
             QStringLiteral("session.loading"));

    Answer a = m_api->post(path, startBody(QStringLiteral("linux-b"), false));
    QCOMPARE(a.status, 409);
    QCOMPARE(a.json(),
             errorBody(QStringLiteral("recording_elsewhere"),
                       QStringLiteral("This transcription is being recorded on another device. "
                                      "Take over the recording to continue here.")));

    a = m_api->post(path, startBody(QStringLiteral("linux-b"), true));
    QCOMPARE(a.status, 201);
    const QString secondId = a.json()
                                 .value(QStringLiteral("recording"))
                                 .toObject()
                                 .value(QStringLiteral("id"))
                                 .toString();
    QVERIFY(secondId != firstId);
    // The first device is told why its session ended.
    const auto done = uplink.waitForType(QStringLiteral("session.done"), 10'000);
    QVERIFY(done);
    QCOMPARE(done->value(QStringLiteral("reason")).toString(), QStringLiteral("takeover"));
    QVERIFY(uplink.waitClosed(5000));
    QTRY_COMPARE(m_api->get(QStringLiteral("/v1/recordings/") + firstId)
                     .json()
                     .value(QStringLiteral("state"))
                     .toString(),
                 QStringLiteral("ready"));

    // The same device starting again (say after a crash) replaces its own recording.
    a = m_api->post(path, startBody(QStringLiteral("linux-b"), false));
    QCOMPARE(a.status, 201);
    const QString third = a.json()
                              .value(QStringLiteral("recording"))
                              .toObject()
                              .value(QStringLiteral("id"))
                              .toString();
    QTRY_COMPARE(m_api->get(QStringLiteral("/v1/recordings/") + secondId)
                     .json()
                     .value(QStringLiteral("state"))
                     .toString(),
                 QStringLiteral("ready"));
    QCOMPARE(m_api->get(QStringLiteral("/v1/transcriptions/") + transcription)
                 .json()
                 .value(QStringLiteral("currentRecording"))
                 .toObject()
                 .value(QStringLiteral("recordingId"))
                 .toString(),
             third);
    QCOMPARE(m_api->post(QStringLiteral("/v1/recordings/%1/stop").arg(third), {}).status, 200);
}

void TestServerRest::settingsPatch() {
    const QString transcription = m_api->createLive(QStringLiteral("Settings"));
    const Answer started =
        m_api->post(QStringLiteral("/v1/transcriptions/%1/recordings").arg(transcription),
                    startBody(QStringLiteral("linux-a"), false));
    const QString id = started.json()
                           .value(QStringLiteral("recording"))
                           .toObject()
                           .value(QStringLiteral("id"))
                           .toString();
    const QString path = QStringLiteral("/v1/recordings/%1/settings").arg(id);
    Answer a = m_api->patch(path, QJsonObject{{QStringLiteral("spokenLanguage"), QJsonValue()}});
    QCOMPARE(a.status, 200);
    QCOMPARE(a.json(), QJsonObject());
    QCOMPARE(
        m_api
            ->patch(path, QJsonObject{{QStringLiteral("speakerLabels"), QStringLiteral("off")},
                                      {QStringLiteral("spokenLanguage"), QStringLiteral("en")}})
            .status,
        200);
    a = m_api->patch(path, QJsonObject{{QStringLiteral("spokenLanguage"), QStringLiteral("de")}});
    QCOMPARE(a.status, 422);
    QCOMPARE(a.code(), QStringLiteral("unsupported_language"));
    QCOMPARE(
        m_api->patch(path, QJsonObject{{QStringLiteral("speakerLabels"), QStringLiteral("loud")}})
            .status,
        400);
    QCOMPARE(m_api->patch(path, QJsonObject{{QStringLiteral("speakerLabels"), true}}).status, 400);
    QCOMPARE(m_api->send("PATCH", path, "nope").status, 400);
    QCOMPARE(m_api->patch(QStringLiteral("/v1/recordings/rec_missing/settings"), {}).status, 404);
    QCOMPARE(m_api->post(QStringLiteral("/v1/recordings/%1/stop").arg(id), {}).status, 200);
}

void TestServerRest::realtimeSessions() {
    Answer a = m_api->post(QStringLiteral("/v1/realtime/sessions"), QJsonObject());
    QCOMPARE(a.status, 201);
    QCOMPARE(a.json().keys(),
             (QStringList{QStringLiteral("sessionId"), QStringLiteral("streamUrl")}));
    QVERIFY(
        a.json().value(QStringLiteral("sessionId")).toString().startsWith(QLatin1String("rt_")));

    a = m_api->post(QStringLiteral("/v1/realtime/sessions"),
                    QJsonObject{{QStringLiteral("spokenLanguage"), QStringLiteral("en")},
                                {QStringLiteral("speakerLabels"), QStringLiteral("auto")},
                                {QStringLiteral("translate"),
                                 QJsonArray{QStringLiteral("es"), QStringLiteral("ca")}}});
    QCOMPARE(a.status, 201);
    a = m_api->post(QStringLiteral("/v1/realtime/sessions"),
                    QJsonObject{{QStringLiteral("translate"), QJsonArray{QStringLiteral("ja")}}});
    QCOMPARE(a.status, 422);
    QCOMPARE(a.code(), QStringLiteral("unsupported_language"));
    QCOMPARE(m_api
                 ->post(QStringLiteral("/v1/realtime/sessions"),
                        QJsonObject{{QStringLiteral("translate"), QStringLiteral("es")}})
                 .status,
             400);
    QCOMPARE(m_api
                 ->post(QStringLiteral("/v1/realtime/sessions"),
                        QJsonObject{{QStringLiteral("translate"), QJsonArray{1}}})
                 .status,
             400);

    // Three live streams at most (--max-sessions 3): the fourth is "unavailable", retryable.
    a = m_api->post(QStringLiteral("/v1/realtime/sessions"), QJsonObject());
    QCOMPARE(a.status, 201);
    a = m_api->post(QStringLiteral("/v1/realtime/sessions"), QJsonObject());
    QCOMPARE(a.status, 503);
    QCOMPARE(a.json(),
             errorBody(QStringLiteral("unavailable"),
                       QStringLiteral(
                           "Parloquent is busy with other live sessions. Try again in a minute."),
                       true));
    QCOMPARE(a.header("Retry-After"), QByteArray("2"));
}

void TestServerRest::broadcastsActiveAndArchived() {
    const QString transcription = m_api->createLive(QStringLiteral("Town hall"));
    QString out;
    QCOMPARE(m_server->command({QStringLiteral("broadcasts"), QStringLiteral("create"),
                                QStringLiteral("Town hall live"), transcription},
                               &out),
             0);
    const QStringList created = out.trimmed().split(QLatin1Char(' '));
    QCOMPARE(created.size(), 2);
    QCOMPARE(
        m_server->command(
            {QStringLiteral("broadcasts"), QStringLiteral("create"), QStringLiteral("Old")}, &out),
        0);
    const QString old = out.trimmed().split(QLatin1Char(' ')).first();
    QCOMPARE(m_server->command({QStringLiteral("broadcasts"), QStringLiteral("archive"), old}), 0);
    QCOMPARE(m_server->command({QStringLiteral("broadcasts"), QStringLiteral("create"),
                                QStringLiteral("x"), QStringLiteral("tr_missing")}),
             1);

    const Answer started =
        m_api->post(QStringLiteral("/v1/transcriptions/%1/recordings").arg(transcription),
                    startBody(QStringLiteral("linux-a"), false));
    const QString recording = started.json()
                                  .value(QStringLiteral("recording"))
                                  .toObject()
                                  .value(QStringLiteral("id"))
                                  .toString();
    WsClient listener;
    QVERIFY(
        listener.open(m_server->wsUrl(QStringLiteral("/v1/recordings/%1/subscribe").arg(recording)),
                      m_server->key()));
    QVERIFY(listener.waitForType(QStringLiteral("subscribe.ready"), 5000));

    const Answer active = m_api->get(QStringLiteral("/v1/broadcasts?lifecycle=active"));
    QCOMPARE(active.status, 200);
    const QJsonArray list = active.json().value(QStringLiteral("broadcasts")).toArray();
    QCOMPARE(list.size(), 1);
    QJsonObject b = list.first().toObject();
    QVERIFY(isTimestamp(b.take(QStringLiteral("createdAt"))));
    QVERIFY(isTimestamp(b.take(QStringLiteral("lastRecordedAt"))));
    QCOMPARE(b, (QJsonObject{{QStringLiteral("id"), created[0]},
                             {QStringLiteral("name"), QStringLiteral("Town hall live")},
                             {QStringLiteral("code"), created[1]},
                             {QStringLiteral("listenersNow"), 0}, // open /s/ pages only
                             {QStringLiteral("currentRecording"),
                              QJsonObject{{QStringLiteral("recordingId"), recording},
                                          {QStringLiteral("state"), QStringLiteral("live")}}},
                             {QStringLiteral("lastRecording"),
                              QJsonObject{{QStringLiteral("recordingId"), recording},
                                          {QStringLiteral("state"), QStringLiteral("live")},
                                          {QStringLiteral("durationS"), 0}}}}));
    QVERIFY(QRegularExpression(QStringLiteral("^[2-9A-HJ-NP-Z]{6}$")).match(created[1]).hasMatch());
    QCOMPARE(m_api->get(QStringLiteral("/v1/broadcasts"))
                 .json()
                 .value(QStringLiteral("broadcasts"))
                 .toArray()
                 .size(),
             2);
    QCOMPARE(m_api->get(QStringLiteral("/v1/broadcasts?lifecycle=zombie")).status, 400);
    QCOMPARE(m_api->post(QStringLiteral("/v1/recordings/%1/stop").arg(recording), {}).status, 200);
}

void TestServerRest::summariesAreUnavailable() {
    const QString transcription = m_api->createLive(QStringLiteral("Summary"));
    const Answer started =
        m_api->post(QStringLiteral("/v1/transcriptions/%1/recordings").arg(transcription),
                    startBody(QStringLiteral("linux-a"), false));
    const QString id = started.json()
                           .value(QStringLiteral("recording"))
                           .toObject()
                           .value(QStringLiteral("id"))
                           .toString();
    QCOMPARE(m_api->get(QStringLiteral("/v1/recordings/%1/summary").arg(id)).json(),
             (QJsonObject{{QStringLiteral("state"), QStringLiteral("not_requested")}}));
    QCOMPARE(m_api->post(QStringLiteral("/v1/recordings/%1/stop").arg(id), {}).status, 200);
    // Nothing was said: there is nothing to summarise.
    QCOMPARE(m_api->send("POST", QStringLiteral("/v1/recordings/%1/summarize").arg(id)).json(),
             (QJsonObject{{QStringLiteral("state"), QStringLiteral("pending")}}));
    const QJsonObject unavailable{{QStringLiteral("state"), QStringLiteral("unavailable")}};
    QTRY_COMPARE(m_api->get(QStringLiteral("/v1/recordings/%1/summary").arg(id)).json(),
                 unavailable);
    QCOMPARE(m_api->get(QStringLiteral("/v1/recordings/rec_missing/summary")).status, 404);
}

void TestServerRest::searchNeedsText() {
    Answer a = m_api->get(QStringLiteral("/v1/search?limit=20"));
    QCOMPARE(a.status, 400);
    QCOMPARE(
        a.json().value(QStringLiteral("data")).toObject().value(QStringLiteral("field")).toString(),
        QStringLiteral("q"));
    QCOMPARE(m_api->get(QStringLiteral("/v1/search?limit=0&q=a")).status, 400);
    a = m_api->get(QStringLiteral("/v1/search?limit=20&q=nothing"));
    QCOMPARE(a.status, 200);
    QCOMPARE(a.json(), (QJsonObject{{QStringLiteral("hits"), QJsonArray()}}));
}

QTEST_MAIN(TestServerRest)
#include "tst_ServerRest.moc"
