#pragma once

#include "AudioInputs.h"

namespace pq {

class AppResolver;
class AudioServer;

// Live-run audio from the sound server: process taps and the microphone of core/audio. The
// server and the resolver must outlive every capture made here.
class PulseAudioInputs : public AudioInputs {
public:
    PulseAudioInputs(AudioServer& server, AppResolver& resolver);

    QCoro::Task<std::vector<AudioProcess>> processes() override;
    QCoro::Task<std::optional<std::uint32_t>> ownProcess() override;
    std::unique_ptr<AudioInput> tap(ProcessTap::Target target) override;
    QCoro::Task<bool> requestMicAccess() override;
    std::unique_ptr<AudioInput> mic(bool echoCancel) override;

private:
    AudioServer& m_server;
    AppResolver& m_resolver;
};

} // namespace pq
