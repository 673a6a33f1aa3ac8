#include "PulseAudioInputs.h"

#include "AudioProcesses.h"
#include "AudioServer.h"
#include "CaptureError.h"
#include "MicCapture.h"

namespace pq {

namespace {

class TapInput : public AudioInput {
public:
    TapInput(AudioServer& server, ProcessTap::Target target) : m_tap(server, std::move(target)) {}

    void setOnSamples(SamplesHandler handler) override { m_tap.setOnSamples(std::move(handler)); }
    QCoro::Task<void> start() override { return m_tap.start(); }
    void stop() override { m_tap.stop(); }

private:
    ProcessTap m_tap;
};

class MicInput : public AudioInput {
public:
    MicInput(AudioServer& server, bool echoCancel) : m_mic(server, echoCancel) {}

    void setOnSamples(SamplesHandler handler) override { m_mic.setOnSamples(std::move(handler)); }
    QCoro::Task<void> start() override { return m_mic.start(); }
    void stop() override { m_mic.stop(); }
    void addReference(std::span<const float> samples) override { m_mic.addReference(samples); }

private:
    MicCapture m_mic;
};

} // namespace

PulseAudioInputs::PulseAudioInputs(AudioServer& server, AppResolver& resolver)
    : m_server(server), m_resolver(resolver) {}

QCoro::Task<std::vector<AudioProcess>> PulseAudioInputs::processes() {
    // An unreachable sound server is said as such, not as an application that plays nothing.
    QCoro::Task<int> connecting = m_server.connect();
    const int status = co_await std::move(connecting);
    if (status != 0)
        throw CaptureError::tap(status);
    co_return AudioProcesses(m_server, m_resolver).all();
}

QCoro::Task<std::optional<std::uint32_t>> PulseAudioInputs::ownProcess() {
    // Without a sound server there is no own process; the tap then says what is wrong.
    QCoro::Task<int> connecting = m_server.connect();
    co_await std::move(connecting);
    co_return AudioProcesses(m_server, m_resolver).current();
}

std::unique_ptr<AudioInput> PulseAudioInputs::tap(ProcessTap::Target target) {
    return std::make_unique<TapInput>(m_server, std::move(target));
}

QCoro::Task<bool> PulseAudioInputs::requestMicAccess() {
    return MicCapture::requestAccess(m_server);
}

std::unique_ptr<AudioInput> PulseAudioInputs::mic(bool echoCancel) {
    return std::make_unique<MicInput>(m_server, echoCancel);
}

} // namespace pq
