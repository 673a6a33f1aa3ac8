// The microphone: speech spoken into the headless server's microphone, access, failures (real
// and through a scripted server), stopping, and echo cancellation against the tapped sound.
#include "AudioServer.h"
#include "AudioTestSupport.h"
#include "Await.h"
#include "CaptureError.h"
#include "MicCapture.h"
#include "ProcessTap.h"
#include "PulseAudioServer.h"
#include "Resampler.h"

#include <QElapsedTimer>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>

using namespace pq;
using namespace pq::test;

namespace {

// A sound server that answers from a script: its state, and what opening a recording gives.
class ScriptedServer : public AudioServer {
public:
    ServerState scripted;
    int connectResult = 0;
    int recordError = 0;   // returned at once
    int recordFailure = 0; // reported through the handler instead
    int opened = 0;

    QCoro::Task<int> connect() override { co_return connectResult; }
    ServerState state() const override { return scripted; }
    void post(std::function<void()> job) override { job(); }
    std::uint64_t watch(std::function<void()>) override { return 1; }
    void unwatch(std::uint64_t) override {}
    std::uint64_t every(std::chrono::milliseconds, std::function<void()>) override { return 1; }
    void cancel(std::uint64_t) override {}
    Opened record(const Record&, RecordHandler handler) override {
        ++opened;
        if (recordError)
            return {nullptr, recordError};
        if (recordFailure)
            handler.failed(recordFailure);
        else
            handler.ready(AudioFormat{AudioFormat::SampleType::int16, 48000, 1});
        return {std::make_unique<RecordStream>(), 0};
    }
    QString errorText(int error) const override { return QStringLiteral("error %1").arg(error); }

    void withMicrophone(int rate) {
        scripted.connected = true;
        scripted.sources = {
            {0, QStringLiteral("mic"), {AudioFormat::SampleType::int16, rate, 1}, false}};
        scripted.defaultSource = QStringLiteral("mic");
    }
};

// The best normalised correlation of `reference` inside `signal` near the lag where both first
// get loud.
double correlation(const std::vector<float>& signal, const std::vector<float>& reference) {
    const auto onset = [](const std::vector<float>& v) {
        for (std::size_t i = 0; i < v.size(); ++i)
            if (std::fabs(v[i]) > 0.02f)
                return static_cast<long>(i);
        return -1L;
    };
    const long a = onset(signal), b = onset(reference);
    if (a < 0 || b < 0)
        return 0.0;
    double best = 0.0;
    for (long lag = a - b - 400; lag <= a - b + 400; ++lag) {
        double xy = 0, xx = 0, yy = 0;
        for (std::size_t i = 0; i < reference.size(); ++i) {
            const long j = long(i) + lag;
            if (j < 0 || j >= long(signal.size()))
                continue;
            xy += double(signal[std::size_t(j)]) * reference[i];
            xx += double(signal[std::size_t(j)]) * signal[std::size_t(j)];
            yy += double(reference[i]) * reference[i];
        }
        if (xx > 0 && yy > 0)
            best = std::max(best, xy / std::sqrt(xx * yy));
    }
    return best;
}

double energyDb(const std::vector<float>& v, std::size_t from, std::size_t to) {
    to = std::min(to, v.size());
    if (from >= to)
        return -300.0;
    return dB(rms(std::span<const float>(v.data() + from, to - from)) + 1e-12);
}

} // namespace

class TestMicCapture : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void accessIsGrantedWhenTheSourceOpens();
    void speechArrivesAs16kMono();
    void stopIsFinalAndRepeatable();
    void unreachableServer();
    void noInputDevice();
    void refusedAccessIsMicDenied();
    void otherStreamFailures();
    void echoIsCancelled();

private:
    // Records the microphone while `far` plays, with or without cancellation; the capture.
    std::vector<float> runWithEcho(bool cancel, const QString& far, double seconds);

    QTemporaryDir m_dir;
    std::unique_ptr<PulseAudioServer> m_server;
};

void TestMicCapture::initTestCase() {
    QString why;
    if (!serverAnswers(&why))
        QFAIL(qPrintable(why));
    m_server = std::make_unique<PulseAudioServer>();
    const auto connected = await(m_server->connect());
    QVERIFY(connected->value && *connected->value == 0);
}

void TestMicCapture::cleanupTestCase() {
    m_server.reset();
}

void TestMicCapture::accessIsGrantedWhenTheSourceOpens() {
    const auto granted = await(MicCapture::requestAccess(*m_server));
    QVERIFY(granted->value);
    QVERIFY(*granted->value);
    // The probe leaves nothing open.
    QVERIFY(QTest::qWaitFor(
        [&] {
            const ServerState state = m_server->state();
            for (const auto& r : state.recordings) {
                const auto* c = state.client(r.client);
                if (c && c->pid == int(QCoreApplication::applicationPid()))
                    return false;
            }
            return true;
        },
        5000));

    PulseAudioServer nowhere(QStringLiteral("unix:") + m_dir.filePath(QStringLiteral("none")));
    const auto refused = await(MicCapture::requestAccess(nowhere));
    QVERIFY(refused->value);
    QVERIFY(!*refused->value);
}

void TestMicCapture::speechArrivesAs16kMono() {
    const QString speech = writeSpeech(m_dir.path(), QStringLiteral("speech"),
                                       QStringLiteral("The quick brown fox jumps over the lazy "
                                                      "dog, then it sleeps."));
    QVERIFY(!speech.isEmpty());
    int rate = 0, channels = 0;
    const auto source = readWav(speech, &rate, &channels);
    QVERIFY(!source.empty() && channels == 1);
    auto toService = Resampler::create({AudioFormat::SampleType::float32, rate, 1});
    auto reference = toService->convert(std::span<const float>(source));
    const auto tail = toService->drain();
    reference.insert(reference.end(), tail.begin(), tail.end());

    MicCapture mic(*m_server, false);
    QVERIFY(!mic.cancelling());
    Collector out;
    mic.setOnSamples([&out](const std::vector<float>& s) { out.add(s); });
    const auto started = await(mic.start());
    QVERIFY(started->finished && !started->error);
    QVERIFY(QTest::qWaitFor([&] { return out.size() > 0; }, 5000));
    const auto before = out.size();
    QElapsedTimer clock;
    clock.start();

    Player speaker;
    QVERIFY(speaker.start(speech, QStringLiteral("Speaker"), QStringLiteral("mic_feed")));
    QVERIFY(speaker.process().waitForFinished(20000));
    QTest::qWait(500);
    const double perSecond = double(out.size() - before) * 1000.0 / double(clock.elapsed());
    mic.stop();

    // 16 kHz: about 16000 samples a second of wall time.
    QVERIFY2(perSecond > 14500 && perSecond < 17500, qPrintable(QString::number(perSecond)));
    const auto captured = out.snapshot();
    const double match = correlation(captured, reference);
    qInfo("speech correlation %.3f", match);
    QVERIFY2(match > 0.9, qPrintable(QString::number(match)));
}

void TestMicCapture::stopIsFinalAndRepeatable() {
    {
        MicCapture never(*m_server, true);
        never.stop();
        never.stop();
    }
    MicCapture mic(*m_server, false);
    Collector out;
    mic.setOnSamples([&out](const std::vector<float>& s) { out.add(s); });
    QVERIFY(!await(mic.start())->error);
    QVERIFY(QTest::qWaitFor([&] { return out.calls() > 2; }, 5000));
    mic.stop();
    const auto calls = out.calls();
    mic.stop();
    QTest::qWait(300);
    QCOMPARE(out.calls(), calls);
}

void TestMicCapture::unreachableServer() {
    PulseAudioServer nowhere(QStringLiteral("unix:") + m_dir.filePath(QStringLiteral("none")));
    MicCapture mic(nowhere, true);
    const auto started = await(mic.start());
    const auto error = started->errorAs<CaptureError>();
    QVERIFY(error);
    QVERIFY(error->kind() == CaptureError::Kind::mic);
    QCOMPARE(error->description(), QStringLiteral("The microphone could not be opened: ") +
                                       nowhere.errorText(AudioServer::errConnectionRefused));
    mic.stop();
}

void TestMicCapture::noInputDevice() {
    ScriptedServer server;
    server.scripted.connected = true; // no sources at all
    MicCapture mic(server, true);
    auto error = await(mic.start())->errorAs<CaptureError>();
    QVERIFY(error);
    QCOMPARE(error->reason(), QStringLiteral("no input device"));
    QCOMPARE(error->description(),
             QStringLiteral("The microphone could not be opened: no input device"));
    QCOMPARE(server.opened, 0);
    mic.stop();

    // A source that reports no rate is no device either.
    ScriptedServer zero;
    zero.withMicrophone(0);
    MicCapture mic2(zero, false);
    QCOMPARE(await(mic2.start())->errorAs<CaptureError>()->reason(),
             QStringLiteral("no input device"));
    QVERIFY(!await(MicCapture::requestAccess(zero))->value.value());
}

void TestMicCapture::refusedAccessIsMicDenied() {
    ScriptedServer server;
    server.withMicrophone(48000);
    server.recordFailure = AudioServer::errAccess;
    MicCapture mic(server, false);
    const auto error = await(mic.start())->errorAs<CaptureError>();
    QVERIFY(error);
    QVERIFY(error->kind() == CaptureError::Kind::micDenied);
    QCOMPARE(error->description(),
             QStringLiteral("Parloquent may not use the microphone yet. Allow it in your "
                            "desktop’s privacy settings, then try again."));
    QVERIFY(!*await(MicCapture::requestAccess(server))->value);

    server.recordFailure = 0;
    QVERIFY(*await(MicCapture::requestAccess(server))->value);
}

void TestMicCapture::otherStreamFailures() {
    ScriptedServer server;
    server.withMicrophone(48000);
    server.recordError = AudioServer::errNoEntity;
    MicCapture mic(server, false);
    const auto error = await(mic.start())->errorAs<CaptureError>();
    QVERIFY(error && error->kind() == CaptureError::Kind::mic);
    QCOMPARE(error->reason(), QStringLiteral("error 5"));
    mic.stop();
}

std::vector<float> TestMicCapture::runWithEcho(bool cancel, const QString& far, double seconds) {
    Player player;
    if (!player.start(far, QStringLiteral("FarEnd")))
        return {};
    std::uint32_t client = ServerState::none;
    (void)QTest::qWaitFor(
        [&] {
            for (const auto& c : m_server->state().clients)
                if (c.pid == player.pid())
                    client = c.index;
            return client != ServerState::none;
        },
        5000);
    MicCapture mic(*m_server, cancel);
    if (mic.cancelling() != cancel)
        return {};
    ProcessTap tap(*m_server, ProcessTap::Target::processes({client}));
    Collector out;
    tap.setOnSamples([&mic](const std::vector<float>& s) { mic.addReference(s); });
    mic.setOnSamples([&out](const std::vector<float>& s) { out.add(s); });
    if (await(tap.start())->error || await(mic.start())->error)
        return {};
    (void)QTest::qWaitFor([&] { return out.size() >= std::size_t(seconds * 16000); },
                          int(seconds * 1000) + 5000);
    mic.stop();
    tap.stop();
    return out.snapshot();
}

void TestMicCapture::echoIsCancelled() {
    // The speakers are heard by the microphone 60 ms later, as in a room.
    const QString module =
        pactl({QStringLiteral("load-module"), QStringLiteral("module-loopback"),
               QStringLiteral("source=virt_out.monitor"), QStringLiteral("sink=mic_feed"),
               QStringLiteral("latency_msec=60")})
            .trimmed();
    QVERIFY(!module.isEmpty());
    auto unload = qScopeGuard([&] { pactl({QStringLiteral("unload-module"), module}); });

    const QString far = writeSpeech(
        m_dir.path(), QStringLiteral("far"),
        QStringLiteral("Good morning everyone, and thank you for joining the call today. We will "
                       "go through the quarterly numbers first, then talk about the release "
                       "plan, and finally leave some time for questions from the team. Please "
                       "keep your microphones muted while you are not speaking."));
    QVERIFY(!far.isEmpty());
    constexpr double seconds = 14.0;
    const auto plain = runWithEcho(false, far, seconds);
    const auto cancelled = runWithEcho(true, far, seconds);
    QVERIFY(plain.size() >= std::size_t(seconds * 16000));
    QVERIFY(cancelled.size() >= std::size_t(seconds * 16000));

    // After the canceller has settled (7 s), the echo left over against the echo heard.
    const std::size_t from = 7 * 16000, to = std::size_t(seconds * 16000);
    const double echo = energyDb(plain, from, to);
    const double residual = energyDb(cancelled, from, to);
    qInfo("echo %.1f dB, residual %.1f dB: %.1f dB less", echo, residual, echo - residual);
    QVERIFY2(echo > -40, "the microphone did not hear the speakers");
    QVERIFY2(echo - residual >= 20, qPrintable(QString::number(echo - residual)));
}

QTEST_GUILESS_MAIN(TestMicCapture)
#include "tst_MicCapture.moc"
