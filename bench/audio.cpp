// CPU cost of capturing one application's sound: our path (process tap → resampler → mixer)
// beside `parec --rate=16000 --channels=1 --format=float32le` recording the same player's stream,
// in one run against the headless PulseAudio of scripts/pulse. The server's share is measured
// against a phase where the player plays alone.
//
//   eval "$(scripts/pulse start)"; bench_audio [--seconds N]   (default 60)
//
// Prints CPU seconds per 60 s of 48 kHz stereo audio for each, and the ratio.
#include "Mixer.h"
#include "ProcessTap.h"
#include "PulseAudioServer.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <cmath>
#include <cstdio>
#include <numbers>
#include <random>
#include <unistd.h>

using namespace pq;

namespace {

double ticks() {
    return double(sysconf(_SC_CLK_TCK));
}

// User + system CPU seconds of a process so far (0 when it is gone).
double cpuSeconds(qint64 pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0.0;
    const QByteArray text = stat.readAll();
    const QList<QByteArray> f = text.mid(text.lastIndexOf(')') + 2).split(' ');
    // Fields after the name: state(0) … utime(11) stime(12).
    return f.size() > 12 ? (f[11].toDouble() + f[12].toDouble()) / ticks() : 0.0;
}

qint64 serverPid() {
    QFile file(qEnvironmentVariable("PQ_PULSE_BASE") + QStringLiteral("/xdg/pulse/pid"));
    return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed().toLongLong() : 0;
}

// Music-like test sound: two tones and some noise, 16-bit 48 kHz stereo.
bool writeWav(const QString& path, double seconds) {
    const int rate = 48000;
    const auto frames = static_cast<quint32>(seconds * rate);
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return false;
    const quint32 bytes = frames * 4;
    auto u32 = [&](quint32 v) { f.write(reinterpret_cast<const char*>(&v), 4); };
    auto u16 = [&](quint16 v) { f.write(reinterpret_cast<const char*>(&v), 2); };
    f.write("RIFF");
    u32(36 + bytes);
    f.write("WAVEfmt ");
    u32(16);
    u16(1);
    u16(2);
    u32(rate);
    u32(rate * 4);
    u16(4);
    u16(16);
    f.write("data");
    u32(bytes);
    std::mt19937 random(1);
    std::normal_distribution<double> noise(0.0, 0.02);
    std::vector<qint16> block;
    block.reserve(rate * 2);
    for (quint32 i = 0; i < frames; ++i) {
        const double t = double(i) / rate;
        const double l = 0.3 * std::sin(2 * std::numbers::pi * 440 * t) + noise(random);
        const double r = 0.3 * std::sin(2 * std::numbers::pi * 660 * t) + noise(random);
        block.push_back(qint16(std::lround(std::clamp(l, -1.0, 1.0) * 32767)));
        block.push_back(qint16(std::lround(std::clamp(r, -1.0, 1.0) * 32767)));
        if (block.size() >= std::size_t(rate * 2) || i + 1 == frames) {
            f.write(reinterpret_cast<const char*>(block.data()), qint64(block.size() * 2));
            block.clear();
        }
    }
    return true;
}

void wait(double seconds) {
    QEventLoop loop;
    QTimer::singleShot(int(seconds * 1000), &loop, &QEventLoop::quit);
    loop.exec();
}

struct Player {
    QProcess process;
    bool start(const QString& file) {
        process.start(QStringLiteral("paplay"),
                      {QStringLiteral("--client-name=BenchPlayer"), QStringLiteral("-d"),
                       QStringLiteral("virt_out"), file});
        return process.waitForStarted();
    }
    ~Player() {
        process.kill();
        process.waitForFinished();
    }
};

// The server's client and playback stream of a player, once it plays.
bool findStream(PulseAudioServer& server, qint64 pid, std::uint32_t* client,
                std::uint32_t* playback) {
    for (int i = 0; i < 100; ++i) {
        const ServerState state = server.state();
        for (const auto& c : state.clients)
            if (c.pid == pid)
                for (const auto& s : state.playbacks)
                    if (s.client == c.index) {
                        *client = c.index;
                        *playback = s.index;
                        return true;
                    }
        wait(0.05);
    }
    return false;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    double seconds = 60;
    const QStringList args = app.arguments();
    const int at = args.indexOf(QStringLiteral("--seconds"));
    if (at > 0 && at + 1 < args.size())
        seconds = args[at + 1].toDouble();
    const qint64 pulse = serverPid();
    if (qEnvironmentVariableIsEmpty("PULSE_SERVER") || pulse <= 0) {
        std::fprintf(stderr, "start the test server first: eval \"$(scripts/pulse start)\"\n");
        return 2;
    }
    QTemporaryDir dir;
    const QString wav = dir.filePath(QStringLiteral("bench.wav"));
    if (!writeWav(wav, seconds + 5)) {
        std::fprintf(stderr, "could not write %s\n", qPrintable(wav));
        return 1;
    }
    PulseAudioServer server;
    QEventLoop connecting;
    int connected = -1;
    auto task = server.connect();
    task.then([&](int result) {
        connected = result;
        connecting.quit();
    });
    if (connected < 0)
        connecting.exec();
    if (connected != 0) {
        std::fprintf(stderr, "cannot reach the sound server\n");
        return 1;
    }
    const double scale = 60.0 / seconds;

    // 1. The player alone: the server's own cost of playing.
    double alone = 0;
    {
        Player player;
        std::uint32_t client, playback;
        if (!player.start(wav) ||
            !findStream(server, player.process.processId(), &client, &playback))
            return 1;
        wait(1.0);
        const double s0 = cpuSeconds(pulse);
        wait(seconds);
        alone = cpuSeconds(pulse) - s0;
    }

    // 2. Our capture path.
    double oursClient = 0, oursServer = 0;
    std::size_t chunks = 0;
    {
        Player player;
        std::uint32_t client, playback;
        if (!player.start(wav) ||
            !findStream(server, player.process.processId(), &client, &playback))
            return 1;
        Mixer mixer(1);
        mixer.setOnChunk([&chunks](std::vector<float>) { ++chunks; });
        ProcessTap tap(server, ProcessTap::Target::processes({client}));
        tap.setOnSamples([&mixer](const std::vector<float>& s) { mixer.push(s, 0); });
        QEventLoop starting;
        bool failed = false, started = false;
        tap.start().then(
            [&] {
                started = true;
                starting.quit();
            },
            [&](const std::exception&) {
                failed = started = true;
                starting.quit();
            });
        // The start may already be over (an answer that was ready at once).
        if (!started)
            starting.exec();
        if (failed) {
            std::fprintf(stderr, "tap failed\n");
            return 1;
        }
        wait(1.0);
        const double c0 = cpuSeconds(QCoreApplication::applicationPid());
        const double s0 = cpuSeconds(pulse);
        const std::size_t chunks0 = chunks;
        wait(seconds);
        oursClient = cpuSeconds(QCoreApplication::applicationPid()) - c0;
        oursServer = cpuSeconds(pulse) - s0 - alone;
        tap.stop();
        std::printf("ours: %zu chunks of 4000 samples in %.0f s (expected %.0f)\n",
                    chunks - chunks0, seconds, seconds * 4);
    }

    // 3. parec on the same kind of stream: as it comes (it buffers about 2 s), and with our
    // 100 ms latency.
    const auto runParec = [&](const QStringList& extra, double* client, double* serverCost) {
        Player player;
        std::uint32_t c, playback;
        if (!player.start(wav) || !findStream(server, player.process.processId(), &c, &playback))
            return false;
        QProcess parec;
        parec.setStandardOutputFile(QProcess::nullDevice());
        parec.start(QStringLiteral("parec"),
                    QStringList{QStringLiteral("--rate=16000"), QStringLiteral("--channels=1"),
                                QStringLiteral("--format=float32le"),
                                QStringLiteral("--monitor-stream=%1").arg(playback),
                                QStringLiteral("-d"), QStringLiteral("virt_out.monitor")} +
                        extra);
        if (!parec.waitForStarted())
            return false;
        wait(1.0);
        const double c0 = cpuSeconds(parec.processId());
        const double s0 = cpuSeconds(pulse);
        wait(seconds);
        *client = cpuSeconds(parec.processId()) - c0;
        *serverCost = cpuSeconds(pulse) - s0 - alone;
        parec.kill();
        parec.waitForFinished();
        return true;
    };
    double parecClient = 0, parecServer = 0, lowClient = 0, lowServer = 0;
    if (!runParec({}, &parecClient, &parecServer) ||
        !runParec({QStringLiteral("--latency-msec=100")}, &lowClient, &lowServer))
        return 1;

    const double ours = (oursClient + std::max(0.0, oursServer)) * scale;
    const double theirs = (parecClient + std::max(0.0, parecServer)) * scale;
    const double theirsLow = (lowClient + std::max(0.0, lowServer)) * scale;
    std::printf("CPU seconds per 60 s of 48 kHz stereo (measured over %.0f s):\n", seconds);
    std::printf("  server, player alone:             %.3f\n", alone * scale);
    std::printf("  ours  (tap→resample→mixer, 100 ms): %.3f  (client %.3f, server %+.3f)\n", ours,
                oursClient * scale, oursServer * scale);
    std::printf("  parec (16 kHz mono float):        %.3f  (client %.3f, server %+.3f)\n", theirs,
                parecClient * scale, parecServer * scale);
    std::printf("  parec --latency-msec=100:         %.3f  (client %.3f, server %+.3f)\n",
                theirsLow, lowClient * scale, lowServer * scale);
    std::printf("  ratio ours / parec:               %.2f  (target <= 0.70)\n",
                theirs > 0 ? ours / theirs : 0.0);
    std::printf("  ratio ours / parec at 100 ms:     %.2f\n",
                theirsLow > 0 ? ours / theirsLow : 0.0);
    return 0;
}
