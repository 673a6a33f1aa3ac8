// The live session with the real platform: captures from the headless PulseAudio through
// PulseAudioInputs, and a private local service recognising a grammar of known sentences. Speech
// made by espeak-ng is played by an application (pacat) or into the virtual microphone.
#include "API.h"
#include "AppResolver.h"
#include "Await.h"
#include "DesktopEntries.h"
#include "LiveSession.h"
#include "PulseAudioInputs.h"
#include "PulseAudioServer.h"
#include "ServerProcess.h"
#include "SpeechPlayer.h"
#include "TestClient.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>

using namespace pq;
using namespace pq::test;
using namespace std::chrono_literals;

using State = LiveSession::State;

namespace {

const QString openWindow = QStringLiteral("Please open the window.");
const QString sister = QStringLiteral("My sister likes green apples.");
const QString station = QStringLiteral("Where is the nearest station?");

QStringList segmentTexts(const Transcript& transcript) {
    QStringList out;
    for (const auto& [seq, segment] : transcript.segments())
        out.append(segment.text);
    return out;
}

} // namespace

class TestLiveSessionEndToEnd : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void recordingOfAnApplication();
    void wholeComputer();
    void captionsWithTranslation();
    void pauseSendsNoAudio();

private:
    std::unique_ptr<LiveSession> session(LiveSession::Mode mode, AudioSource source,
                                         bool withMic = false,
                                         std::optional<QString> reading = std::nullopt);
    bool startLive(LiveSession& s);
    // The duration the service stored for the newest transcription's recording.
    double storedDuration();
    QByteArray speech(const QString& text);

    std::unique_ptr<ServerProcess> m_server;
    std::unique_ptr<API> m_api;
    std::unique_ptr<PulseAudioServer> m_pulse;
    std::unique_ptr<DesktopEntries> m_entries;
    std::unique_ptr<AppResolver> m_resolver;
    std::unique_ptr<PulseAudioInputs> m_inputs;
    QTemporaryDir m_dir;
};

void TestLiveSessionEndToEnd::initTestCase() {
    QProcess pactl;
    pactl.start(QStringLiteral("pactl"), {QStringLiteral("info")});
    QVERIFY2(pactl.waitForFinished(5000) && pactl.exitCode() == 0,
             "needs the headless PulseAudio that scripts/test starts");
    m_server = std::make_unique<ServerProcess>(QStringList{
        QStringLiteral("--grammar"), QStringLiteral(PQ_TEST_DATA "/server/sentences.jsgf")});
    QVERIFY2(m_server->start(), qPrintable(m_server->error()));
    QVERIFY2(m_server->waitForRecognizer(), qPrintable(m_server->error()));
    Env env = Env::named(Env::Name::local);
    env.api = m_server->base();
    m_api = std::make_unique<API>(env, m_server->key());
    m_pulse = std::make_unique<PulseAudioServer>();
    m_entries = std::make_unique<DesktopEntries>();
    m_resolver = std::make_unique<AppResolver>(*m_entries);
    m_inputs = std::make_unique<PulseAudioInputs>(*m_pulse, *m_resolver);
}

void TestLiveSessionEndToEnd::cleanupTestCase() {
    m_inputs.reset();
    m_pulse.reset();
    if (m_server)
        QCOMPARE(m_server->stop(), 0);
}

std::unique_ptr<LiveSession> TestLiveSessionEndToEnd::session(LiveSession::Mode mode,
                                                              AudioSource source, bool withMic,
                                                              std::optional<QString> reading) {
    return std::make_unique<LiveSession>(m_api.get(), *m_inputs, mode, std::move(source), withMic,
                                         QStringLiteral("End to end"), SettingsPatch(), reading);
}

bool TestLiveSessionEndToEnd::startLive(LiveSession& s) {
    const auto started = await(s.start(), 60s);
    if (!started->finished || s.state() != State::live) {
        qWarning() << "start ended" << s.state() << s.failure();
        return false;
    }
    return true;
}

double TestLiveSessionEndToEnd::storedDuration() {
    TestClient api(m_server->base(), m_server->key());
    const QJsonObject newest = api.get(QStringLiteral("/v1/transcriptions"))
                                   .json()
                                   .value(QStringLiteral("transcriptions"))
                                   .toArray()
                                   .first()
                                   .toObject();
    return newest.value("lastRecording").toObject().value("durationS").toDouble(-1);
}

QByteArray TestLiveSessionEndToEnd::speech(const QString& text) {
    QString error;
    const QByteArray samples = SpeechPlayer::speech(text, 1.0, &error);
    if (samples.isEmpty())
        qWarning() << error;
    return samples;
}

void TestLiveSessionEndToEnd::recordingOfAnApplication() {
    SpeechPlayer player;
    QVERIFY(player.start(QStringLiteral("Voice"), QStringLiteral("org.example.Voice")));
    QTest::qWait(500); // the sound server lists its stream
    auto s =
        session(LiveSession::Mode::record(),
                AudioSource::app(QStringLiteral("org.example.Voice"), QStringLiteral("Voice")));
    qint64 produced = 0;
    qint64 dropped = 0;
    connect(s.get(), &LiveSession::chunkHandled, this, [&](qsizetype samples, bool sent) {
        produced += samples;
        if (!sent)
            dropped += samples;
    });
    const QByteArray played = speech(openWindow) + speech(sister);
    QVERIFY(startLive(*s));
    player.play(played);
    QTRY_VERIFY2_WITH_TIMEOUT(s->transcript().segments().size() >= 2,
                              qPrintable(segmentTexts(s->transcript()).join(u'|')), 30000);
    QCOMPARE(segmentTexts(s->transcript()), (QStringList{openWindow, sister}));
    QVERIFY(s->level() >= 0.0f);
    QVERIFY(await(s->stop(), 30s)->finished);
    QCOMPARE(s->state(), State::done);
    // Every sample sent reached the service; the only chunks not sent came before the run was
    // live or after its stop began.
    QCOMPARE(std::llround(storedDuration() * LiveSession::sampleRate), s->sent());
    QCOMPARE(produced - dropped, s->sent());
    // At least both sentences went out (all but the last second of silence after them).
    QVERIFY2(s->sent() > played.size() / 2 - SpeechPlayer::rate,
             qPrintable(QString::number(s->sent())));
}

void TestLiveSessionEndToEnd::wholeComputer() {
    SpeechPlayer player;
    QVERIFY(player.start(QStringLiteral("Somewhere"), QStringLiteral("org.example.Somewhere")));
    auto s = session(LiveSession::Mode::record(), AudioSource::mac());
    QVERIFY(startLive(*s));
    player.play(speech(station));
    QTRY_COMPARE_WITH_TIMEOUT(s->transcript().segments().size(), std::size_t(1), 30000);
    QCOMPARE(segmentTexts(s->transcript()), QStringList{station});
    QVERIFY(await(s->stop(), 30s)->finished);
    QCOMPARE(s->state(), State::done);
}

void TestLiveSessionEndToEnd::captionsWithTranslation() {
    SpeechPlayer player;
    QVERIFY(player.start(QStringLiteral("Film"), QStringLiteral("org.example.Film")));
    QTest::qWait(500);
    auto s = session(LiveSession::Mode::captions(),
                     AudioSource::app(QStringLiteral("org.example.Film"), QStringLiteral("Film")),
                     false, QStringLiteral("es"));
    QVERIFY(startLive(*s));
    player.play(speech(openWindow));
    QTRY_COMPARE_WITH_TIMEOUT(s->transcript().segments().size(), std::size_t(1), 30000);
    QCOMPARE(segmentTexts(s->transcript()), QStringList{openWindow});
    QTRY_VERIFY_WITH_TIMEOUT(s->transcript().lines(40).value(0).translation.has_value(), 10000);
    QVERIFY(s->transcript().lines(40)[0].translation->size() > 5);
    QVERIFY(await(s->stop(), 30s)->finished);
    QCOMPARE(s->state(), State::done);
}

void TestLiveSessionEndToEnd::pauseSendsNoAudio() {
    // The microphone delivers sound in real time whether anyone speaks or not.
    auto s = session(LiveSession::Mode::record(), AudioSource::mic(), true);
    QElapsedTimer clock;
    clock.start();
    qint64 firstSent = -1;
    qint64 lastSent = -1;
    connect(s.get(), &LiveSession::chunkHandled, this, [&](qsizetype, bool sent) {
        if (!sent)
            return;
        if (firstSent < 0)
            firstSent = clock.elapsed();
        lastSent = clock.elapsed();
    });
    QVERIFY(startLive(*s));
    QTRY_VERIFY(firstSent >= 0);
    QTest::qWait(2000);
    QVERIFY(await(s->setPaused(true))->finished);
    QCOMPARE(s->state(), State::paused);
    const qint64 sentBeforePause = s->sent();
    QSignalSpy handled(s.get(), &LiveSession::chunkHandled);
    QElapsedTimer paused;
    paused.start();
    QTest::qWait(2000);
    QVERIFY(handled.size() >= 6); // the inputs kept running
    for (const auto& chunk : std::as_const(handled))
        QVERIFY(!chunk[1].toBool());
    QCOMPARE(s->sent(), sentBeforePause);
    QCOMPARE(s->level(), 0.0f);
    QVERIFY(await(s->setPaused(false))->finished);
    const qint64 pausedMs = paused.elapsed();
    QCOMPARE(s->state(), State::live);

    // Speech after the pause is heard.
    const QString wav = m_dir.filePath(QStringLiteral("sister.wav"));
    QVERIFY(SpeechPlayer::writeWav(sister, wav, nullptr));
    QProcess microphone;
    microphone.start(QStringLiteral("paplay"),
                     {QStringLiteral("-d"), QStringLiteral("mic_feed"), wav});
    QTRY_COMPARE_WITH_TIMEOUT(s->transcript().segments().size(), std::size_t(1), 30000);
    QCOMPARE(segmentTexts(s->transcript()), QStringList{sister});
    QTRY_VERIFY(microphone.state() == QProcess::NotRunning);
    QVERIFY(await(s->stop(), 30s)->finished);
    QCOMPARE(s->state(), State::done);

    // The service holds exactly what was sent: the time audio went out, less the pause, and a
    // chunk (the first one's samples were captured before it was sent).
    const double stored = storedDuration();
    QCOMPARE(std::llround(stored * LiveSession::sampleRate), s->sent());
    const double expected = (lastSent - firstSent - pausedMs) / 1000.0 + 0.25;
    QVERIFY2(std::abs(stored - expected) < 0.5,
             qPrintable(QStringLiteral("stored %1 s, expected %2 s").arg(stored).arg(expected)));
}

QTEST_GUILESS_MAIN(TestLiveSessionEndToEnd)
#include "tst_LiveSessionEndToEnd.moc"
