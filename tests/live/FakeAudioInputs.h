#pragma once

// Audio inputs for session tests: the test decides which processes exist, whether captures
// start, and pushes the samples itself (from any thread), as a capture thread would.
#include "AudioInputs.h"

#include <QString>

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace pq::test {

// What one capture made by the fake saw, shared with the test.
class FakeCapture {
public:
    // Calls the session's handler with `samples` unless the capture is stopped. False then.
    bool push(const std::vector<float>& samples);
    // `count` samples of `value`, in pieces of `piece`.
    void pushConstant(std::size_t count, float value, std::size_t piece = 1000);

    bool started() const;
    bool stopped() const;
    std::size_t referenceSamples() const; // far-end samples given to a microphone

    bool echoCancel = false;         // for a microphone
    ProcessTap::Target target;       // for a tap
    std::exception_ptr startFailure; // thrown by start when set

private:
    friend class FakeInput;
    mutable std::mutex m_mutex;
    AudioInput::SamplesHandler m_handler;
    bool m_started = false;
    bool m_stopped = false;
    std::size_t m_reference = 0;
};

class FakeAudioInputs : public AudioInputs {
public:
    std::vector<AudioProcess> all;
    std::optional<std::uint32_t> own;
    bool micAllowed = true;
    std::exception_ptr tapFailure;
    std::exception_ptr micFailure;

    // The captures made so far, newest last.
    std::vector<std::shared_ptr<FakeCapture>> taps;
    std::vector<std::shared_ptr<FakeCapture>> mics;
    int accessRequests = 0;

    std::shared_ptr<FakeCapture> tap() const { return taps.empty() ? nullptr : taps.back(); }
    std::shared_ptr<FakeCapture> mic() const { return mics.empty() ? nullptr : mics.back(); }

    QCoro::Task<std::vector<AudioProcess>> processes() override;
    QCoro::Task<std::optional<std::uint32_t>> ownProcess() override;
    std::unique_ptr<AudioInput> tap(ProcessTap::Target target) override;
    QCoro::Task<bool> requestMicAccess() override;
    std::unique_ptr<AudioInput> mic(bool echoCancel) override;

    static AudioProcess process(std::uint32_t object, const QString& bundleID, bool playing = true);
};

} // namespace pq::test
