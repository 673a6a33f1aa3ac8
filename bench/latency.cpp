// Latency of the live path, in one process with the service's side on a thread of its own:
//   - transcript: from a committed segment leaving the service (the feed socket's send) to the
//     session's Transcript holding it on the main thread;
//   - audio: from the mixer cutting a chunk (on a capture thread) to its binary frame arriving
//     at the service's end of the uplink.
// Timestamps travel inside the data (the segment's text, the chunk's first samples), on the
// monotonic clock.
//
//   bench_latency [--seconds N] (default 60) [--segments-per-second N] (default 10)
//
// Prints the count, median, p99 and maximum of each, in milliseconds.
#include "API.h"
#include "AudioInputs.h"
#include "Await.h"
#include "LiveSession.h"
#include "Mixer.h"
#include "ScriptedService.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QThread>
#include <QTimer>
#include <QWebSocket>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>

using namespace pq;
using namespace pq::test;
using namespace std::chrono_literals;

namespace {

qint64 nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// A 64-bit stamp in four samples of 16 bits each, exact in float.
void encode(std::vector<float>& samples, qint64 stamp) {
    for (int i = 0; i < 4; ++i)
        samples[std::size_t(i)] = float((quint64(stamp) >> (16 * i)) & 0xFFFF) / 65536.0f;
}

qint64 decode(const QByteArray& frame) {
    quint64 stamp = 0;
    const auto* samples = reinterpret_cast<const float*>(frame.constData());
    for (int i = 0; i < 4; ++i)
        stamp |= quint64(std::lround(samples[i] * 65536.0f)) << (16 * i);
    return qint64(stamp);
}

struct Stats {
    std::mutex mutex;
    std::vector<double> ms;

    void add(double value) {
        const std::lock_guard lock(mutex);
        ms.push_back(value);
    }
    void print(const char* what) {
        const std::lock_guard lock(mutex);
        if (ms.empty()) {
            std::printf("%-12s no samples\n", what);
            return;
        }
        std::sort(ms.begin(), ms.end());
        const auto at = [&](double q) {
            return ms[std::min(ms.size() - 1, std::size_t(q * double(ms.size())))];
        };
        std::printf("%-12s n=%-6zu median %7.3f ms   p99 %7.3f ms   max %7.3f ms\n", what,
                    ms.size(), at(0.5), at(0.99), ms.back());
    }
};

// The service's side, on its own thread: the scripted service, plus a feed that commits a
// stamped segment every so often, and an uplink that times each frame.
class ServiceThread : public QThread {
public:
    ServiceThread(Stats& audio, int segmentsPerSecond)
        : m_audio(audio), m_interval(1000 / std::max(1, segmentsPerSecond)) {}

    QUrl base() {
        std::unique_lock lock(m_mutex);
        m_ready.wait(lock, [this] { return m_base.isValid(); });
        return m_base;
    }

protected:
    void run() override {
        ScriptedService service;
        qint64 seq = 0;
        QTimer commits;
        commits.setInterval(m_interval);
        QObject::connect(&commits, &QTimer::timeout, [&] {
            ++seq;
            // Stamped just before the send: the segment leaves the service now.
            const QJsonObject event = committed(seq, QStringLiteral("t%1").arg(nowNs()), 0);
            service.sendFeed(event);
        });
        QObject::connect(&service.server, &LoopbackServer::httpRequestReceived,
                         [&](const RecordedRequest& r) {
                             // Steady state: the feed has opened and loaded its first snapshot.
                             if (r.path.endsWith("/transcript") && !commits.isActive())
                                 QTimer::singleShot(500, &commits, [&] { commits.start(); });
                         });
        QObject::connect(&service.server, &LoopbackServer::accepted,
                         [this](QWebSocket* client, const RecordedRequest& upgrade) {
                             if (!upgrade.path.startsWith("/v1/stream/"))
                                 return;
                             QObject::connect(client, &QWebSocket::binaryMessageReceived,
                                              [this](const QByteArray& frame) {
                                                  const qint64 arrived = nowNs();
                                                  if (frame.size() >= 16)
                                                      m_audio.add(double(arrived - decode(frame)) /
                                                                  1e6);
                                              });
                         });
        {
            const std::lock_guard lock(m_mutex);
            m_base = service.server.base();
        }
        m_ready.notify_all();
        exec();
    }

private:
    Stats& m_audio;
    const int m_interval;
    std::mutex m_mutex;
    std::condition_variable m_ready;
    QUrl m_base;
};

// A capture that cuts one stamped chunk every 250 ms on its own thread, as the tap does.
class StampedCapture : public AudioInput {
public:
    ~StampedCapture() override { stop(); }
    void setOnSamples(SamplesHandler handler) override { m_handler = std::move(handler); }
    QCoro::Task<void> start() override {
        m_thread = std::thread([this] {
            auto due = std::chrono::steady_clock::now();
            while (!m_stop) {
                due += 250ms;
                std::this_thread::sleep_until(due);
                std::vector<float> chunk(Mixer::chunk, 0.0f);
                encode(chunk, nowNs());
                m_handler(chunk); // the mixer cuts the chunk inside this call
            }
        });
        co_return;
    }
    void stop() override {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
    }

private:
    SamplesHandler m_handler;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

class StampedInputs : public AudioInputs {
public:
    QCoro::Task<std::vector<AudioProcess>> processes() override {
        AudioProcess p;
        p.object = 1;
        p.pid = 2;
        p.bundleID = QStringLiteral("org.example.Bench");
        p.playing = true;
        co_return std::vector<AudioProcess>{p};
    }
    QCoro::Task<std::optional<std::uint32_t>> ownProcess() override { co_return std::nullopt; }
    std::unique_ptr<AudioInput> tap(ProcessTap::Target) override {
        return std::make_unique<StampedCapture>();
    }
    QCoro::Task<bool> requestMicAccess() override { co_return false; }
    std::unique_ptr<AudioInput> mic(bool) override { return nullptr; }
};

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addOption({"seconds", "How long to run.", "N", "60"});
    parser.addOption({"segments-per-second", "Committed segments a second.", "N", "10"});
    parser.process(app);
    const int seconds = parser.value("seconds").toInt();

    Stats audio;
    Stats transcript;
    ServiceThread service(audio, parser.value("segments-per-second").toInt());
    service.start();
    Env env = Env::named(Env::Name::local);
    env.api = service.base();
    env.app = env.api;
    API api(env, QStringLiteral("bench"));
    StampedInputs inputs;
    LiveSession session(&api, inputs, LiveSession::Mode::record(),
                        AudioSource::app("org.example.Bench", "Bench"), false, "Latency", {},
                        std::nullopt);
    qint64 lastSeq = 0;
    QObject::connect(&session, &LiveSession::transcriptChanged, [&] {
        const qint64 now = nowNs();
        const auto& segments = session.transcript().segments();
        for (auto it = segments.upper_bound(lastSeq); it != segments.end(); ++it) {
            const QString& text = it->second.text;
            if (text.startsWith('t'))
                transcript.add(double(now - text.mid(1).toLongLong()) / 1e6);
            lastSeq = it->first;
        }
    });

    await(session.start(), 30s);
    if (session.state() != LiveSession::State::live) {
        std::fprintf(stderr, "the run did not start: %s\n", qPrintable(session.failure()));
        return 1;
    }
    std::printf("live path latency over %d s\n", seconds);
    QTimer::singleShot(seconds * 1000, &app, &QCoreApplication::quit);
    app.exec();
    await(session.stop(), 30s);
    transcript.print("transcript");
    audio.print("audio");
    service.quit();
    service.wait();
    return 0;
}
