// The audio uplink of a running server: the handshake, one-time stream addresses, protocol
// faults answered with "error" frames, and the ways a session ends ("eof" after draining,
// "max_duration", "idle", the client going away).
#include "ServerProcess.h"
#include "SpeechAudio.h"
#include "TestClient.h"
#include "WsClient.h"

#include <QFile>
#include <QJsonArray>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

using namespace pq::test;

class TestServerUplink : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void warmRecogniserIsReadyAtOnce();
    void streamAddressIsUsedOnce();
    void wrongTokensAreRefused_data();
    void wrongTokensAreRefused();
    void protocolFaultsGetErrorFrames();
    void unknownTypesAreIgnored();
    void tooManyFaultsEndTheSession();
    void eofEndsAfterTheLastWords();
    void maxDurationEndsTheSession();
    void idleSessionIsEnded();
    void clientGoingAwayFinishesTheRecording();
    void failedRecogniserRefusesLiveSessions();
    void unavailableWhileTheRecogniserLoads();
    void stoppingWithLiveStreamsIsClean();

private:
    QString newCaptionUrl(TestClient& api, const QJsonObject& options = {});
    std::unique_ptr<ServerProcess> m_server;
};

void TestServerUplink::initTestCase() {
    m_server = std::make_unique<ServerProcess>(QStringList{
        QStringLiteral("--grammar"), QStringLiteral(PQ_TEST_DATA "/server/sentences.jsgf"),
        QStringLiteral("--max-duration"), QStringLiteral("3"), QStringLiteral("--idle-timeout"),
        QStringLiteral("2")});
    QVERIFY2(m_server->start(), qPrintable(m_server->error()));
    QVERIFY2(m_server->waitForRecognizer(), qPrintable(m_server->error()));
}

void TestServerUplink::cleanupTestCase() {
    if (m_server)
        QCOMPARE(m_server->stop(), 0);
}

QString TestServerUplink::newCaptionUrl(TestClient& api, const QJsonObject& options) {
    const Answer a = api.post(QStringLiteral("/v1/realtime/sessions"), options);
    if (a.status != 201)
        qWarning() << a.status << a.body;
    return a.json().value(QStringLiteral("streamUrl")).toString();
}

void TestServerUplink::warmRecogniserIsReadyAtOnce() {
    TestClient api(m_server->base(), m_server->key());
    WsClient uplink;
    QVERIFY(uplink.open(QUrl(newCaptionUrl(api))));
    const auto ready = uplink.waitForType(QStringLiteral("session.ready"), 10'000);
    QVERIFY(ready);
    // A recogniser was kept loaded (--warm 1 by default): no "session.loading".
    QCOMPARE(uplink.frames.first().value(QStringLiteral("type")).toString(),
             QStringLiteral("session.ready"));
    QCOMPARE(ready->value(QStringLiteral("sampleRate")).toInt(), 16000);
    QCOMPARE(ready->value(QStringLiteral("maxDurationS")).toDouble(), 3.0);
    uplink.sendJson(QJsonObject{{QStringLiteral("type"), QStringLiteral("eof")}});
    QVERIFY(uplink.waitClosed(10'000));
}

void TestServerUplink::streamAddressIsUsedOnce() {
    TestClient api(m_server->base(), m_server->key());
    const QString url = newCaptionUrl(api);
    WsClient first;
    QVERIFY(first.open(QUrl(url)));
    QVERIFY(first.waitForType(QStringLiteral("session.ready"), 30'000));

    WsClient second;
    QVERIFY(second.open(QUrl(url)));
    const auto error = second.waitForType(QStringLiteral("error"), 5000);
    QVERIFY(error);
    QCOMPARE(
        *error,
        (QJsonObject{{QStringLiteral("type"), QStringLiteral("error")},
                     {QStringLiteral("code"), QStringLiteral("invalid_token")},
                     {QStringLiteral("message"),
                      QStringLiteral("This stream address is not valid. Start the session again.")},
                     {QStringLiteral("retryable"), false}}));
    QVERIFY(second.waitClosed(5000));
    QCOMPARE(second.closeCode, 1008);
    // The first session is not disturbed.
    QVERIFY(!first.closed);
    first.sendJson(QJsonObject{{QStringLiteral("type"), QStringLiteral("eof")}});
    QVERIFY(first.waitForType(QStringLiteral("session.done"), 10'000));
}

void TestServerUplink::wrongTokensAreRefused_data() {
    QTest::addColumn<QString>("pathAndQuery");
    QTest::newRow("no token") << QStringLiteral("/v1/stream/%1");
    QTest::newRow("empty token") << QStringLiteral("/v1/stream/%1?token=");
    QTest::newRow("wrong token") << QStringLiteral(
        "/v1/stream/%1?token=AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA");
    QTest::newRow("unknown session") << QStringLiteral("/v1/stream/rt_nobody?token=x");
}

void TestServerUplink::wrongTokensAreRefused() {
    QFETCH(QString, pathAndQuery);
    TestClient api(m_server->base(), m_server->key());
    const QUrl real(newCaptionUrl(api));
    const QString sessionId = real.path().section(QLatin1Char('/'), 3, 3);
    WsClient uplink;
    QVERIFY(uplink.open(m_server->wsUrl(
        pathAndQuery.contains(QLatin1String("%1")) ? pathAndQuery.arg(sessionId) : pathAndQuery)));
    const auto error = uplink.waitForType(QStringLiteral("error"), 5000);
    QVERIFY(error);
    QCOMPARE(error->value(QStringLiteral("code")).toString(), QStringLiteral("invalid_token"));
    QVERIFY(uplink.waitClosed(5000));
    QVERIFY(uplink.ofType(QStringLiteral("session.ready")).isEmpty());
    // A wrong try does not use the real address up.
    WsClient good;
    QVERIFY(good.open(real));
    QVERIFY(good.waitForType(QStringLiteral("session.ready"), 30'000));
    good.sendJson(QJsonObject{{QStringLiteral("type"), QStringLiteral("eof")}});
    QVERIFY(good.waitClosed(10'000));
}

void TestServerUplink::protocolFaultsGetErrorFrames() {
    TestClient api(m_server->base(), m_server->key());
    WsClient uplink;
    QVERIFY(uplink.open(QUrl(newCaptionUrl(api))));
    QVERIFY(uplink.waitForType(QStringLiteral("session.ready"), 30'000));
    const auto errorAfter = [&](int from) {
        return uplink.waitForType(QStringLiteral("error"), 5000, from);
    };

    int mark = uplink.frames.size();
    uplink.sendBinary(QByteArray(4001, '\x01')); // not whole float samples
    auto e = errorAfter(mark);
    QVERIFY(e);
    QCOMPARE(e->value(QStringLiteral("code")).toString(), QStringLiteral("bad_audio"));
    QCOMPARE(e->value(QStringLiteral("retryable")), QJsonValue(false));

    mark = uplink.frames.size();
    uplink.sendText(QStringLiteral("{not json"));
    e = errorAfter(mark);
    QVERIFY(e);
    QCOMPARE(e->value(QStringLiteral("code")).toString(), QStringLiteral("bad_message"));

    mark = uplink.frames.size();
    uplink.sendText(QStringLiteral("[1,2,3]"));
    QVERIFY(errorAfter(mark));

    mark = uplink.frames.size();
    uplink.sendJson(QJsonObject{{QStringLiteral("type"), 5}});
    QVERIFY(errorAfter(mark));

    mark = uplink.frames.size();
    uplink.sendJson(QJsonObject{{QStringLiteral("type"), QStringLiteral("clock")},
                                {QStringLiteral("pcm"), QStringLiteral("many")}});
    e = errorAfter(mark);
    QVERIFY(e);
    QCOMPARE(e->value(QStringLiteral("code")).toString(), QStringLiteral("bad_message"));

    mark = uplink.frames.size();
    uplink.sendJson(QJsonObject{{QStringLiteral("type"), QStringLiteral("session.update")},
                                {QStringLiteral("spokenLanguage"), QStringLiteral("fr")}});
    e = errorAfter(mark);
    QVERIFY(e);
    QCOMPARE(e->value(QStringLiteral("code")).toString(), QStringLiteral("unsupported_language"));

    mark = uplink.frames.size();
    uplink.sendJson(QJsonObject{
        {QStringLiteral("type"), QStringLiteral("session.update")},
        {QStringLiteral("translate"), QJsonArray{QStringLiteral("es"), QStringLiteral("xx")}}});
    e = errorAfter(mark);
    QVERIFY(e);
    QCOMPARE(e->value(QStringLiteral("code")).toString(), QStringLiteral("unsupported_language"));

    mark = uplink.frames.size();
    uplink.sendJson(QJsonObject{{QStringLiteral("type"), QStringLiteral("session.update")},
                                {QStringLiteral("speakerLabels"), QStringLiteral("sometimes")}});
    QVERIFY(errorAfter(mark));

    // After all that the session still works and ends normally.
    uplink.sendBinary(SpeechAudio::silence(0.5));
    uplink.sendJson(QJsonObject{{QStringLiteral("type"), QStringLiteral("eof")}});
    const auto done = uplink.waitForType(QStringLiteral("session.done"), 10'000);
    QVERIFY(done);
    QCOMPARE(done->value(QStringLiteral("reason")).toString(), QStringLiteral("eof"));
}

void TestServerUplink::unknownTypesAreIgnored() {
    TestClient api(m_server->base(), m_server->key());
    WsClient uplink;
    QVERIFY(uplink.open(QUrl(newCaptionUrl(api))));
    QVERIFY(uplink.waitForType(QStringLiteral("session.ready"), 30'000));
    uplink.sendJson(QJsonObject{{QStringLiteral("type"), QStringLiteral("session.future_feature")},
                                {QStringLiteral("x"), 1}});
    uplink.sendJson(QJsonObject{{QStringLiteral("type"), QStringLiteral("clock")},
                                {QStringLiteral("pcm"), 16000},
                                {QStringLiteral("wall"), 1.02}});
    uplink.sendJson(QJsonObject{{QStringLiteral("type"), QStringLiteral("session.update")},
                                {QStringLiteral("spokenLanguage"), QStringLiteral("auto")},
                                {QStringLiteral("speakerLabels"), QStringLiteral("on")},
                                {QStringLiteral("translate"), QJsonArray()}});
    uplink.sendBinary(QByteArray()); // an empty frame is no audio, not an error
    uplink.sendJson(QJsonObject{{QStringLiteral("type"), QStringLiteral("eof")}});
    QVERIFY(uplink.waitForType(QStringLiteral("session.done"), 10'000));
    QVERIFY(uplink.ofType(QStringLiteral("error")).isEmpty());
}

void TestServerUplink::tooManyFaultsEndTheSession() {
    TestClient api(m_server->base(), m_server->key());
    WsClient uplink;
    QVERIFY(uplink.open(QUrl(newCaptionUrl(api))));
    QVERIFY(uplink.waitForType(QStringLiteral("session.ready"), 30'000));
    for (int i = 0; i < 150; ++i)
        uplink.sendBinary(QByteArray(3, '\xff'));
    const auto done = uplink.waitForType(QStringLiteral("session.done"), 10'000);
    QVERIFY(done);
    QCOMPARE(done->value(QStringLiteral("reason")).toString(), QStringLiteral("protocol_error"));
    QVERIFY(uplink.waitClosed(5000));
    // Error frames stop once the session gives up: no flood back.
    QVERIFY(uplink.ofType(QStringLiteral("error")).size() <= 101);
}

void TestServerUplink::eofEndsAfterTheLastWords() {
    // No pause after the last sentence: the words are still being decoded when "eof" comes, and
    // must be committed before "session.done".
    QString error;
    QByteArray audio =
        SpeechAudio::synthesize({QStringLiteral("Thank you very much.")}, 0.0, &error);
    QVERIFY2(!audio.isEmpty(), qPrintable(error));
    audio.prepend(SpeechAudio::silence(0.8));
    TestClient api(m_server->base(), m_server->key());
    WsClient uplink;
    QVERIFY(uplink.open(QUrl(newCaptionUrl(api))));
    QVERIFY(uplink.waitForType(QStringLiteral("session.ready"), 30'000));
    SpeechAudio::stream(uplink, audio, 4.0);
    uplink.sendJson(QJsonObject{{QStringLiteral("type"), QStringLiteral("eof")}});
    QVERIFY(uplink.waitForType(QStringLiteral("session.done"), 10'000));
    const QList<QJsonObject> committed = uplink.ofType(QStringLiteral("transcript.committed"));
    QCOMPARE(committed.size(), 1);
    QCOMPARE(committed.first()
                 .value(QStringLiteral("segment"))
                 .toObject()
                 .value(QStringLiteral("text"))
                 .toString(),
             QStringLiteral("Thank you very much."));
    QCOMPARE(uplink.frames.last().value(QStringLiteral("type")).toString(),
             QStringLiteral("session.done"));
    QVERIFY(uplink.waitClosed(5000));
    QCOMPARE(uplink.closeCode, 1000);
    QCOMPARE(uplink.closeReason, QStringLiteral("eof"));
}

void TestServerUplink::maxDurationEndsTheSession() {
    TestClient api(m_server->base(), m_server->key());
    WsClient uplink;
    QVERIFY(uplink.open(QUrl(newCaptionUrl(api))));
    QVERIFY(uplink.waitForType(QStringLiteral("session.ready"), 30'000));
    // 3 s allowed: 4 s of audio sent quickly; the rest is dropped.
    SpeechAudio::stream(uplink, SpeechAudio::silence(4.0), 8.0);
    const auto done = uplink.waitForType(QStringLiteral("session.done"), 10'000);
    QVERIFY(done);
    QCOMPARE(done->value(QStringLiteral("reason")).toString(), QStringLiteral("max_duration"));
    QVERIFY(uplink.waitClosed(5000));
    QVERIFY(uplink.ofType(QStringLiteral("error")).isEmpty());
}

void TestServerUplink::idleSessionIsEnded() {
    TestClient api(m_server->base(), m_server->key());
    WsClient uplink;
    QVERIFY(uplink.open(QUrl(newCaptionUrl(api))));
    QVERIFY(uplink.waitForType(QStringLiteral("session.ready"), 30'000));
    const auto done = uplink.waitForType(QStringLiteral("session.done"), 10'000);
    QVERIFY(done);
    QCOMPARE(done->value(QStringLiteral("reason")).toString(), QStringLiteral("idle"));
    QVERIFY(uplink.waitClosed(5000));
}

void TestServerUplink::clientGoingAwayFinishesTheRecording() {
    TestClient api(m_server->base(), m_server->key());
    const QString transcription = api.createLive(QStringLiteral("Gone"));
    const LiveStart grant = api.startRecording(transcription, QStringLiteral("linux-x"));
    QCOMPARE(grant.status, 201);
    const QString recording = grant.recording;
    {
        WsClient uplink;
        QVERIFY(uplink.open(QUrl(grant.streamUrl)));
        QVERIFY(uplink.waitForType(QStringLiteral("session.ready"), 30'000));
        SpeechAudio::stream(uplink, SpeechAudio::silence(1.0), 8.0);
        uplink.socket.abort();
    }
    // No more audio can come (the address was used): the recording is finished, with its length.
    QTRY_COMPARE(api.get(QStringLiteral("/v1/recordings/") + recording)
                     .json()
                     .value(QStringLiteral("state"))
                     .toString(),
                 QStringLiteral("ready"));
    const QJsonObject t = api.get(QStringLiteral("/v1/transcriptions/") + transcription).json();
    QCOMPARE(t.value(QStringLiteral("lastRecording"))
                 .toObject()
                 .value(QStringLiteral("durationS"))
                 .toDouble(),
             1.0);
}

void TestServerUplink::failedRecogniserRefusesLiveSessions() {
    QTemporaryDir empty;
    ServerProcess broken({QStringLiteral("--model"), empty.path()});
    QVERIFY2(broken.start(), qPrintable(broken.error()));
    QVERIFY(!broken.waitForRecognizer(20'000));
    TestClient api(broken.base(), broken.key());
    const Answer a = api.post(QStringLiteral("/v1/realtime/sessions"), QJsonObject());
    QCOMPARE(a.status, 503);
    QCOMPARE(a.code(), QStringLiteral("engine_unavailable"));
    QCOMPARE(a.json().value(QStringLiteral("data")).toObject().value(QStringLiteral("retryable")),
             QJsonValue(false));
    QVERIFY(
        a.json().value(QStringLiteral("message")).toString().contains(QLatin1String("is missing")));
    // Everything else still works.
    QCOMPARE(api.get(QStringLiteral("/v1/me")).status, 200);
    QCOMPARE(broken.stop(), 0);

    // A grammar with a word the dictionary lacks: the reason reaches the answer.
    QFile grammar(empty.filePath(QStringLiteral("odd.jsgf")));
    QVERIFY(grammar.open(QIODevice::WriteOnly));
    grammar.write("#JSGF V1.0;\ngrammar odd;\npublic <s> = hello qzxwvk;\n");
    grammar.close();
    ServerProcess odd({QStringLiteral("--grammar"), grammar.fileName()});
    QVERIFY2(odd.start(), qPrintable(odd.error()));
    QVERIFY(!odd.waitForRecognizer(20'000));
    TestClient oddApi(odd.base(), odd.key());
    const Answer refused = oddApi.post(QStringLiteral("/v1/realtime/sessions"), QJsonObject());
    QCOMPARE(refused.status, 503);
    QVERIFY2(refused.json()
                 .value(QStringLiteral("message"))
                 .toString()
                 .endsWith(QLatin1String("(The word 'qzxwvk' is missing in the dictionary).")),
             refused.body.constData());
    QCOMPARE(odd.stop(), 0);
}

void TestServerUplink::unavailableWhileTheRecogniserLoads() {
    // The language model is read from a pipe: the recogniser stays loading until the test
    // feeds the pipe.
    QTemporaryDir dir;
    const QString fifo = dir.filePath(QStringLiteral("lm.fifo"));
    QCOMPARE(::mkfifo(fifo.toLocal8Bit().constData(), 0600), 0);
    ServerProcess loading({QStringLiteral("--warm"), QStringLiteral("0"),
                           QStringLiteral("--asr-option"), QStringLiteral("-lm=") + fifo});
    QVERIFY2(loading.start(), qPrintable(loading.error()));
    TestClient api(loading.base(), loading.key());
    QCOMPARE(api.send("GET", QStringLiteral("/health"), {}, false)
                 .json()
                 .value(QStringLiteral("recognizer"))
                 .toString(),
             QStringLiteral("loading"));
    Answer a = api.post(QStringLiteral("/v1/realtime/sessions"), QJsonObject());
    QCOMPARE(a.status, 503);
    QCOMPARE(a.json(),
             (QJsonObject{
                 {QStringLiteral("code"), QStringLiteral("unavailable")},
                 {QStringLiteral("message"),
                  QStringLiteral(
                      "Parloquent is still loading its speech recogniser. Try again in a moment.")},
                 {QStringLiteral("data"), QJsonObject{{QStringLiteral("retryable"), true}}}}));
    const Answer live = api.post(QStringLiteral("/v1/transcriptions/live"),
                                 QJsonObject{{QStringLiteral("name"), QStringLiteral("Early")},
                                             {QStringLiteral("settings"), QJsonObject()},
                                             {QStringLiteral("source"), QJsonObject()}});
    QCOMPARE(live.status, 201); // only live streams wait for the recogniser
    a = api.post(QStringLiteral("/v1/transcriptions/%1/recordings")
                     .arg(live.json().value(QStringLiteral("id")).toString()),
                 QJsonObject{{QStringLiteral("deviceId"), QStringLiteral("linux-x")},
                             {QStringLiteral("takeover"), false}});
    QCOMPARE(a.status, 503);
    QCOMPARE(a.code(), QStringLiteral("unavailable"));

    QProcess feeder;
    feeder.start(
        QStringLiteral("sh"),
        {QStringLiteral("-c"),
         QStringLiteral("exec cat /usr/share/pocketsphinx/model/en-us/en-us.lm.bin > \"$0\""),
         fifo});
    QVERIFY(loading.waitForRecognizer(60'000));
    // pocketsphinx may stop reading before the end of the file.
    feeder.kill();
    feeder.waitForFinished();
    QCOMPARE(api.post(QStringLiteral("/v1/realtime/sessions"), QJsonObject()).status, 201);
    QCOMPARE(loading.stop(), 0);
}

void TestServerUplink::stoppingWithLiveStreamsIsClean() {
    ServerProcess server({QStringLiteral("--noop-interval"), QStringLiteral("0.2")});
    QVERIFY2(server.start(), qPrintable(server.error()));
    QVERIFY2(server.waitForRecognizer(), qPrintable(server.error()));
    TestClient api(server.base(), server.key());
    WsClient captions;
    QVERIFY(captions.open(QUrl(newCaptionUrl(api))));
    const LiveStart grant =
        api.startRecording(api.createLive(QStringLiteral("Cut short")), QStringLiteral("linux-x"));
    const QString recording = grant.recording;
    WsClient uplink;
    QVERIFY(uplink.open(QUrl(grant.streamUrl)));
    WsClient feed;
    QVERIFY(feed.open(
        server.wsUrl(QStringLiteral("/v1/recordings/%1/subscribe?lang=es").arg(recording)),
        server.key()));
    QVERIFY(captions.waitForType(QStringLiteral("session.ready"), 30'000));
    QVERIFY(uplink.waitForType(QStringLiteral("session.ready"), 30'000));
    captions.sendBinary(SpeechAudio::silence(2.0));
    uplink.sendBinary(SpeechAudio::silence(2.0));
    QVERIFY(feed.waitForType(QStringLiteral("noop"), 5000));

    // SIGTERM in the middle of it all: a clean exit (sanitizer builds check for leaks too).
    QCOMPARE(server.stop(), 0);
    QVERIFY(uplink.waitClosed(5000));
    QVERIFY(feed.waitClosed(5000));
    QCOMPARE(uplink.closeCode, 1001);

    // The next start finishes the recording that was cut off.
    QVERIFY2(server.start(), qPrintable(server.error()));
    TestClient again(server.base(), server.key());
    QCOMPARE(again.get(QStringLiteral("/v1/recordings/") + recording)
                 .json()
                 .value(QStringLiteral("state"))
                 .toString(),
             QStringLiteral("ready"));
    QVERIFY(server.log().contains(
        QLatin1String("finished 1 recording(s) left open by an earlier run")));
    QCOMPARE(server.stop(), 0);
}

QTEST_MAIN(TestServerUplink)
#include "tst_ServerUplink.moc"
