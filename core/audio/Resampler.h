#pragma once

#include "AudioFormat.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

struct soxr;

namespace pq {

// Turns captured PCM in the source's own format into the service's form: mono 32-bit float at
// 16 kHz. Several channels are averaged into one before resampling. The converter keeps its
// filter state from one buffer to the next, so the buffers of one stream come out as one
// continuous signal. Used from one thread at a time.
class Resampler {
public:
    static constexpr int outputRate = 16000;

    // The service format: mono float at 16 kHz.
    static const AudioFormat& output();

    // A converter from `input`, or null when that format cannot be converted.
    static std::unique_ptr<Resampler> create(const AudioFormat& input);
    ~Resampler();
    Resampler(const Resampler&) = delete;
    Resampler& operator=(const Resampler&) = delete;

    const AudioFormat& input() const { return m_input; }

    // Converts `frameCount` interleaved frames in the input format. Returns what the converter
    // can give now, possibly nothing; a failure also gives nothing.
    std::vector<float> convert(const void* frames, std::size_t frameCount);
    std::vector<float> convert(std::span<const float> interleaved);
    std::vector<float> convert(std::span<const std::int16_t> interleaved);

    // Ends the stream: hands out what the filter still holds. The converter is ready for a new
    // stream afterwards.
    std::vector<float> drain();

private:
    explicit Resampler(const AudioFormat& input);

    AudioFormat m_input;
    soxr* m_soxr = nullptr;
    std::vector<float> m_mono;
};

} // namespace pq
