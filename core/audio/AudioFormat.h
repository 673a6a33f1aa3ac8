#pragma once

#include <cstddef>

namespace pq {

// The layout of interleaved PCM frames as a capture source delivers them.
struct AudioFormat {
    enum class SampleType { float32, int16 };

    SampleType sampleType = SampleType::float32;
    int sampleRate = 0;
    int channels = 0;

    std::size_t bytesPerSample() const { return sampleType == SampleType::int16 ? 2 : 4; }
    std::size_t bytesPerFrame() const {
        return bytesPerSample() * static_cast<std::size_t>(channels > 0 ? channels : 0);
    }
    bool operator==(const AudioFormat&) const = default;
};

} // namespace pq
