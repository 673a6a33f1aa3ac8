#include "ProcessTap.h"

#include "AudioServer.h"
#include "CaptureError.h"
#include "Resampler.h"
#include "SamplesGate.h"
#include "StreamSum.h"

#include <QCoroFuture>
#include <QFuture>
#include <QPromise>

#include <algorithm>
#include <map>

namespace pq {

namespace {

constexpr auto tickInterval = std::chrono::milliseconds(100);
// A stream that failed is recorded again after this pause (a moved stream fails with "Entity
// killed" and is still there), up to `maxFailures` times in a row without data.
constexpr auto retryDelay = std::chrono::milliseconds(100);
constexpr int maxFailures = 5;

using Clock = StreamSum::Clock;

[[noreturn]] void throwTap(int status) {
    throw CaptureError::tap(status);
}

} // namespace

bool ProcessTap::Target::includes(std::uint32_t client) const {
    const bool listed = std::find(objects.begin(), objects.end(), client) != objects.end();
    return kind == Kind::processes ? listed : !listed;
}

struct ProcessTap::Core : std::enable_shared_from_this<ProcessTap::Core> {
    Core(AudioServer& s, Target t) : server(s), target(std::move(t)) {}

    AudioServer& server;
    const Target target;

    SamplesGate gate; // shared with the owner's thread

    // Server thread only.
    struct Tapped {
        std::uint32_t device = ServerState::none;
        std::unique_ptr<RecordStream> stream;
        std::unique_ptr<Resampler> resampler;
        std::uint64_t generation = 0;
        int sumId = -1;
        int failures = 0;
        Clock::time_point failedAt;
    };
    std::map<std::uint32_t, Tapped> tapped;
    StreamSum sum{Clock::now()};
    std::uint64_t generation = 0;
    std::uint64_t watchId = 0;
    std::uint64_t timerId = 0;
    bool running = false;
    bool dirty = false;

    int begin() {
        if (gate.closed())
            return 0;
        running = true;
        sum = StreamSum(Clock::now());
        std::weak_ptr<Core> weak = weak_from_this();
        watchId = server.watch([weak] {
            if (auto core = weak.lock())
                core->reconcile(false);
        });
        timerId = server.every(tickInterval, [weak] {
            if (auto core = weak.lock())
                core->tick();
        });
        if (const int error = reconcile(true)) {
            teardown();
            return error;
        }
        return 0;
    }

    // Brings the recorded streams in line with the server's playback streams.
    int reconcile(bool initial) {
        if (!running)
            return 0;
        const ServerState state = server.state();
        if (!state.connected)
            return initial ? AudioServer::errConnectionRefused : 0;

        std::map<std::uint32_t, std::uint32_t> wanted; // playback → its sink
        for (const auto& playback : state.playbacks)
            if (target.includes(playback.client))
                wanted.emplace(playback.index, playback.device);

        for (auto it = tapped.begin(); it != tapped.end();) {
            if (wanted.count(it->first)) {
                ++it;
                continue;
            }
            end(it->second);
            it = tapped.erase(it);
        }

        const auto now = Clock::now();
        for (const auto& [index, device] : wanted) {
            Tapped& t = tapped[index];
            if (t.stream && t.device == device)
                continue;
            if (t.stream) // moved without its recording failing
                end(t);
            if (t.device != device)
                t.failures = 0;
            if (t.failures >= maxFailures)
                continue;
            if (t.failures > 0 && now - t.failedAt < retryDelay) {
                dirty = true;
                continue;
            }
            t.device = device;
            if (const int error = open(index, t)) {
                if (initial && error != AudioServer::errNoEntity)
                    return error;
                ++t.failures;
                t.failedAt = now;
                dirty = true;
            }
        }
        return 0;
    }

    int open(std::uint32_t index, Tapped& t) {
        const std::uint64_t gen = ++generation;
        std::weak_ptr<Core> weak = weak_from_this();
        RecordHandler handler;
        handler.ready = [weak, index, gen](const AudioFormat& format) {
            if (auto core = weak.lock())
                core->ready(index, gen, format);
        };
        handler.data = [weak, index, gen](const void* data, std::size_t bytes) {
            if (auto core = weak.lock())
                core->data(index, gen, data, bytes);
        };
        handler.failed = [weak, index, gen](int error) {
            if (auto core = weak.lock())
                core->failed(index, gen, error);
        };
        AudioServer::Opened opened =
            server.record({index, QStringLiteral("Parloquent capture")}, std::move(handler));
        if (!opened.stream)
            return opened.error ? opened.error : AudioServer::errNoEntity;
        t.stream = std::move(opened.stream);
        t.generation = gen;
        t.resampler.reset();
        t.sumId = sum.add();
        return 0;
    }

    // Ends one recording; what it captured is still summed.
    void end(Tapped& t) {
        t.stream.reset();
        t.resampler.reset();
        if (t.sumId >= 0)
            sum.end(t.sumId);
        t.sumId = -1;
    }

    Tapped* find(std::uint32_t index, std::uint64_t gen) {
        auto it = tapped.find(index);
        return it != tapped.end() && it->second.stream && it->second.generation == gen ? &it->second
                                                                                       : nullptr;
    }

    void ready(std::uint32_t index, std::uint64_t gen, const AudioFormat& format) {
        if (Tapped* t = find(index, gen))
            t->resampler = Resampler::create(format);
    }

    void data(std::uint32_t index, std::uint64_t gen, const void* bytes, std::size_t size) {
        Tapped* t = find(index, gen);
        if (!t || !t->resampler)
            return;
        const std::size_t frame = t->resampler->input().bytesPerFrame();
        const std::vector<float> samples = t->resampler->convert(bytes, size / frame);
        const auto now = Clock::now();
        sum.push(t->sumId, samples, now);
        t->failures = 0;
        gate.deliver(sum.take(now));
    }

    void failed(std::uint32_t index, std::uint64_t gen, int) {
        Tapped* t = find(index, gen);
        if (!t)
            return;
        // Not inside the stream's own callback: let go of it from the next round.
        std::shared_ptr<RecordStream> dead(std::move(t->stream));
        server.post([dead] {});
        end(*t);
        ++t->failures;
        t->failedAt = Clock::now();
        dirty = true;
    }

    void tick() {
        if (!running)
            return;
        if (dirty) {
            dirty = false;
            reconcile(false);
        }
        gate.deliver(sum.take(Clock::now()));
    }

    void teardown() {
        running = false;
        if (watchId)
            server.unwatch(watchId);
        if (timerId)
            server.cancel(timerId);
        watchId = timerId = 0;
        tapped.clear();
    }
};

namespace {

QFuture<int> beginOnServer(const std::shared_ptr<ProcessTap::Core>& core, AudioServer& server) {
    auto promise = std::make_shared<QPromise<int>>();
    promise->start();
    QFuture<int> future = promise->future();
    if (!core) {
        promise->addResult(0);
        promise->finish();
        return future;
    }
    server.post([core, promise] {
        promise->addResult(core->begin());
        promise->finish();
    });
    return future;
}

} // namespace

ProcessTap::ProcessTap(AudioServer& server, Target target)
    : m_server(server), m_target(std::move(target)),
      m_core(std::make_shared<Core>(server, m_target)) {}

ProcessTap::~ProcessTap() {
    stop();
}

void ProcessTap::setOnSamples(SamplesHandler handler) {
    if (!m_core)
        return;
    m_core->gate.setHandler(std::move(handler));
}

QCoro::Task<void> ProcessTap::start() {
    const int connected = co_await m_server.connect();
    if (connected != 0) {
        stop();
        throwTap(connected);
    }
    QFuture<int> begun = beginOnServer(m_core, m_server);
    const int error = co_await begun;
    if (error != 0) {
        stop();
        throwTap(error);
    }
}

void ProcessTap::stop() {
    if (!m_core)
        return;
    m_core->gate.close();
    m_server.post([core = m_core] { core->teardown(); });
    m_core.reset();
}

} // namespace pq
