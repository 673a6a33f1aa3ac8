// The audio uplink against a loopback WebSocket server playing scripts: the handshake and its
// deadline, error frames, early ends, end reasons, the wire form of samples and control messages,
// and waiting for the end.
#include "APIError.h"
#include "AudioSession.h"
#include "Await.h"
#include "LoopbackServer.h"
#include "Socket.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>
#include <QTimer>
#include <QWebSocket>
#include <QtEndian>

#include <cmath>
#include <cstring>

using namespace pq;
using namespace pq::test;
using namespace std::chrono_literals;

namespace {

using Session = std::unique_ptr<AudioSession>;

// One step of a server script: after `delay` (from the previous step), do `action`.
struct Step {
    std::chrono::milliseconds delay;
    std::function<void(QWebSocket*)> action;
};

Step text(std::chrono::milliseconds delay, const char* json) {
    const QString message = QString::fromUtf8(json);
    return {delay, [message](QWebSocket* c) { c->sendTextMessage(message); }};
}

Step closeWith(std::chrono::milliseconds delay, const QString& reason) {
    return {delay,
            [reason](QWebSocket* c) { c->close(QWebSocketProtocol::CloseCodeNormal, reason); }};
}

void run(QWebSocket* client, QList<Step> steps) {
    if (steps.isEmpty())
        return;
    const Step step = steps.takeFirst();
    QTimer::singleShot(step.delay, client, [client, step, steps] {
        step.action(client);
        run(client, steps);
    });
}

// Plays `steps` to every client that connects, and keeps what the clients send.
struct ScriptedPeer {
    LoopbackServer server;
    QList<Step> steps;
    QList<QByteArray> texts;
    QList<QByteArray> binaries;
    int disconnects = 0;

    explicit ScriptedPeer(QList<Step> script) : steps(std::move(script)) {
        QObject::connect(&server, &LoopbackServer::accepted, [this](QWebSocket* client) {
            QObject::connect(client, &QWebSocket::textMessageReceived,
                             [this](const QString& t) { texts.append(t.toUtf8()); });
            QObject::connect(client, &QWebSocket::binaryMessageReceived,
                             [this](const QByteArray& b) { binaries.append(b); });
            QObject::connect(client, &QWebSocket::disconnected, [this] { ++disconnects; });
            run(client, steps);
        });
    }
    QUrl url() const { return server.wsURL(QStringLiteral("/v1/stream/s-1?token=t")); }
};

std::shared_ptr<Outcome<Session>> connectTo(const ScriptedPeer& peer,
                                            std::chrono::milliseconds deadline,
                                            std::function<void()> onLoading = {}) {
    return await(AudioSession::connect(peer.url(), deadline, std::move(onLoading)), 10s);
}

struct Ends {
    QList<std::optional<QString>> reasons;
    QList<QJsonObject> frames;
    explicit Ends(AudioSession& session) {
        QObject::connect(&session, &AudioSession::ended,
                         [this](const std::optional<QString>& r) { reasons.append(r); });
        QObject::connect(&session, &AudioSession::frameReceived,
                         [this](const QJsonObject& f) { frames.append(f); });
    }
};

} // namespace

class TestAudioSession : public QObject {
    Q_OBJECT

private slots:
    void deadlineCountsAgainFromEachLoading();
    void deadlinePassesWithoutReady();
    void deadlinePassesAfterTheLastLoading();
    void errorFrameBeforeReady_data();
    void errorFrameBeforeReady();
    void closeBeforeReady();
    void refusedUpgradeIsAnEarlyEnd();
    void handshakeSettlesOnce();
    void readyThenImmediatePeerClose();
    void endReasons_data();
    void endReasons();
    void framesAfterReadyOnlyObjects();
    void samplesAsLittleEndianFloats();
    void controlMessagesCarryExactlyTheirKeys();
    void waitForEnd();
    void closeEndsEverything();
};

void TestAudioSession::deadlineCountsAgainFromEachLoading() {
    // 800 ms in all against a 600 ms deadline: only a deadline counted again passes.
    ScriptedPeer peer({text(0ms, R"({"type":"session.loading"})"),
                       text(400ms, R"({"type":"session.loading"})"),
                       text(400ms, R"({"type":"session.ready"})")});
    int loadings = 0;
    QElapsedTimer clock;
    clock.start();
    auto out = connectTo(peer, 600ms, [&loadings] { ++loadings; });
    QVERIFY(out->finished);
    QVERIFY2(!out->error, qPrintable(describe(out->error)));
    QVERIFY(*out->value);
    QVERIFY(clock.elapsed() >= 760);
    QCOMPARE(loadings, 2);
    QVERIFY((*out->value)->socket()->isRunning());
    QVERIFY(!(*out->value)->hasEnded());
}

void TestAudioSession::deadlinePassesWithoutReady() {
    ScriptedPeer peer({text(0ms, R"({"type":"session.hello"})")});
    QElapsedTimer clock;
    clock.start();
    auto out = connectTo(peer, 300ms);
    QVERIFY(out->finished);
    const auto error = out->errorAs<APIError>();
    QVERIFY(error);
    QCOMPARE(error->code(), QStringLiteral("engine_unavailable"));
    QCOMPARE(error->message(),
             QStringLiteral("Parloquent is busy right now. Try again in a minute."));
    QVERIFY(error->retryable());
    QCOMPARE(error->status(), std::nullopt);
    QVERIFY(clock.elapsed() >= 280);
    // The failed uplink is closed.
    QTRY_COMPARE(peer.disconnects, 1);
}

void TestAudioSession::deadlinePassesAfterTheLastLoading() {
    ScriptedPeer peer(
        {text(0ms, R"({"type":"session.loading"})"), text(300ms, R"({"type":"session.loading"})")});
    QElapsedTimer clock;
    clock.start();
    auto out = connectTo(peer, 400ms);
    const auto error = out->errorAs<APIError>();
    QVERIFY(error);
    QCOMPARE(error->code(), QStringLiteral("engine_unavailable"));
    QVERIFY(clock.elapsed() >= 660);
}

void TestAudioSession::errorFrameBeforeReady_data() {
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<QString>("code");
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("retryable");
    QTest::newRow("message only") << QByteArray(R"({"type":"error","message":"No credit left."})")
                                  << "internal"
                                  << "No credit left." << false;
    QTest::newRow("nothing") << QByteArray(R"({"type":"error"})") << "internal"
                             << "Parloquent refused the session." << false;
    QTest::newRow("everything")
        << QByteArray(R"({"type":"error","code":"quota","message":"Out of minutes.",
                          "retryable":true,"status":503})")
        << "quota"
        << "Out of minutes." << true;
    QTest::newRow("wrong types")
        << QByteArray(R"({"type":"error","code":5,"message":null,"retryable":"yes"})") << "internal"
        << "Parloquent refused the session." << false;
}

void TestAudioSession::errorFrameBeforeReady() {
    QFETCH(QByteArray, frame);
    QFETCH(QString, code);
    QFETCH(QString, message);
    QFETCH(bool, retryable);
    ScriptedPeer peer({text(0ms, R"({"type":"session.loading"})"), text(10ms, frame.constData()),
                       text(10ms, R"({"type":"session.ready"})")});
    auto out = connectTo(peer, 2s);
    const auto error = out->errorAs<APIError>();
    QVERIFY(error);
    QCOMPARE(error->code(), code);
    QCOMPARE(error->message(), message);
    QCOMPARE(error->retryable(), retryable);
    QCOMPARE(error->status(), std::nullopt);
    QTRY_COMPARE(peer.disconnects, 1);
}

void TestAudioSession::closeBeforeReady() {
    ScriptedPeer peer(
        {text(0ms, R"({"type":"session.loading"})"), closeWith(20ms, QStringLiteral("no"))});
    auto out = connectTo(peer, 2s);
    const auto error = out->errorAs<APIError>();
    QVERIFY(error);
    QCOMPARE(error->code(), QStringLiteral("invalid_token"));
    QCOMPARE(error->message(),
             QStringLiteral("Parloquent closed the connection before it was ready."));
    QVERIFY(!error->retryable());
    QCOMPARE(error->status(), std::nullopt);
}

void TestAudioSession::refusedUpgradeIsAnEarlyEnd() {
    ScriptedPeer peer({});
    peer.server.setUpgrade(LoopbackServer::Upgrade::refuse, 403);
    auto out = connectTo(peer, 2s);
    const auto error = out->errorAs<APIError>();
    QVERIFY(error);
    QCOMPARE(error->code(), QStringLiteral("invalid_token"));
}

void TestAudioSession::handshakeSettlesOnce() {
    {
        // An error first: a later ready changes nothing.
        ScriptedPeer peer({text(0ms, R"({"type":"error","code":"busy"})"),
                           text(0ms, R"({"type":"session.ready"})")});
        auto out = connectTo(peer, 300ms);
        QCOMPARE(out->errorAs<APIError>()->code(), QStringLiteral("busy"));
    }
    {
        // Ready first: a later error is a frame like any other, and the deadline never fires.
        ScriptedPeer peer({text(0ms, R"({"type":"session.ready"})"),
                           text(0ms, R"({"type":"error","code":"late"})")});
        auto out = connectTo(peer, 300ms);
        QVERIFY2(!out->error, qPrintable(describe(out->error)));
        AudioSession& session = **out->value;
        Ends ends(session);
        QTest::qWait(500);
        QVERIFY(session.socket()->isRunning());
        QVERIFY(ends.reasons.isEmpty());
        QCOMPARE(peer.disconnects, 0);
    }
}

void TestAudioSession::readyThenImmediatePeerClose() {
    ScriptedPeer peer({text(0ms, R"({"type":"session.ready"})"),
                       closeWith(0ms, QStringLiteral("Stream replaced elsewhere"))});
    auto out = connectTo(peer, 2s);
    QVERIFY2(!out->error, qPrintable(describe(out->error)));
    AudioSession& session = **out->value;
    Ends ends(session);
    // The end may have come before the owner could connect: it is kept for it.
    QTRY_VERIFY(session.hasEnded());
    QCOMPARE(session.endReason(), std::optional<QString>("Stream replaced elsewhere"));
    QVERIFY(ends.reasons.size() <= 1);
    if (!ends.reasons.isEmpty())
        QCOMPARE(ends.reasons[0], session.endReason());
}

void TestAudioSession::endReasons_data() {
    QTest::addColumn<QByteArray>("done"); // empty for no "session.done"
    QTest::addColumn<QString>("closeReason");
    QTest::addColumn<std::optional<QString>>("reported");
    QTest::newRow("max_duration then another close reason")
        << QByteArray(R"({"type":"session.done","reason":"max_duration"})") << "server going away"
        << std::optional<QString>("max_duration");
    QTest::newRow("eof") << QByteArray(R"({"type":"session.done","reason":"eof"})") << ""
                         << std::optional<QString>("eof");
    QTest::newRow("done without a reason")
        << QByteArray(R"({"type":"session.done"})") << "bye" << std::optional<QString>("bye");
    QTest::newRow("done with a reason that is not text")
        << QByteArray(R"({"type":"session.done","reason":7})") << "" << std::optional<QString>();
    QTest::newRow("close alone") << QByteArray() << "idle" << std::optional<QString>("idle");
}

void TestAudioSession::endReasons() {
    QFETCH(QByteArray, done);
    QFETCH(QString, closeReason);
    QFETCH(std::optional<QString>, reported);
    QList<Step> script{text(0ms, R"({"type":"session.ready"})")};
    if (!done.isEmpty())
        script.append(text(200ms, done.constData()));
    script.append(closeWith(done.isEmpty() ? 200ms : 20ms, closeReason));
    ScriptedPeer peer(script);
    auto out = connectTo(peer, 2s);
    QVERIFY2(!out->error, qPrintable(describe(out->error)));
    AudioSession& session = **out->value;
    Ends ends(session);
    QTRY_COMPARE(ends.reasons.size(), 1);
    QCOMPARE(ends.reasons[0], reported);
    QCOMPARE(session.endReason(), reported);
    if (!done.isEmpty()) {
        // "session.done" is a frame for the owner too.
        QCOMPARE(ends.frames.size(), 1);
        QCOMPARE(ends.frames[0].value("type").toString(), QStringLiteral("session.done"));
    }
    session.close();
    QTest::qWait(50);
    QCOMPARE(ends.reasons.size(), 1);
}

void TestAudioSession::framesAfterReadyOnlyObjects() {
    ScriptedPeer peer(
        {text(0ms, R"({"type":"transcript.draft","segments":[{"text":"too early"}]})"),
         text(0ms, R"({"type":"session.ready"})"),
         {100ms, [](QWebSocket* c) { c->sendBinaryMessage(QByteArray(16, '\0')); }},
         text(0ms, R"([{"type":"transcript.draft"}])"),
         text(0ms, R"({"type":"transcript.draft","segments":[{"text":"one"}]})"),
         text(0ms, "{broken"),
         text(0ms, R"({"type":"transcript.committed","segment":{"seq":1,"text":"one"}})")});
    auto out = connectTo(peer, 2s);
    QVERIFY2(!out->error, qPrintable(describe(out->error)));
    Ends ends(**out->value);
    QTRY_COMPARE(ends.frames.size(), 2);
    QCOMPARE(ends.frames[0].value("type").toString(), QStringLiteral("transcript.draft"));
    QCOMPARE(ends.frames[0].value("segments").toArray().at(0).toObject().value("text").toString(),
             QStringLiteral("one"));
    QCOMPARE(ends.frames[1].value("type").toString(), QStringLiteral("transcript.committed"));
    QTest::qWait(50);
    QCOMPARE(ends.frames.size(), 2);
    QVERIFY(ends.reasons.isEmpty());
}

void TestAudioSession::samplesAsLittleEndianFloats() {
    // The wire form itself: 1.0 is 00 00 80 3f.
    const float one[] = {1.0f, -2.5f};
    QCOMPARE(AudioSession::encode(one), QByteArray("\x00\x00\x80\x3f\x00\x00\x20\xc0", 8));
    QVERIFY(AudioSession::encode({}).isEmpty());

    ScriptedPeer peer({text(0ms, R"({"type":"session.ready"})")});
    auto out = connectTo(peer, 2s);
    QVERIFY2(!out->error, qPrintable(describe(out->error)));
    AudioSession& session = **out->value;
    std::vector<float> samples(100);
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<float>(std::sin(double(i) * 0.37) * (i % 2 ? 1.0 : -0.999));
    samples[0] = 1.0f;
    samples[1] = -1.0f;
    samples[2] = 1e-40f; // subnormal
    session.send(samples);
    QTRY_COMPARE(peer.binaries.size(), 1);
    const QByteArray frame = peer.binaries[0];
    QCOMPARE(frame.size(), 400);
    for (size_t i = 0; i < samples.size(); ++i) {
        const quint32 bits = qFromLittleEndian<quint32>(frame.constData() + i * 4);
        float decoded = 0;
        std::memcpy(&decoded, &bits, 4);
        QCOMPARE(std::bit_cast<quint32>(decoded), std::bit_cast<quint32>(samples[i]));
    }
    QVERIFY(peer.texts.isEmpty());
}

void TestAudioSession::controlMessagesCarryExactlyTheirKeys() {
    ScriptedPeer peer({text(0ms, R"({"type":"session.ready"})")});
    auto out = connectTo(peer, 2s);
    QVERIFY2(!out->error, qPrintable(describe(out->error)));
    AudioSession& session = **out->value;
    session.sendClock(16500, 1.25);
    session.update(std::nullopt, SpeakerLabels::on);
    session.update(QStringLiteral("de"), SpeakerLabels::auto_);
    session.update(QStringList{"es", "fr"});
    session.update(QStringList{});
    session.eof();
    QTRY_COMPARE(peer.texts.size(), 6);

    const QList<QJsonObject> expected{
        {{"type", "clock"}, {"pcm", 16500}, {"wall", 1.25}},
        {{"type", "session.update"}, {"spokenLanguage", "auto"}, {"speakerLabels", "on"}},
        {{"type", "session.update"}, {"spokenLanguage", "de"}, {"speakerLabels", "auto"}},
        {{"type", "session.update"}, {"translate", QJsonArray{"es", "fr"}}},
        {{"type", "session.update"}, {"translate", QJsonArray{}}},
        {{"type", "eof"}},
    };
    for (qsizetype i = 0; i < expected.size(); ++i) {
        QJsonParseError error{};
        const QJsonDocument doc = QJsonDocument::fromJson(peer.texts[i], &error);
        QCOMPARE(error.error, QJsonParseError::NoError);
        QCOMPARE(doc.object(), expected[i]);
    }
    // The sample count is written as an integer.
    QVERIFY(peer.texts[0].contains("\"pcm\":16500"));
}

void TestAudioSession::waitForEnd() {
    {
        // The service closes 200 ms after "eof".
        ScriptedPeer peer({text(0ms, R"({"type":"session.ready"})")});
        connect(&peer.server, &LoopbackServer::accepted, this, [](QWebSocket* client) {
            connect(client, &QWebSocket::textMessageReceived, client, [client](const QString& t) {
                if (t.contains("eof"))
                    QTimer::singleShot(200, client, [client] { client->close(); });
            });
        });
        auto out = connectTo(peer, 2s);
        QVERIFY2(!out->error, qPrintable(describe(out->error)));
        AudioSession& session = **out->value;
        session.eof();
        QElapsedTimer clock;
        clock.start();
        QVERIFY(await(session.waitForEnd(10s), 15s)->finished);
        QVERIFY(clock.elapsed() >= 150);
        QVERIFY(clock.elapsed() < 3000);
        QVERIFY(session.hasEnded());
    }
    {
        // Nothing ends: the wait gives up after its time-out.
        ScriptedPeer peer({text(0ms, R"({"type":"session.ready"})")});
        auto out = connectTo(peer, 2s);
        AudioSession& session = **out->value;
        QElapsedTimer clock;
        clock.start();
        QVERIFY(await(session.waitForEnd(300ms), 5s)->finished);
        QVERIFY(clock.elapsed() >= 280);
        QVERIFY(clock.elapsed() < 2000);
        QVERIFY(session.socket()->isRunning());

        // Closed by the owner: no wait at all.
        session.close();
        clock.restart();
        QVERIFY(await(session.waitForEnd(10s), 5s)->finished);
        QVERIFY(clock.elapsed() < 100);
    }
}

void TestAudioSession::closeEndsEverything() {
    ScriptedPeer peer({text(0ms, R"({"type":"session.ready"})")});
    auto out = connectTo(peer, 2s);
    QVERIFY2(!out->error, qPrintable(describe(out->error)));
    AudioSession& session = **out->value;
    Ends ends(session);
    session.close();
    session.close();
    QCOMPARE(ends.reasons.size(), 1);
    QCOMPARE(ends.reasons[0], std::nullopt);
    const float samples[] = {0.5f};
    session.send(samples);
    session.eof();
    QTRY_COMPARE(peer.disconnects, 1);
    QTest::qWait(50);
    QVERIFY(peer.binaries.isEmpty());
    QVERIFY(peer.texts.isEmpty());
}

QTEST_GUILESS_MAIN(TestAudioSession)
#include "tst_AudioSession.moc"
