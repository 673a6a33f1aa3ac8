#pragma once

#include <QCoroTask>

#include <functional>
#include <span>
#include <vector>

namespace pq {

// One capture a live run reads from (the process tap or the microphone), as the session sees it.
class AudioInput {
public:
    using SamplesHandler = std::function<void(const std::vector<float>&)>;

    virtual ~AudioInput() = default;

    // Set before `start`. Called on a capture thread with 16 kHz mono samples; never called once
    // `stop` has returned.
    virtual void setOnSamples(SamplesHandler handler) = 0;
    // Throws the capture's error when it cannot start.
    virtual QCoro::Task<void> start() = 0;
    // Safe at any time and more than once.
    virtual void stop() = 0;
    // What the speakers play, for an input that cancels their echo; others ignore it. Any thread.
    virtual void addReference(std::span<const float> samples) { (void)samples; }
};

} // namespace pq
