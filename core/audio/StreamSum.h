#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <optional>
#include <span>
#include <vector>

namespace pq {

// Sums several 16 kHz mono streams that arrive independently (one per tapped playback stream)
// into one, keeping them aligned by arrival and the output paced in real time:
// - while streams deliver, the output advances as far as the slowest of them allows, but never
//   more than `maxLag` behind the fastest, so one stalled stream cannot hold the others;
// - a stream that has not delivered for `idle` no longer holds the output back;
// - when nothing delivers, silence is handed out at the real-time rate, as a sound card would.
// Not thread-safe: used on the capture thread only.
class StreamSum {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr int rate = 16000;
    static constexpr std::chrono::milliseconds idle{250};
    static constexpr std::size_t maxLag = rate / 5; // 200 ms

    explicit StreamSum(Clock::time_point start);

    // A new stream; the number names it in the other calls.
    int add();
    void push(int stream, std::span<const float> samples, Clock::time_point now);
    // The stream delivers no more; what it holds is still summed.
    void end(int stream);
    // Everything that can be handed out at `now`, possibly nothing.
    std::vector<float> take(Clock::time_point now);

    std::size_t streams() const { return m_streams.size(); }

private:
    struct Stream {
        std::vector<float> queue;
        std::optional<Clock::time_point> lastData;
        bool ended = false;
    };

    std::map<int, Stream> m_streams;
    int m_next = 0;
    // The time up to which the output has been handed out, for the silence that stands in when
    // nothing plays.
    Clock::time_point m_outputTime;
};

} // namespace pq
