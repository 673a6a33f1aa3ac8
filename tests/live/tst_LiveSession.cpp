// The live session's logic against a scripted service on loopback and fake audio inputs: the
// road of a recording and of a caption run, the inputs each source opens, start failures, stops
// at every stage, pausing, settings and reading changes, the end of the uplink, the stop retries,
// the meeting summary, and a lost feed followed again.
#include "API.h"
#include "AudioSession.h"
#include "Await.h"
#include "CaptureError.h"
#include "FakeAudioInputs.h"
#include "LiveSession.h"
#include "Mixer.h"
#include "ScriptedService.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QTest>
#include <QUrlQuery>
#include <QWebSocket>

#include <algorithm>
#include <cstring>
#include <thread>

using namespace pq;
using namespace pq::test;
using namespace std::chrono_literals;

using State = LiveSession::State;
using Mode = LiveSession::Mode;

namespace {

const QString player = QStringLiteral("org.example.Player");

LiveSession::Timing fast() {
    LiveSession::Timing t;
    t.connectDeadline = 5s;
    t.stopRetryDelay = 20ms;
    t.uplinkEndWait = 3s;
    t.eofWait = 3s;
    t.summaryFirstWait = 20ms;
    t.summaryShortWait = 30ms;
    t.summaryLongWait = 120ms;
    t.refollowFirst = 50ms;
    t.refollowMax = 200ms;
    t.feed.goAhead = 3s;
    t.feed.firstRetry = 50ms;
    return t;
}

QJsonObject json(const QByteArray& body) {
    return QJsonDocument::fromJson(body).object();
}

std::vector<float> floats(const QByteArray& frame) {
    std::vector<float> out(std::size_t(frame.size()) / sizeof(float));
    std::memcpy(out.data(), frame.constData(), out.size() * sizeof(float));
    return out;
}

// One session against one scripted service, with what it published.
struct Rig {
    ScriptedService service;
    API api{service.env(), QStringLiteral("key-1")};
    FakeAudioInputs inputs;
    std::unique_ptr<LiveSession> session;
    QList<State> states;
    int ended = 0;

    Rig() {
        inputs.all = {FakeAudioInputs::process(7, player),
                      FakeAudioInputs::process(8, player + QStringLiteral(".helper")),
                      FakeAudioInputs::process(9, QStringLiteral("org.other.App"))};
    }

    LiveSession& make(Mode mode, AudioSource source, bool withMic = false,
                      SettingsPatch settings = {}, std::optional<QString> reading = std::nullopt,
                      LiveSession::Timing timing = fast()) {
        session =
            std::make_unique<LiveSession>(&api, inputs, mode, std::move(source), withMic,
                                          QStringLiteral("Weekly sync"), settings, reading, timing);
        QObject::connect(session.get(), &LiveSession::stateChanged,
                         [this] { states.append(session->state()); });
        QObject::connect(session.get(), &LiveSession::ended, [this] { ++ended; });
        return *session;
    }
    LiveSession& record(bool withMic = false) {
        return make(Mode::record(), AudioSource::app(player, QStringLiteral("Player")), withMic);
    }
    LiveSession& captions(std::optional<QString> reading = std::nullopt) {
        return make(Mode::captions(), AudioSource::app(player, QStringLiteral("Player")), false, {},
                    reading);
    }
    bool start() {
        const auto outcome = await(session->start(), 10s);
        return outcome->finished && !outcome->error;
    }
    bool startLive() { return start() && session->state() == State::live; }
    bool stop() {
        const auto outcome = await(session->stop(), 15s);
        return outcome->finished && !outcome->error;
    }
    // Chunks of `value` through the tap until `frames` more frames reached the uplink.
    bool streamFrames(int frames, float value = 0.25f) {
        const qsizetype target = service.uplinkBinaries.size() + frames;
        inputs.tap()->pushConstant(std::size_t(frames) * Mixer::chunk, value);
        return QTest::qWaitFor([&] { return service.uplinkBinaries.size() >= target; }, 5000);
    }
};

} // namespace

class TestLiveSession : public QObject {
    Q_OBJECT

private slots:
    void recordRunFromStartToStop();
    void captionRunTakesItsTranscriptFromTheUplink();
    void inputsFollowTheSource();
    void startFailures_data();
    void startFailures();
    void stopWhileCreateLiveIsWaiting();
    void stopWhileTheUplinkIsConnecting();
    void stopBeforeStart();
    void stopTwice();
    void chunksOnlyGoOutWhileLive();
    void clockMessageOnEachWholeSecond();
    void pausing();
    void unchangedSettingsAndReadingSendNothing();
    void changedSettingsAndReading();
    void changesDuringTheStartReachTheService();
    void uplinkEnd_data();
    void uplinkEnd();
    void stopThatKeepsFailing();
    void meetingSummary_data();
    void meetingSummary();
    void lostFeedIsFollowedAgain();
    void labelsSpeakers();
    void preview();
    void destroyedWhileRunning();
    void capturesOnOtherThreads();
};

void TestLiveSession::recordRunFromStartToStop() {
    Rig rig;
    LiveSession& s =
        rig.make(Mode::record(), AudioSource::app(player, QStringLiteral("Player")), false,
                 SettingsPatch(QStringLiteral("en"), SpeakerLabels::on), QStringLiteral("es"));
    QCOMPARE(s.state(), State::starting);
    QVERIFY(s.isRunning());
    QCOMPARE(s.transcript().lang(), std::optional<QString>(QStringLiteral("es")));
    QVERIFY(rig.startLive());
    QCOMPARE(rig.states, (QList<State>{State::warming, State::live}));
    QCOMPARE(s.transcriptionId(), std::optional<QString>(QStringLiteral("tr-1")));
    QCOMPARE(s.recordingId(), std::optional<QString>(QStringLiteral("rec-1")));

    // The transcription, then its recording.
    const auto created = rig.service.requests("POST", "/v1/transcriptions/live");
    QCOMPARE(created.size(), 1);
    QCOMPARE(json(created[0].body).value("name").toString(), QStringLiteral("Weekly sync"));
    QCOMPARE(json(created[0].body).value("settings").toObject(),
             (QJsonObject{{"spokenLanguage", "en"}, {"speakerLabels", "on"}}));
    const auto started = rig.service.requests("POST", "/recordings");
    QCOMPARE(started.size(), 1);
    QCOMPARE(json(started[0].body).value("takeover"), QJsonValue(false));

    // The tap takes the application and its helper; the feed reads in the reading language.
    QCOMPARE(rig.inputs.taps.size(), std::size_t(1));
    QCOMPARE(rig.inputs.tap()->target, ProcessTap::Target::processes({7, 8}));
    QVERIFY(rig.inputs.tap()->started());
    QVERIFY(rig.inputs.mics.empty());
    QCOMPARE(s.mixer()->inputs(), 1);
    QCOMPARE(rig.service.feedUpgrades.size(), 1);
    QCOMPARE(rig.service.feedUpgrades[0].path, QByteArray("/v1/recordings/rec-1/subscribe"));
    const QUrlQuery feedQuery(QString::fromUtf8(rig.service.feedUpgrades[0].query));
    QCOMPARE(feedQuery.queryItemValue("lang"), QStringLiteral("es"));
    QCOMPARE(feedQuery.queryItemValue("device"), API::deviceId());
    QCOMPARE(rig.service.count("GET", "/transcript"), 1);

    // Audio: one frame per chunk, a clock message after each whole second.
    QSignalSpy sentChanges(&s, &LiveSession::sentSecondsChanged);
    QVERIFY(rig.streamFrames(4));
    for (const QByteArray& frame : std::as_const(rig.service.uplinkBinaries)) {
        QCOMPARE(frame.size(), qsizetype(Mixer::chunk * sizeof(float)));
        QCOMPARE(floats(frame).front(), 0.25f);
    }
    QTRY_COMPARE(rig.service.uplinkTextsOfType("clock").size(), 1);
    const QJsonObject clock = rig.service.uplinkTextsOfType("clock")[0];
    QCOMPARE(clock.value("pcm").toInteger(), 16000);
    QVERIFY(clock.value("wall").toDouble() >= 0);
    QCOMPARE(s.sent(), qint64(16000));
    QCOMPARE(s.sentSeconds(), 1.0);
    QCOMPARE(s.elapsed(), 1.0);
    QCOMPARE(sentChanges.size(), 4);
    QCOMPARE(s.level(), 0.25f);

    // The transcript comes from the feed.
    rig.service.sendFeed(committed(1, QStringLiteral("hello there")));
    QTRY_COMPARE(s.transcript().segments().size(), std::size_t(1));
    QCOMPARE(s.transcript().segments().at(1).text, QStringLiteral("hello there"));

    // Stop: pause and stop at the service, the uplink ends, everything is closed.
    const qsizetype before = rig.service.server.httpRequests().size();
    QVERIFY(rig.stop());
    QCOMPARE(rig.service.log().mid(before),
             (QStringList{"POST /v1/recordings/rec-1/pause", "POST /v1/recordings/rec-1/stop"}));
    QCOMPARE(s.state(), State::done);
    QVERIFY(!s.isRunning());
    QVERIFY(s.stopping());
    QCOMPARE(rig.states.mid(2), (QList<State>{State::stopping, State::done}));
    QVERIFY(rig.inputs.tap()->stopped());
    QCOMPARE(s.level(), 0.0f);
    QTRY_COMPARE(rig.service.uplinkDisconnects, 1);
    QTRY_COMPARE(rig.service.feedDisconnects, 1);
    QVERIFY(s.session() && s.mixer() && s.subscription()); // kept, closed
    QCOMPARE(rig.ended, 1);
    QVERIFY(s.hasEnded());
    QCOMPARE(rig.service.count("POST", "/summarize"), 0); // not a meeting
    QVERIFY(!rig.inputs.tap()->push(std::vector<float>(Mixer::chunk, 0.5f)));
}

void TestLiveSession::captionRunTakesItsTranscriptFromTheUplink() {
    Rig rig;
    LiveSession& s =
        rig.make(Mode::captions(), AudioSource::app(player, QStringLiteral("Player")), false,
                 SettingsPatch(std::nullopt, SpeakerLabels::off), QStringLiteral("de"));
    QVERIFY(rig.startLive());
    const auto created = rig.service.requests("POST", "/v1/realtime/sessions");
    QCOMPARE(created.size(), 1);
    QCOMPARE(json(created[0].body),
             (QJsonObject{{"translate", QJsonArray{"de"}}, {"speakerLabels", "off"}}));
    QCOMPARE(rig.service.count("POST", "/v1/transcriptions/live"), 0);
    QVERIFY(rig.service.feedUpgrades.isEmpty());
    QVERIFY(!s.recordingId());
    QVERIFY(!s.subscription());

    rig.service.sendUplink(committed(1, QStringLiteral("bonjour")));
    rig.service.sendUplink(draft(QStringLiteral("und dann")));
    QTRY_COMPARE(s.transcript().draft(), QStringLiteral("und dann"));
    QCOMPARE(s.transcript().segments().size(), std::size_t(1));
    QVERIFY(rig.streamFrames(2));

    // Captions end with "eof": the service ends the uplink, nothing is stopped over REST.
    const qsizetype before = rig.service.server.httpRequests().size();
    QVERIFY(rig.stop());
    QCOMPARE(rig.service.uplinkTextsOfType("eof").size(), 1);
    QCOMPARE(rig.service.server.httpRequests().size(), before);
    QCOMPARE(s.state(), State::done);
    QVERIFY(rig.inputs.tap()->stopped());
    QCOMPARE(rig.ended, 1);
}

void TestLiveSession::inputsFollowTheSource() {
    {
        // The whole computer but this program.
        Rig rig;
        rig.inputs.own = 5;
        rig.make(Mode::record(), AudioSource::mac());
        QVERIFY(rig.startLive());
        QCOMPARE(rig.inputs.tap()->target, ProcessTap::Target::allExcept({5}));
        QVERIFY(rig.inputs.mics.empty());
        QCOMPARE(rig.inputs.accessRequests, 0);
    }
    {
        Rig rig;
        rig.make(Mode::record(), AudioSource::mac());
        QVERIFY(rig.startLive());
        QCOMPARE(rig.inputs.tap()->target, ProcessTap::Target::allExcept({}));
    }
    {
        // The microphone alone: input 0, no echo cancellation, no tap.
        Rig rig;
        LiveSession& s = rig.make(Mode::record(), AudioSource::mic(), true);
        QVERIFY(rig.startLive());
        QVERIFY(rig.inputs.taps.empty());
        QCOMPARE(rig.inputs.mics.size(), std::size_t(1));
        QVERIFY(!rig.inputs.mic()->echoCancel);
        QCOMPARE(s.mixer()->inputs(), 1);
        rig.inputs.mic()->pushConstant(Mixer::chunk, 0.5f);
        QTRY_COMPARE(rig.service.uplinkBinaries.size(), 1);
        QVERIFY(rig.stop());
        QVERIFY(rig.inputs.mic()->stopped());
    }
    {
        // An application with the microphone: two inputs, the microphone cancels the echo of
        // what the tap hears.
        Rig rig;
        LiveSession& s = rig.record(true);
        QVERIFY(rig.startLive());
        QCOMPARE(rig.inputs.accessRequests, 1);
        QVERIFY(rig.inputs.mic()->echoCancel);
        QVERIFY(rig.inputs.mic()->started());
        QCOMPARE(s.mixer()->inputs(), 2);
        rig.inputs.mic()->pushConstant(Mixer::chunk, 0.25f);
        QVERIFY(rig.streamFrames(1, 0.5f));
        QCOMPARE(floats(rig.service.uplinkBinaries.last()).front(), 0.75f); // mixed
        QCOMPARE(rig.inputs.mic()->referenceSamples(), std::size_t(Mixer::chunk));
        QVERIFY(rig.stop());
        QVERIFY(rig.inputs.tap()->stopped() && rig.inputs.mic()->stopped());
    }
}

void TestLiveSession::startFailures_data() {
    QTest::addColumn<QString>("failure");
    QTest::addColumn<bool>("captions");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QStringList>("afterStart"); // REST requests after the start's own
    const QString busy = QStringLiteral("Parloquent is busy right now. Try again in a minute.");
    const QString noAddress = QStringLiteral("Parloquent gave no address to record to.");
    const QStringList stopped{"POST /v1/recordings/rec-1/pause", "POST /v1/recordings/rec-1/stop"};
    QTest::newRow("app plays nothing")
        << "no processes" << false
        << "That app is not playing anything right now. Play something in it, then try again."
        << QStringList{};
    QTest::newRow("microphone refused")
        << "mic denied" << false << CaptureError::micDenied().description() << QStringList{};
    QTest::newRow("tap fails") << "tap" << false << CaptureError::tap(6).description()
                               << QStringList{};
    QTest::newRow("microphone fails")
        << "mic" << false << CaptureError::mic(QStringLiteral("no input device")).description()
        << QStringList{};
    QTest::newRow("createLive refused")
        << "createLive" << false << "You may not record on this account." << QStringList{};
    QTest::newRow("no stream address") << "no address" << false << noAddress << stopped;
    QTest::newRow("unusable stream address") << "bad address" << false << noAddress << stopped;
    QTest::newRow("uplink refuses") << "uplink error" << false << busy << stopped;
    QTest::newRow("captions refused") << "realtime" << true << "Realtime is off." << QStringList{};
    QTest::newRow("captions without address")
        << "bad address" << true << noAddress << QStringList{};
}

void TestLiveSession::startFailures() {
    QFETCH(QString, failure);
    QFETCH(bool, captions);
    QFETCH(QString, message);
    QFETCH(QStringList, afterStart);
    Rig rig;
    if (failure == "no processes")
        rig.inputs.all = {FakeAudioInputs::process(9, QStringLiteral("org.other.App"))};
    if (failure == "mic denied")
        rig.inputs.micAllowed = false;
    if (failure == "tap")
        rig.inputs.tapFailure = std::make_exception_ptr(CaptureError::tap(6));
    if (failure == "mic")
        rig.inputs.micFailure =
            std::make_exception_ptr(CaptureError::mic(QStringLiteral("no input device")));
    if (failure == "uplink error")
        rig.service.uplinkGreeting = {
            QJsonObject{{"type", "error"},
                        {"code", "engine_unavailable"},
                        {"message", "Parloquent is busy right now. Try again in a minute."}}};
    int startRequests = 0;
    rig.service.answer = [&](const RecordedRequest& r) -> std::optional<ScriptedAnswer> {
        if (failure == "createLive" && r.path.endsWith("/live"))
            return ScriptedAnswer::json(
                403, R"({"code":"forbidden","message":"You may not record on this account."})");
        if (failure == "realtime" && r.path.endsWith("/realtime/sessions"))
            return ScriptedAnswer::json(403,
                                        R"({"code":"forbidden","message":"Realtime is off."})");
        if (failure == "no address" && r.path.endsWith("/recordings"))
            return ScriptedAnswer::json(
                201, R"({"recording":{"id":"rec-1","transcriptionId":"tr-1","state":"live"}})");
        if (failure == "bad address" && r.path.endsWith("/recordings"))
            return ScriptedAnswer::json(201, R"({"recording":{"id":"rec-1","transcriptionId":)"
                                             R"("tr-1","state":"live"},"streamUrl":"elsewhere"})");
        if (failure == "bad address" && r.path.endsWith("/realtime/sessions"))
            return ScriptedAnswer::json(201, R"({"sessionId":"c-1","streamUrl":"::"})");
        return std::nullopt;
    };
    QObject::connect(&rig.service.server, &LoopbackServer::httpRequestReceived,
                     [&](const RecordedRequest& r) {
                         if (!r.path.contains("/pause") && !r.path.contains("/stop"))
                             ++startRequests;
                     });
    if (captions)
        rig.captions();
    else
        rig.record(true);
    QVERIFY(rig.start());
    QCOMPARE(rig.session->state(), State::failed);
    QCOMPARE(rig.session->failure(), message);
    QVERIFY(!rig.session->isRunning());
    QCOMPARE(rig.ended, 1);
    QCOMPARE(rig.service.log().mid(startRequests), afterStart);
    for (const auto& capture : rig.inputs.taps)
        QVERIFY(capture->stopped());
    for (const auto& capture : rig.inputs.mics)
        QVERIFY(capture->stopped());
    if (failure == "no processes" || failure == "mic denied" || failure == "tap" ||
        failure == "mic")
        QVERIFY(rig.service.server.httpRequests().isEmpty()); // nothing asked of the service
    if (failure == "no processes")
        QVERIFY(rig.inputs.taps.empty());
    QCOMPARE(rig.session->level(), 0.0f);
}

void TestLiveSession::stopWhileCreateLiveIsWaiting() {
    Rig rig;
    rig.service.setDelay(
        [](const RecordedRequest& r) { return r.path.endsWith("/live") ? 600ms : 0ms; });
    LiveSession& s = rig.record();
    auto starting = std::make_shared<Outcome<void>>();
    detail::drive(s.start(), starting);
    QTRY_COMPARE(rig.service.count("POST", "/v1/transcriptions/live"), 1);
    QCOMPARE(s.state(), State::warming);

    // The stop returns at once: the start is still waiting.
    QElapsedTimer clock;
    clock.start();
    QVERIFY(rig.stop());
    QVERIFY(clock.elapsed() < 400);
    QCOMPARE(s.state(), State::stopping);
    QVERIFY(!starting->finished);
    QCOMPARE(rig.ended, 0);

    QTRY_VERIFY(starting->finished);
    QVERIFY(!starting->error);
    QCOMPARE(s.state(), State::done);
    QCOMPARE(rig.service.log(), QStringList{"POST /v1/transcriptions/live"}); // no recording
    QVERIFY(rig.inputs.tap()->stopped());
    QCOMPARE(rig.service.uplinkConnections, 0);
    QCOMPARE(rig.states, (QList<State>{State::warming, State::stopping, State::done}));
    QCOMPARE(rig.ended, 1);
}

void TestLiveSession::stopWhileTheUplinkIsConnecting() {
    Rig rig;
    rig.service.uplinkGreeting = {QJsonObject{{"type", "session.loading"}}};
    LiveSession& s = rig.record();
    auto starting = std::make_shared<Outcome<void>>();
    detail::drive(s.start(), starting);
    QTRY_VERIFY(rig.service.uplink);
    QVERIFY(rig.stop());
    QCOMPARE(s.state(), State::stopping);
    // A late "session.loading" does not undo the stop.
    rig.service.sendUplink(QJsonObject{{"type", "session.loading"}});
    QTest::qWait(50);
    QCOMPARE(s.state(), State::stopping);

    // Ready after all: the start notices the stop, stops the recording and ends.
    rig.service.sendUplink(QJsonObject{{"type", "session.ready"}});
    QTRY_VERIFY(starting->finished);
    QCOMPARE(s.state(), State::done);
    QCOMPARE(rig.service.count("POST", "/rec-1/pause"), 1);
    QCOMPARE(rig.service.count("POST", "/rec-1/stop"), 1);
    QVERIFY(rig.service.feedUpgrades.isEmpty());
    QVERIFY(rig.inputs.tap()->stopped());
    QTRY_COMPARE(rig.service.uplinkDisconnects, 1);
    QCOMPARE(rig.ended, 1);
}

void TestLiveSession::stopBeforeStart() {
    Rig rig;
    LiveSession& s = rig.record(true);
    QVERIFY(rig.stop());
    QCOMPARE(s.state(), State::stopping);
    QVERIFY(rig.start());
    QCOMPARE(s.state(), State::done);
    QVERIFY(rig.inputs.taps.empty() && rig.inputs.mics.empty()); // nothing was opened
    QVERIFY(rig.service.server.httpRequests().isEmpty());
    QCOMPARE(rig.ended, 1);
    // A session serves one run: a second start does nothing.
    QVERIFY(rig.start());
    QCOMPARE(rig.ended, 1);
}

void TestLiveSession::stopTwice() {
    Rig rig;
    rig.service.setDelay(
        [](const RecordedRequest& r) { return r.path.endsWith("/stop") ? 300ms : 0ms; });
    LiveSession& s = rig.record();
    QVERIFY(rig.startLive());
    auto first = std::make_shared<Outcome<void>>();
    detail::drive(s.stop(), first);
    QCOMPARE(s.state(), State::stopping);
    auto second = std::make_shared<Outcome<void>>();
    detail::drive(s.stop(), second);
    QVERIFY(second->finished); // returned at once
    QVERIFY(!first->finished);
    QTRY_VERIFY(first->finished);
    QCOMPARE(s.state(), State::done);
    QCOMPARE(rig.service.count("POST", "/rec-1/stop"), 1);
    QCOMPARE(rig.ended, 1);
}

void TestLiveSession::chunksOnlyGoOutWhileLive() {
    Rig rig;
    rig.service.setDelay(
        [](const RecordedRequest& r) { return r.path.endsWith("/live") ? 300ms : 0ms; });
    LiveSession& s = rig.record();
    QSignalSpy handled(&s, &LiveSession::chunkHandled);
    auto starting = std::make_shared<Outcome<void>>();
    detail::drive(s.start(), starting);
    QTRY_COMPARE(s.state(), State::warming);
    // Warming: only the level is shown.
    rig.inputs.tap()->pushConstant(Mixer::chunk, 0.5f);
    QTRY_COMPARE(handled.size(), 1);
    QCOMPARE(handled[0][1].toBool(), false);
    QCOMPARE(s.level(), 0.5f);
    QCOMPARE(s.sent(), qint64(0));
    QTRY_VERIFY(starting->finished);
    QCOMPARE(s.state(), State::live);
    QVERIFY(rig.streamFrames(1));
    QCOMPARE(rig.service.uplinkBinaries.size(), 1);

    // The flushed remainder arrives while stopping: not sent; the meter rests after teardown.
    rig.inputs.tap()->pushConstant(1000, 0.5f);
    QVERIFY(rig.stop());
    QTRY_COMPARE(handled.size(), 3);
    QCOMPARE(handled[2][0].value<qsizetype>(), qsizetype(1000));
    QCOMPARE(handled[2][1].toBool(), false);
    QCOMPARE(rig.service.uplinkBinaries.size(), 1);
    QCOMPARE(s.sent(), qint64(Mixer::chunk));
    QCOMPARE(s.level(), 0.0f);
}

void TestLiveSession::clockMessageOnEachWholeSecond() {
    // A chunk that takes the total across a whole second is followed by a clock message.
    QVERIFY(LiveSession::clockDue(16500, 1000));
    QVERIFY(!LiveSession::clockDue(17500, 1000));
    QVERIFY(LiveSession::clockDue(16000, 1000));
    QVERIFY(!LiveSession::clockDue(15999, 1000));
    QVERIFY(LiveSession::clockDue(16000, 4000));
    QVERIFY(!LiveSession::clockDue(12000, 4000));
    QVERIFY(LiveSession::clockDue(33000, 4000));

    Rig rig;
    rig.record();
    QVERIFY(rig.startLive());
    QVERIFY(rig.streamFrames(9));
    QTRY_COMPARE(rig.service.uplinkTextsOfType("clock").size(), 2);
    const auto clocks = rig.service.uplinkTextsOfType("clock");
    QCOMPARE(clocks[0].value("pcm").toInteger(), 16000);
    QCOMPARE(clocks[1].value("pcm").toInteger(), 32000);
    QVERIFY(clocks[1].value("wall").toDouble() >= clocks[0].value("wall").toDouble());
    // Each clock message follows the frame that crossed the second.
    QStringList expected;
    for (int i = 1; i <= 9; ++i) {
        expected << "audio";
        if (i % 4 == 0)
            expected << "clock";
    }
    QCOMPARE(rig.service.uplinkLog, expected);
}

void TestLiveSession::pausing() {
    {
        // Captions pause without asking the service; chunks are held back and the meter rests.
        Rig rig;
        LiveSession& s = rig.captions();
        QVERIFY(rig.startLive());
        const qsizetype requests = rig.service.server.httpRequests().size();
        QVERIFY(await(s.setPaused(true))->finished);
        QCOMPARE(s.state(), State::paused);
        QVERIFY(s.paused());
        QCOMPARE(rig.service.server.httpRequests().size(), requests);
        QSignalSpy handled(&s, &LiveSession::chunkHandled);
        rig.inputs.tap()->pushConstant(2 * Mixer::chunk, 0.5f);
        QTRY_COMPARE(handled.size(), 2);
        QCOMPARE(rig.service.uplinkBinaries.size(), 0);
        QCOMPARE(s.level(), 0.0f);
        QVERIFY(await(s.setPaused(false))->finished);
        QCOMPARE(s.state(), State::live);
        QVERIFY(rig.streamFrames(1));
        QCOMPARE(s.level(), 0.25f);
        QCOMPARE(rig.service.server.httpRequests().size(), requests);
    }
    {
        // Recordings pause and resume at the service.
        Rig rig;
        LiveSession& s = rig.record();
        QVERIFY(rig.startLive());
        QVERIFY(await(s.setPaused(true))->finished);
        QCOMPARE(s.state(), State::paused);
        QCOMPARE(rig.service.count("POST", "/rec-1/pause"), 1);
        QVERIFY(await(s.setPaused(false))->finished);
        QCOMPARE(s.state(), State::live);
        QCOMPARE(rig.service.count("POST", "/rec-1/resume"), 1);
        // A paused recording is not paused again when stopped.
        QVERIFY(await(s.setPaused(true))->finished);
        QVERIFY(rig.stop());
        QCOMPARE(rig.service.count("POST", "/rec-1/pause"), 2);
        // Nothing to pause once it is over.
        QVERIFY(await(s.setPaused(false))->finished);
        QCOMPARE(s.state(), State::done);
        QCOMPARE(rig.service.count("POST", "/rec-1/resume"), 1);
    }
    {
        // A pause the service refuses leaves the run live.
        Rig rig;
        rig.service.answer = [](const RecordedRequest& r) -> std::optional<ScriptedAnswer> {
            if (r.path.endsWith("/pause"))
                return ScriptedAnswer::json(409, R"({"code":"invalid_state","message":"No."})");
            return std::nullopt;
        };
        LiveSession& s = rig.record();
        QVERIFY(rig.startLive());
        QSignalSpy changes(&s, &LiveSession::stateChanged);
        QVERIFY(await(s.setPaused(true))->finished);
        QCOMPARE(s.state(), State::live);
        QVERIFY(!s.paused());
        QCOMPARE(changes.size(), 0);
        QVERIFY(rig.streamFrames(1));
    }
    {
        // A stop that begins while the pause is asked for keeps its state.
        Rig rig;
        rig.service.setDelay(
            [](const RecordedRequest& r) { return r.path.endsWith("/pause") ? 200ms : 0ms; });
        LiveSession& s = rig.record();
        QVERIFY(rig.startLive());
        auto pausing = std::make_shared<Outcome<void>>();
        detail::drive(s.setPaused(true), pausing);
        QVERIFY(rig.stop());
        QTRY_VERIFY(pausing->finished);
        QCOMPARE(s.state(), State::done);
    }
}

void TestLiveSession::unchangedSettingsAndReadingSendNothing() {
    const SettingsPatch settings(QStringLiteral("en"), SpeakerLabels::auto_);
    for (const bool captions : {false, true}) {
        Rig rig;
        LiveSession& s = rig.make(captions ? Mode::captions() : Mode::record(),
                                  AudioSource::app(player, QStringLiteral("Player")), false,
                                  settings, QStringLiteral("es"));
        QVERIFY(rig.startLive());
        rig.service.sendFeed(committed(1, QStringLiteral("kept")));
        rig.service.sendUplink(committed(1, QStringLiteral("kept")));
        QTRY_COMPARE(s.transcript().segments().size(), std::size_t(1));
        const qsizetype requests = rig.service.server.httpRequests().size();
        const qsizetype texts = rig.service.uplinkTexts.size();
        QSignalSpy transcriptChanges(&s, &LiveSession::transcriptChanged);
        QSignalSpy settingsChanges(&s, &LiveSession::settingsChanged);
        QVERIFY(await(s.setReading(QStringLiteral("es")))->finished);
        QVERIFY(await(s.update(settings))->finished);
        QTest::qWait(50);
        QCOMPARE(rig.service.server.httpRequests().size(), requests);
        QCOMPARE(rig.service.uplinkTexts.size(), texts);
        QCOMPARE(rig.service.feedUpgrades.size(), captions ? 0 : 1);
        QCOMPARE(transcriptChanges.size(), 0);
        QCOMPARE(settingsChanges.size(), 0);
        QCOMPARE(s.transcript().segments().size(), std::size_t(1));
    }
    {
        // Both absent counts as equal.
        Rig rig;
        LiveSession& s = rig.record();
        QVERIFY(rig.startLive());
        const qsizetype requests = rig.service.server.httpRequests().size();
        QVERIFY(await(s.setReading(std::nullopt))->finished);
        QVERIFY(await(s.update(SettingsPatch()))->finished);
        QCOMPARE(rig.service.server.httpRequests().size(), requests);
        QCOMPARE(rig.service.feedUpgrades.size(), 1);
    }
}

void TestLiveSession::changedSettingsAndReading() {
    {
        Rig rig;
        LiveSession& s = rig.record();
        QVERIFY(rig.startLive());
        QSignalSpy settingsChanges(&s, &LiveSession::settingsChanged);
        const SettingsPatch labelsOn(std::nullopt, SpeakerLabels::on);
        QVERIFY(await(s.update(labelsOn))->finished);
        QCOMPARE(settingsChanges.size(), 1);
        QCOMPARE(s.settings(), labelsOn);
        const auto patches = rig.service.requests("PATCH", "/rec-1/settings");
        QCOMPARE(patches.size(), 1);
        QCOMPARE(json(patches[0].body),
                 (QJsonObject{{"spokenLanguage", QJsonValue::Null}, {"speakerLabels", "on"}}));

        // A failed update keeps the new settings.
        rig.service.answer = [](const RecordedRequest& r) -> std::optional<ScriptedAnswer> {
            if (r.method == "PATCH")
                return ScriptedAnswer::json(500, R"({"code":"internal","message":"Down."})");
            return std::nullopt;
        };
        const SettingsPatch labelsOff(std::nullopt, SpeakerLabels::off);
        QVERIFY(await(s.update(labelsOff))->finished);
        QCOMPARE(s.settings(), labelsOff);

        // A new reading language: an empty transcript in it, refilled by a new feed.
        rig.service.sendFeed(committed(1, QStringLiteral("old words")));
        QTRY_COMPARE(s.transcript().segments().size(), std::size_t(1));
        rig.service.snapshotSegments = {
            QJsonObject{{"seq", 1},
                        {"speaker", 0},
                        {"start", 0.5},
                        {"end", 1.0},
                        {"text", "old words"},
                        {"translations", QJsonObject{{"fr", "vieux mots"}}}}};
        rig.service.snapshotLastSeq = 1;
        QSignalSpy readingChanges(&s, &LiveSession::translateToChanged);
        QVERIFY(await(s.setReading(QStringLiteral("fr")))->finished);
        QCOMPARE(readingChanges.size(), 1);
        QCOMPARE(s.translateTo(), std::optional<QString>(QStringLiteral("fr")));
        QCOMPARE(rig.service.feedUpgrades.size(), 2);
        QVERIFY(rig.service.feedUpgrades[1].query.contains("lang=fr"));
        QTRY_COMPARE(rig.service.feedDisconnects, 1); // the old feed
        QCOMPARE(s.transcript().lang(), std::optional<QString>(QStringLiteral("fr")));
        QTRY_COMPARE(s.transcript().segments().size(), std::size_t(1));
        QCOMPARE(s.transcript().segments().at(1).translation,
                 std::optional<QString>(QStringLiteral("vieux mots")));
        // Events of the old feed no longer count.
        QCOMPARE(rig.service.feeds.size(), 1);
        rig.service.sendFeed(committed(2, QStringLiteral("new words")));
        QTRY_COMPARE(s.transcript().segments().size(), std::size_t(2));
    }
    {
        Rig rig;
        LiveSession& s = rig.captions(QStringLiteral("es"));
        QVERIFY(rig.startLive());
        QVERIFY(await(s.update(SettingsPatch(std::nullopt, std::nullopt)))->finished);
        QVERIFY(await(s.update(SettingsPatch(QStringLiteral("en"), std::nullopt)))->finished);
        QVERIFY(await(s.setReading(QStringLiteral("fr")))->finished);
        QCOMPARE(s.transcript().lang(), std::optional<QString>(QStringLiteral("fr")));
        QVERIFY(await(s.setReading(std::nullopt))->finished);
        QCOMPARE(s.transcript().lang(), std::optional<QString>());
        QTRY_COMPARE(rig.service.uplinkTextsOfType("session.update").size(), 3);
        const auto updates = rig.service.uplinkTextsOfType("session.update");
        QCOMPARE(updates[0], (QJsonObject{{"type", "session.update"},
                                          {"spokenLanguage", "en"},
                                          {"speakerLabels", "auto"}}));
        QCOMPARE(updates[1],
                 (QJsonObject{{"type", "session.update"}, {"translate", QJsonArray{"fr"}}}));
        QCOMPARE(updates[2],
                 (QJsonObject{{"type", "session.update"}, {"translate", QJsonArray{}}}));
        QCOMPARE(rig.service.count("PATCH", "/settings"), 0);
    }
}

void TestLiveSession::changesDuringTheStartReachTheService() {
    {
        Rig rig;
        rig.service.setDelay(
            [](const RecordedRequest& r) { return r.path.endsWith("/live") ? 300ms : 0ms; });
        LiveSession& s = rig.record();
        auto starting = std::make_shared<Outcome<void>>();
        detail::drive(s.start(), starting);
        QTRY_COMPARE(rig.service.count("POST", "/live"), 1);
        QVERIFY(await(s.update(SettingsPatch(std::nullopt, SpeakerLabels::off)))->finished);
        QVERIFY(await(s.setReading(QStringLiteral("eo")))->finished);
        QTRY_VERIFY(starting->finished);
        QCOMPARE(s.state(), State::live);
        QCOMPARE(rig.service.count("PATCH", "/rec-1/settings"), 1);
        QCOMPARE(rig.service.feedUpgrades.size(), 1);
        QVERIFY(rig.service.feedUpgrades[0].query.contains("lang=eo"));
        QCOMPARE(s.transcript().lang(), std::optional<QString>(QStringLiteral("eo")));
    }
    {
        Rig rig;
        rig.service.uplinkGreeting = {};
        LiveSession& s = rig.captions();
        auto starting = std::make_shared<Outcome<void>>();
        detail::drive(s.start(), starting);
        QTRY_VERIFY(rig.service.uplink);
        QVERIFY(await(s.setReading(QStringLiteral("gl")))->finished);
        rig.service.sendUplink(QJsonObject{{"type", "session.ready"}});
        QTRY_VERIFY(starting->finished);
        QCOMPARE(s.state(), State::live);
        QTRY_COMPARE(rig.service.uplinkTextsOfType("session.update").size(), 1);
        QCOMPARE(rig.service.uplinkTextsOfType("session.update")[0].value("translate"),
                 QJsonValue(QJsonArray{"gl"}));
    }
}

void TestLiveSession::uplinkEnd_data() {
    QTest::addColumn<QString>("reason"); // empty: the connection drops
    QTest::addColumn<bool>("captions");
    QTest::addColumn<QString>("message"); // empty: ends done
    const QString ended = QStringLiteral("The connection to Parloquent ended.");
    QTest::newRow("eof") << "eof" << false << QString();
    QTest::newRow("max_duration") << "max_duration" << false
                                  << "The recording reached its maximum length.";
    QTest::newRow("idle") << "idle" << false << ended;
    QTest::newRow("dropped") << QString() << false << ended;
    QTest::newRow("captions max_duration")
        << "max_duration" << true << "The recording reached its maximum length.";
    QTest::newRow("captions dropped") << QString() << true << ended;
}

void TestLiveSession::uplinkEnd() {
    QFETCH(QString, reason);
    QFETCH(bool, captions);
    QFETCH(QString, message);
    Rig rig;
    LiveSession& s = captions ? rig.captions() : rig.record();
    QVERIFY(rig.startLive());
    QVERIFY(rig.streamFrames(1));
    if (reason.isEmpty())
        rig.service.uplink->abort();
    else
        rig.service.endUplink(reason);
    QTRY_COMPARE(rig.ended, 1);
    QCOMPARE(s.state(), message.isEmpty() ? State::done : State::failed);
    QCOMPARE(s.failure(), message);
    QVERIFY(rig.inputs.tap()->stopped());
    if (!captions) {
        // The recording is stopped all the same.
        QCOMPARE(rig.service.count("POST", "/rec-1/pause"), 1);
        QCOMPARE(rig.service.count("POST", "/rec-1/stop"), 1);
        QTRY_COMPARE(rig.service.feedDisconnects, 1);
    }
    // A stop afterwards does nothing.
    const qsizetype requests = rig.service.server.httpRequests().size();
    QVERIFY(rig.stop());
    QCOMPARE(rig.service.server.httpRequests().size(), requests);
    QCOMPARE(rig.ended, 1);
}

void TestLiveSession::stopThatKeepsFailing() {
    const auto failingStop = [](const RecordedRequest& r) -> std::optional<ScriptedAnswer> {
        if (r.path.endsWith("/stop"))
            return ScriptedAnswer::json(500,
                                        R"({"code":"internal","message":"The service is down."})");
        return std::nullopt;
    };
    {
        Rig rig;
        rig.service.answer = failingStop;
        LiveSession& s = rig.record();
        QVERIFY(rig.startLive());
        const qsizetype before = rig.service.server.httpRequests().size();
        QVERIFY(rig.stop());
        QCOMPARE(s.state(), State::failed);
        QCOMPARE(s.failure(), QStringLiteral("The recording could not be stopped: The service is "
                                             "down. Stop it in the dashboard."));
        QStringList expected;
        for (int i = 0; i < 4; ++i)
            expected << "POST /v1/recordings/rec-1/pause"
                     << "POST /v1/recordings/rec-1/stop";
        QCOMPARE(rig.service.log().mid(before), expected);
        // The stop requests are 0.8 s apart in the product; here the test's wait.
        const auto stops = rig.service.requests("POST", "/stop");
        for (int i = 1; i < stops.size(); ++i)
            QVERIFY(stops[i].receivedAtMs - stops[i - 1].receivedAtMs >= 18);
        QVERIFY(rig.inputs.tap()->stopped());
        QTRY_COMPARE(rig.service.uplinkDisconnects, 1);
        QCOMPARE(rig.ended, 1);
    }
    {
        // Ended by the service first: its outcome is what the user sees.
        Rig rig;
        rig.service.answer = failingStop;
        LiveSession& s = rig.record();
        QVERIFY(rig.startLive());
        rig.service.endUplink(QStringLiteral("idle"));
        QTRY_COMPARE(rig.ended, 1);
        QCOMPARE(s.failure(), QStringLiteral("The connection to Parloquent ended."));
        QCOMPARE(rig.service.count("POST", "/stop"), 4);
    }
    {
        // Success on the third attempt.
        Rig rig;
        int stops = 0;
        rig.service.answer = [&](const RecordedRequest& r) -> std::optional<ScriptedAnswer> {
            if (r.path.endsWith("/stop") && ++stops < 3)
                return ScriptedAnswer::json(500, R"({"code":"internal","message":"Down."})");
            return std::nullopt;
        };
        LiveSession& s = rig.record();
        QVERIFY(rig.startLive());
        QVERIFY(rig.stop());
        QCOMPARE(s.state(), State::done);
        QCOMPARE(stops, 3);
    }
}

void TestLiveSession::meetingSummary_data() {
    QTest::addColumn<QStringList>("answers"); // summary states, the last one repeats
    QTest::addColumn<int>("polls");
    QTest::addColumn<bool>("summarised");
    QTest::newRow("ready on the third poll")
        << QStringList{"pending", "pending", "ready"} << 3 << true;
    QTest::newRow("unavailable") << QStringList{"unavailable"} << 1 << false;
    QTest::newRow("not requested") << QStringList{"pending", "not_requested"} << 2 << false;
    QTest::newRow("never ready") << QStringList{"pending"} << 40 << false;
    QTest::newRow("failing requests") << QStringList{"error"} << 40 << false;
}

void TestLiveSession::meetingSummary() {
    QFETCH(QStringList, answers);
    QFETCH(int, polls);
    QFETCH(bool, summarised);
    Rig rig;
    int asked = 0;
    rig.service.answer = [&](const RecordedRequest& r) -> std::optional<ScriptedAnswer> {
        if (r.path.endsWith("/summarize"))
            return ScriptedAnswer::json(500, R"({"code":"internal","message":"Busy."})");
        if (!r.path.endsWith("/summary"))
            return std::nullopt;
        const QString state = answers.value(std::min(asked++, int(answers.size()) - 1));
        if (state == "error")
            return ScriptedAnswer::json(500, R"({"code":"internal","message":"Down."})");
        if (state == "ready")
            return ScriptedAnswer::json(
                200, R"({"state":"ready","summary":"We ship on Monday.","title":"Release"})");
        return ScriptedAnswer::json(200, QByteArray(R"({"state":")") + state.toUtf8() + "\"}");
    };
    LiveSession& s = rig.make(Mode::record(true), AudioSource::app(player, QStringLiteral("P")));
    QVERIFY(rig.startLive());
    QSignalSpy summaryChanges(&s, &LiveSession::summaryChanged);
    QVERIFY(rig.stop());
    // stop returns only once the polling is over.
    QCOMPARE(rig.service.count("POST", "/rec-1/summarize"), 1); // failed, polled anyway
    const auto requests = rig.service.requests("GET", "/rec-1/summary");
    QCOMPARE(requests.size(), polls);
    QCOMPARE(s.state(), State::done);
    QCOMPARE(bool(s.summary()), summarised);
    QCOMPARE(summaryChanges.size(), summarised ? 1 : 0);
    if (summarised) {
        QCOMPARE(s.summary()->summary,
                 std::optional<QString>(QStringLiteral("We ship on Monday.")));
        QCOMPARE(s.summary()->title, std::optional<QString>(QStringLiteral("Release")));
    }
    if (polls == 40) {
        // 3-second waits after the first four polls, 6-second waits after later ones (scaled).
        for (int i = 1; i < requests.size(); ++i) {
            const qint64 gap = requests[i].receivedAtMs - requests[i - 1].receivedAtMs;
            QVERIFY2(gap >= (i <= 4 ? 28 : 114), qPrintable(QString::number(gap)));
            if (i <= 4)
                QVERIFY2(gap < 114, qPrintable(QString::number(gap)));
        }
    }
    QTest::qWait(200);
    QCOMPARE(rig.service.requests("GET", "/rec-1/summary").size(), polls);
    QCOMPARE(rig.ended, 1);
}

void TestLiveSession::lostFeedIsFollowedAgain() {
    Rig rig;
    LiveSession& s = rig.record();
    QVERIFY(rig.startLive());
    rig.service.sendFeed(committed(1, QStringLiteral("first words")));
    QTRY_COMPARE(s.transcript().segments().size(), std::size_t(1));

    // The service closes the feed: a new one follows, and its snapshot fills what was missed.
    rig.service.snapshotSegments = {QJsonObject{
        {"seq", 2}, {"speaker", 0}, {"start", 2.0}, {"end", 3.0}, {"text", "missed words"}}};
    rig.service.snapshotLastSeq = 2;
    rig.service.feed()->close(QWebSocketProtocol::CloseCodeGoingAway, QStringLiteral("moved"));
    QTRY_COMPARE(rig.service.feedUpgrades.size(), 2);
    QTRY_COMPARE(s.transcript().segments().size(), std::size_t(2));
    rig.service.sendFeed(committed(3, QStringLiteral("more words")));
    QTRY_COMPARE(s.transcript().segments().size(), std::size_t(3));

    // While the service refuses, it keeps trying, waiting longer each time.
    rig.service.server.setUpgrade(LoopbackServer::Upgrade::refuse, 503);
    rig.service.feed()->abort();
    QTRY_VERIFY_WITH_TIMEOUT(rig.service.server.upgrades().size() >= 6, 5000);
    const auto& upgrades = rig.service.server.upgrades();
    const qsizetype n = upgrades.size();
    QVERIFY(upgrades[n - 1].receivedAtMs - upgrades[n - 2].receivedAtMs >= 150); // backed off
    rig.service.server.setUpgrade(LoopbackServer::Upgrade::accept);
    QTRY_COMPARE_WITH_TIMEOUT(rig.service.feeds.size(), 1, 3000);
    QCOMPARE(s.state(), State::live);

    // Once stopping, a closed feed is not followed again.
    QVERIFY(rig.stop());
    const qsizetype afterStop = rig.service.server.upgrades().size();
    QTest::qWait(400);
    QCOMPARE(rig.service.server.upgrades().size(), afterStop);
}

void TestLiveSession::labelsSpeakers() {
    Rig rig;
    LiveSession& s = rig.record();
    QVERIFY(rig.startLive());
    QSignalSpy changes(&s, &LiveSession::labelsSpeakersChanged);
    rig.service.sendFeed(committed(1, QStringLiteral("one voice"), 0));
    QTRY_COMPARE(s.transcript().segments().size(), std::size_t(1));
    QVERIFY(!s.labelsSpeakers()); // "auto" with one speaker
    rig.service.sendFeed(committed(2, QStringLiteral("another voice"), 1));
    QTRY_VERIFY(s.labelsSpeakers());
    QCOMPARE(changes.size(), 1);
    QVERIFY(await(s.update(SettingsPatch(std::nullopt, SpeakerLabels::off)))->finished);
    QVERIFY(!s.labelsSpeakers());
    QVERIFY(await(s.update(SettingsPatch(std::nullopt, SpeakerLabels::auto_)))->finished);
    QVERIFY(s.labelsSpeakers());

    Rig on;
    LiveSession& labelled = on.make(Mode::record(), AudioSource::mic(), true,
                                    SettingsPatch(std::nullopt, SpeakerLabels::on));
    QVERIFY(labelled.labelsSpeakers()); // "on", with nobody heard yet
}

void TestLiveSession::preview() {
    Rig rig;
    LiveSession& s = rig.captions();
    s.preview(State::live,
              {committed(1, QStringLiteral("sample words"), 0),
               committed(2, QStringLiteral("a reply"), 1), draft(QStringLiteral("and so"))});
    QCOMPARE(s.state(), State::live);
    const auto lines = s.transcript().lines(40);
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines[1].text, QStringLiteral("a reply and so"));
    QVERIFY(lines[1].live);
    QVERIFY(s.labelsSpeakers());
    s.preview(State::failed, {}, QStringLiteral("Sample failure."));
    QCOMPARE(s.failure(), QStringLiteral("Sample failure."));
    QVERIFY(rig.service.server.httpRequests().isEmpty());
}

void TestLiveSession::destroyedWhileRunning() {
    Rig rig;
    rig.record(true);
    QVERIFY(rig.startLive());
    rig.service.setDelay([](const RecordedRequest&) { return 200ms; });
    auto pausing = std::make_shared<Outcome<void>>();
    detail::drive(rig.session->setPaused(true), pausing);
    const auto tap = rig.inputs.tap();
    const auto mic = rig.inputs.mic();
    rig.session.reset();
    QVERIFY(tap->stopped() && mic->stopped());
    QVERIFY(!tap->push(std::vector<float>(100, 0.1f)));
    QTRY_VERIFY(pausing->finished);
    QTRY_COMPARE(rig.service.uplinkDisconnects, 1);
}

void TestLiveSession::capturesOnOtherThreads() {
    // The tap and the microphone push from their own threads while the feed delivers on its
    // own: every chunk reaches the uplink, in order, and the transcript takes every event.
    Rig rig;
    LiveSession& s = rig.record(true);
    QVERIFY(rig.startLive());
    constexpr int chunks = 40;
    const auto tap = rig.inputs.tap();
    const auto mic = rig.inputs.mic();
    std::thread tapThread([tap] {
        for (int i = 0; i < chunks; ++i) {
            tap->push(std::vector<float>(Mixer::chunk / 2, float(i) / 1000.0f));
            tap->push(std::vector<float>(Mixer::chunk / 2, float(i) / 1000.0f));
            std::this_thread::sleep_for(2ms);
        }
    });
    std::thread micThread([mic] {
        for (int i = 0; i < chunks; ++i) {
            mic->push(std::vector<float>(Mixer::chunk, 0.0f));
            std::this_thread::sleep_for(2ms);
        }
    });
    for (int i = 1; i <= 30; ++i)
        rig.service.sendFeed(committed(i, QStringLiteral("words %1").arg(i)));
    tapThread.join();
    micThread.join();
    QTRY_COMPARE(rig.service.uplinkBinaries.size(), chunks);
    for (int i = 0; i < chunks; ++i)
        QCOMPARE(floats(rig.service.uplinkBinaries[i]).front(), float(i) / 1000.0f);
    QTRY_COMPARE(s.transcript().segments().size(), std::size_t(30));
    QCOMPARE(s.sent(), qint64(chunks) * qint64(Mixer::chunk));
    QVERIFY(rig.stop());
}

QTEST_GUILESS_MAIN(TestLiveSession)
#include "tst_LiveSession.moc"
