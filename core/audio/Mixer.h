#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <mutex>
#include <span>
#include <vector>

namespace pq {

// Turns the converted samples of one or two inputs, arriving at irregular sizes on capture
// threads, into fixed chunks of `chunk` samples. Input 0 sets the pace; input 1 is added sample by
// sample; the sum is clipped to [-1, 1] and the peak of each chunk becomes `level`.
class Mixer {
public:
    static constexpr std::size_t chunk = 4000;

    using ChunkHandler = std::function<void(std::vector<float>)>;

    // `inputs` must be 1 or 2; anything else throws std::invalid_argument.
    explicit Mixer(int inputs);

    int inputs() const { return m_inputs; }

    // Set once by the owner before any samples arrive. Called on the thread that completed the
    // chunk, outside the lock.
    void setOnChunk(ChunkHandler handler) { m_onChunk = std::move(handler); }

    // Appends samples to input `input` and delivers every whole chunk input 0 now allows.
    // An input number outside the mixer's inputs throws std::out_of_range.
    void push(std::span<const float> samples, int input);

    // Mixes and delivers what is left as one last chunk of any length and empties the queues.
    void flush();

    // Peak absolute value of the last chunk that `push` cut.
    float level() const { return m_level.load(std::memory_order_relaxed); }

private:
    const int m_inputs;
    std::mutex m_lock;
    std::vector<float> m_fifo[2];
    std::atomic<float> m_level{0.0f};
    ChunkHandler m_onChunk;
};

} // namespace pq
