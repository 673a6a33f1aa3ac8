#pragma once

#include "AudioInput.h"
#include "AudioProcess.h"
#include "ProcessTap.h"

#include <QCoroTask>

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace pq {

// The platform's audio for a live run: which processes make sound, and the captures made from
// them. PulseAudioInputs on Linux; fakes in tests.
class AudioInputs {
public:
    virtual ~AudioInputs() = default;

    // Every process the sound server knows (AudioProcesses::all once it is reachable). Throws
    // CaptureError::tap when the sound server cannot be reached.
    virtual QCoro::Task<std::vector<AudioProcess>> processes() = 0;
    // This program's own process, if the sound server knows it.
    virtual QCoro::Task<std::optional<std::uint32_t>> ownProcess() = 0;
    virtual std::unique_ptr<AudioInput> tap(ProcessTap::Target target) = 0;
    virtual QCoro::Task<bool> requestMicAccess() = 0;
    virtual std::unique_ptr<AudioInput> mic(bool echoCancel) = 0;
};

} // namespace pq
