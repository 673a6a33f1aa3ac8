#include "MicCapture.h"

#include "AudioServer.h"
#include "CaptureError.h"
#include "EchoCanceller.h"
#include "Resampler.h"
#include "SamplesGate.h"

#include <QCoroFuture>
#include <QFuture>
#include <QPromise>

namespace pq {

namespace {

[[noreturn]] void throwMic(const QString& reason) {
    throw CaptureError::mic(reason);
}
[[noreturn]] void throwDenied() {
    throw CaptureError::micDenied();
}

} // namespace

struct MicCapture::Core : std::enable_shared_from_this<MicCapture::Core> {
    Core(AudioServer& s, std::shared_ptr<EchoCanceller> c) : server(s), canceller(std::move(c)) {}

    AudioServer& server;
    const std::shared_ptr<EchoCanceller> canceller;

    SamplesGate gate;

    // Server thread only.
    std::unique_ptr<RecordStream> stream;
    std::unique_ptr<Resampler> resampler;
    std::shared_ptr<QPromise<int>> opening;

    void settle(int result) {
        if (!opening)
            return;
        opening->addResult(result);
        opening->finish();
        opening.reset();
    }

    void open(std::shared_ptr<QPromise<int>> promise) {
        if (gate.closed()) {
            promise->addResult(0);
            promise->finish();
            return;
        }
        opening = std::move(promise);
        std::weak_ptr<Core> weak = weak_from_this();
        RecordHandler handler;
        handler.ready = [weak](const AudioFormat& format) {
            if (auto core = weak.lock())
                core->ready(format);
        };
        handler.data = [weak](const void* data, std::size_t bytes) {
            if (auto core = weak.lock())
                core->data(data, bytes);
        };
        handler.failed = [weak](int error) {
            if (auto core = weak.lock())
                core->failed(error);
        };
        AudioServer::Opened opened =
            server.record({std::nullopt, QStringLiteral("Parloquent microphone")}, handler);
        if (!opened.stream) {
            settle(opened.error ? opened.error : AudioServer::errNoEntity);
            return;
        }
        stream = std::move(opened.stream);
    }

    void ready(const AudioFormat& format) {
        // Built before the first data arrives, which may come before anyone hears of READY.
        resampler = Resampler::create(format);
        settle(resampler ? 0 : -1);
    }

    void data(const void* bytes, std::size_t size) {
        if (!resampler)
            return;
        std::vector<float> samples =
            resampler->convert(bytes, size / resampler->input().bytesPerFrame());
        if (canceller)
            samples = canceller->process(samples);
        gate.deliver(samples);
    }

    void failed(int error) {
        std::shared_ptr<RecordStream> dead(std::move(stream));
        server.post([dead] {});
        settle(error);
    }

    void teardown() {
        stream.reset();
        settle(AudioServer::errKilled);
    }
};

namespace {

QFuture<int> openOnServer(const std::shared_ptr<MicCapture::Core>& core, AudioServer& server) {
    auto promise = std::make_shared<QPromise<int>>();
    promise->start();
    QFuture<int> future = promise->future();
    if (!core) {
        promise->addResult(0);
        promise->finish();
        return future;
    }
    server.post([core, promise] { core->open(promise); });
    return future;
}

// Opens a record stream on the default source and closes it again: the answer is whether that
// worked.
QFuture<int> probeOnServer(AudioServer& server) {
    auto core = std::make_shared<MicCapture::Core>(server, nullptr);
    QFuture<int> future = openOnServer(core, server);
    return future.then([core, &server](int result) {
        server.post([core] { core->teardown(); });
        return result;
    });
}

bool hasInput(const ServerState& state) {
    const auto* source = state.sourceNamed(state.defaultSource);
    return source && source->format.sampleRate > 0 && source->format.channels > 0;
}

} // namespace

MicCapture::MicCapture(AudioServer& server, bool echoCancel)
    : m_server(server), m_echoCancel(echoCancel),
      m_canceller(echoCancel ? std::shared_ptr<EchoCanceller>(EchoCanceller::create()) : nullptr),
      m_core(std::make_shared<Core>(server, m_canceller)) {}

MicCapture::~MicCapture() {
    stop();
}

bool MicCapture::cancelling() const {
    return m_canceller != nullptr;
}

void MicCapture::setOnSamples(SamplesHandler handler) {
    if (!m_core)
        return;
    m_core->gate.setHandler(std::move(handler));
}

void MicCapture::addReference(std::span<const float> samples) {
    if (m_canceller)
        m_canceller->addFarEnd(samples);
}

QCoro::Task<bool> MicCapture::requestAccess(AudioServer& server) {
    const int connected = co_await server.connect();
    if (connected != 0 || !hasInput(server.state()))
        co_return false;
    QFuture<int> probe = probeOnServer(server);
    const int result = co_await probe;
    co_return result == 0;
}

QCoro::Task<void> MicCapture::start() {
    const int connected = co_await m_server.connect();
    if (connected != 0) {
        stop();
        throwMic(m_server.errorText(connected));
    }
    if (!hasInput(m_server.state())) {
        stop();
        throwMic(QStringLiteral("no input device"));
    }
    QFuture<int> opened = openOnServer(m_core, m_server);
    const int error = co_await opened;
    if (error == 0)
        co_return;
    stop();
    if (error == AudioServer::errAccess)
        throwDenied();
    if (error < 0)
        throwMic(QStringLiteral("no input device"));
    throwMic(m_server.errorText(error));
}

void MicCapture::stop() {
    if (!m_core)
        return;
    m_core->gate.close();
    m_server.post([core = m_core] { core->teardown(); });
    m_core.reset();
}

} // namespace pq
