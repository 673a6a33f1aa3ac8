#pragma once

#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

namespace webrtc {
class AudioProcessing;
}

namespace pq {

// Acoustic echo cancellation for the microphone (WebRTC's audio processing), at 16 kHz mono:
// the far end is what the speakers play (the tapped application sound), the near end is the
// microphone. Far-end samples may come from any thread; the near end is processed on the
// microphone's thread.
class EchoCanceller {
public:
    static constexpr int rate = 16000;
    static constexpr std::size_t frame = rate / 100; // the processor works in 10 ms frames

    // A canceller, or null when the processor cannot be set up.
    static std::unique_ptr<EchoCanceller> create();
    ~EchoCanceller();
    EchoCanceller(const EchoCanceller&) = delete;
    EchoCanceller& operator=(const EchoCanceller&) = delete;

    // What the speakers play. Kept for at most a second when the microphone does not run.
    void addFarEnd(std::span<const float> samples);
    // Removes the echo from microphone samples. Works in whole frames, so the answer lags the
    // input by less than one frame.
    std::vector<float> process(std::span<const float> nearEnd);

private:
    explicit EchoCanceller(webrtc::AudioProcessing* processor);

    std::unique_ptr<webrtc::AudioProcessing> m_processor;
    std::mutex m_farMutex;
    std::deque<float> m_far;
    std::vector<float> m_near; // microphone samples short of a frame
};

} // namespace pq
