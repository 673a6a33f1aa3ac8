// Capturing other applications' sound from the headless PulseAudio: which streams are taken,
// streams that start, end or move while the tap runs, silence, stopping, and a server that
// cannot be reached.
#include "AudioTestSupport.h"
#include "Await.h"
#include "CaptureError.h"
#include "ProcessTap.h"
#include "PulseAudioServer.h"

#include <QElapsedTimer>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

using namespace pq;
using namespace pq::test;
using namespace std::chrono_literals;

namespace {

constexpr double amplitude = 0.4;

// The last `seconds` of what was collected.
std::vector<float> last(const Collector& c, double seconds) {
    auto all = c.snapshot();
    const auto n = static_cast<std::size_t>(seconds * 16000);
    if (all.size() > n)
        all.erase(all.begin(), all.end() - static_cast<std::ptrdiff_t>(n));
    return all;
}

} // namespace

class TestProcessTap : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void tapsSeparateTheApplications();
    void playerStartingLaterIsPickedUp();
    void playerQuittingEndsOnlyItsStream();
    void movedStreamIsFollowed();
    void stopIsFinalAndRepeatable();
    void unreachableServerIsATapError();

private:
    // The server's client of a player, once its stream plays.
    std::uint32_t clientOf(const Player& player);
    // Starts a tap that gathers into `into`.
    bool startTap(ProcessTap& tap, Collector& into);
    // Waits until `c` holds `seconds` more than it does now.
    bool gather(const Collector& c, double seconds);

    QTemporaryDir m_dir;
    QString m_low, m_high;
    std::unique_ptr<PulseAudioServer> m_server;
};

void TestProcessTap::initTestCase() {
    QString why;
    if (!serverAnswers(&why))
        QFAIL(qPrintable(why));
    m_low = writeTone(m_dir.path(), 440, 30, 48000, 2, amplitude);
    m_high = writeTone(m_dir.path(), 1000, 30, 48000, 2, amplitude);
    QVERIFY(!m_low.isEmpty() && !m_high.isEmpty());
    m_server = std::make_unique<PulseAudioServer>();
    const auto connected = await(m_server->connect());
    QVERIFY(connected->value && *connected->value == 0);
}

void TestProcessTap::cleanupTestCase() {
    m_server.reset();
}

std::uint32_t TestProcessTap::clientOf(const Player& player) {
    std::uint32_t found = ServerState::none;
    (void)QTest::qWaitFor(
        [&] {
            const ServerState state = m_server->state();
            for (const auto& client : state.clients)
                if (client.pid == player.pid())
                    for (const auto& s : state.playbacks)
                        if (s.client == client.index && !s.corked)
                            found = client.index;
            return found != ServerState::none;
        },
        10000);
    return found;
}

bool TestProcessTap::startTap(ProcessTap& tap, Collector& into) {
    tap.setOnSamples([&into](const std::vector<float>& s) { into.add(s); });
    const auto started = await(tap.start());
    if (started->error)
        qWarning("start failed: %s", qPrintable(describe(started->error)));
    return started->finished && !started->error;
}

bool TestProcessTap::gather(const Collector& c, double seconds) {
    const auto want = c.size() + static_cast<std::size_t>(seconds * 16000);
    return QTest::qWaitFor([&] { return c.size() >= want; }, int(seconds * 1000) + 5000);
}

void TestProcessTap::tapsSeparateTheApplications() {
    Player low, high;
    QVERIFY(low.start(m_low, QStringLiteral("LowPlayer")));
    QVERIFY(high.start(m_high, QStringLiteral("HighPlayer")));
    const auto lowClient = clientOf(low);
    QVERIFY(lowClient != ServerState::none);
    QVERIFY(clientOf(high) != ServerState::none);

    ProcessTap only(*m_server, ProcessTap::Target::processes({lowClient}));
    ProcessTap others(*m_server, ProcessTap::Target::allExcept({lowClient}));
    ProcessTap everything(*m_server, ProcessTap::Target::allExcept({}));
    Collector onlyOut, othersOut, everythingOut;
    QVERIFY(startTap(only, onlyOut));
    QVERIFY(startTap(others, othersOut));
    QVERIFY(startTap(everything, everythingOut));
    QVERIFY(QTest::qWaitFor(
        [&] { return toneAmplitude(last(onlyOut, 0.5), 440) > amplitude * 0.95; }, 10000));
    const auto before = onlyOut.size();
    QElapsedTimer clock;
    clock.start();
    QVERIFY(gather(onlyOut, 2.0));
    QVERIFY(gather(othersOut, 0.0) && gather(everythingOut, 0.0));
    // Delivered at the real-time rate.
    const double rate = double(onlyOut.size() - before) * 1000.0 / double(clock.elapsed());
    QVERIFY2(rate > 14000 && rate < 18000, qPrintable(QString::number(rate)));

    const auto a = last(onlyOut, 1.5);
    const double a440 = toneAmplitude(a, 440), a1000 = toneAmplitude(a, 1000);
    QVERIFY2(std::fabs(a440 - amplitude) < 0.02, qPrintable(QString::number(a440)));
    QVERIFY2(dB(a1000 / a440) <= -60, qPrintable(QStringLiteral("%1 dB").arg(dB(a1000 / a440))));

    const auto b = last(othersOut, 1.5);
    const double b440 = toneAmplitude(b, 440), b1000 = toneAmplitude(b, 1000);
    QVERIFY2(std::fabs(b1000 - amplitude) < 0.02, qPrintable(QString::number(b1000)));
    QVERIFY2(dB(b440 / b1000) <= -60, qPrintable(QStringLiteral("%1 dB").arg(dB(b440 / b1000))));

    const auto c = last(everythingOut, 1.5);
    QVERIFY(std::fabs(toneAmplitude(c, 440) - amplitude) < 0.02);
    QVERIFY(std::fabs(toneAmplitude(c, 1000) - amplitude) < 0.02);
    qInfo("separation: %.1f dB and %.1f dB", dB(a1000 / a440), dB(b440 / b1000));

    // The players were not disturbed: still playing to their sink.
    QCOMPARE(low.process().state(), QProcess::Running);
    QVERIFY(pactl({QStringLiteral("list"), QStringLiteral("short"), QStringLiteral("sink-inputs")})
                .count(QStringLiteral("\n")) >= 2);
}

void TestProcessTap::playerStartingLaterIsPickedUp() {
    ProcessTap tap(*m_server, ProcessTap::Target::allExcept({}));
    Collector out;
    QVERIFY(startTap(tap, out));
    // Nothing plays: silence, in real time.
    QVERIFY(gather(out, 1.0));
    QVERIFY(rms(out.snapshot()) == 0.0);

    Player late;
    QVERIFY(late.start(m_high, QStringLiteral("LatePlayer")));
    QVERIFY(QTest::qWaitFor([&] { return toneAmplitude(last(out, 0.5), 1000) > amplitude * 0.9; },
                            10000));
}

void TestProcessTap::playerQuittingEndsOnlyItsStream() {
    Player low, high;
    QVERIFY(low.start(m_low, QStringLiteral("Quitter")));
    QVERIFY(high.start(m_high, QStringLiteral("Stayer")));
    QVERIFY(clientOf(low) != ServerState::none && clientOf(high) != ServerState::none);
    ProcessTap tap(*m_server, ProcessTap::Target::allExcept({}));
    Collector out;
    QVERIFY(startTap(tap, out));
    // The first data comes once the sink has played what it held: wait for both tones.
    QVERIFY(QTest::qWaitFor(
        [&] {
            const auto recent = last(out, 0.5);
            return toneAmplitude(recent, 440) > amplitude * 0.95 &&
                   toneAmplitude(recent, 1000) > amplitude * 0.95;
        },
        10000));

    low.stop();
    QVERIFY(gather(out, 2.0));
    const auto after = last(out, 1.5);
    QVERIFY(std::fabs(toneAmplitude(after, 1000) - amplitude) < 0.02);
    QVERIFY2(dB(toneAmplitude(after, 440) / amplitude) <= -60,
             qPrintable(QString::number(toneAmplitude(after, 440))));
}

void TestProcessTap::movedStreamIsFollowed() {
    const QString module = pactl({QStringLiteral("load-module"), QStringLiteral("module-null-sink"),
                                  QStringLiteral("sink_name=other_out"),
                                  QStringLiteral("rate=44100"), QStringLiteral("channels=2")})
                               .trimmed();
    QVERIFY(!module.isEmpty());
    auto unload = qScopeGuard([&] { pactl({QStringLiteral("unload-module"), module}); });

    Player low;
    QVERIFY(low.start(m_low, QStringLiteral("Mover")));
    const auto client = clientOf(low);
    QVERIFY(client != ServerState::none);
    std::uint32_t input = ServerState::none;
    for (const auto& s : m_server->state().playbacks)
        if (s.client == client)
            input = s.index;
    ProcessTap tap(*m_server, ProcessTap::Target::processes({client}));
    Collector out;
    QVERIFY(startTap(tap, out));
    QVERIFY(gather(out, 1.0));

    // Moving the stream kills its monitor ("Entity killed"): the tap records it again on the new
    // sink (another rate, too).
    pactl({QStringLiteral("move-sink-input"), QString::number(input), QStringLiteral("other_out")});
    QVERIFY(QTest::qWaitFor(
        [&] {
            const ServerState state = m_server->state();
            const auto* s = state.playback(input);
            const auto* sink = s ? state.sink(s->device) : nullptr;
            return sink && sink->name == QStringLiteral("other_out");
        },
        5000));
    QVERIFY(gather(out, 2.0));
    const auto moved = last(out, 1.0);
    QVERIFY2(std::fabs(toneAmplitude(moved, 440) - amplitude) < 0.02,
             qPrintable(QString::number(toneAmplitude(moved, 440))));
}

void TestProcessTap::stopIsFinalAndRepeatable() {
    {
        ProcessTap never(*m_server, ProcessTap::Target::allExcept({}));
        never.stop();
        never.stop();
    }
    Player high;
    QVERIFY(high.start(m_high, QStringLiteral("StopPlayer")));
    ProcessTap tap(*m_server, ProcessTap::Target::allExcept({}));
    Collector out;
    QVERIFY(startTap(tap, out));
    QVERIFY(gather(out, 0.5));
    tap.stop();
    const auto calls = out.calls();
    tap.stop();
    QTest::qWait(400);
    QCOMPARE(out.calls(), calls);
    // Its recordings are gone from the server.
    QVERIFY(QTest::qWaitFor(
        [&] {
            const ServerState state = m_server->state();
            for (const auto& r : state.recordings) {
                const auto* client = state.client(r.client);
                if (client && client->pid == int(QCoreApplication::applicationPid()))
                    return false;
            }
            return true;
        },
        5000));
}

void TestProcessTap::unreachableServerIsATapError() {
    PulseAudioServer nowhere(QStringLiteral("unix:") + m_dir.filePath(QStringLiteral("none")));
    ProcessTap tap(nowhere, ProcessTap::Target::allExcept({}));
    const auto started = await(tap.start());
    QVERIFY(started->finished);
    const auto error = started->errorAs<CaptureError>();
    QVERIFY(error);
    QVERIFY(error->kind() == CaptureError::Kind::tap);
    QVERIFY(error->status() != 0);
    QCOMPARE(error->description(),
             QStringLiteral("Parloquent could not record your computer’s audio. Check that the "
                            "sound server (PipeWire or PulseAudio) is running, then try again."));
    tap.stop();
}

QTEST_GUILESS_MAIN(TestProcessTap)
#include "tst_ProcessTap.moc"
