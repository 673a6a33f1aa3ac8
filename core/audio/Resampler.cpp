#include "Resampler.h"

#include <soxr.h>

#include <cmath>

namespace pq {

namespace {

// Headroom for what the filter may release beyond the ratio in one call.
constexpr std::size_t outputHeadroom = 32;

// Averages interleaved frames into mono floats.
template <class Sample, class Scale>
void downMix(const Sample* in, std::size_t frames, int channels, Scale scale,
             std::vector<float>& out) {
    out.resize(frames);
    if (channels == 1) {
        for (std::size_t i = 0; i < frames; ++i)
            out[i] = scale(in[i]);
        return;
    }
    const float share = 1.0f / static_cast<float>(channels);
    for (std::size_t i = 0; i < frames; ++i) {
        float sum = 0.0f;
        const Sample* frame = in + i * static_cast<std::size_t>(channels);
        for (int c = 0; c < channels; ++c)
            sum += scale(frame[c]);
        out[i] = sum * share;
    }
}

} // namespace

const AudioFormat& Resampler::output() {
    static const AudioFormat format{AudioFormat::SampleType::float32, outputRate, 1};
    return format;
}

std::unique_ptr<Resampler> Resampler::create(const AudioFormat& input) {
    // PulseAudio's limits: no stream has more than 32 channels or a rate beyond 384 kHz.
    if (input.sampleRate <= 0 || input.sampleRate > 384000 || input.channels <= 0 ||
        input.channels > 32)
        return nullptr;
    std::unique_ptr<Resampler> resampler(new Resampler(input));
    if (input.sampleRate != outputRate) {
        soxr_error_t error = nullptr;
        const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
        const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
        const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
        resampler->m_soxr =
            soxr_create(input.sampleRate, outputRate, 1, &error, &io, &quality, &runtime);
        if (error || !resampler->m_soxr)
            return nullptr;
    }
    return resampler;
}

Resampler::Resampler(const AudioFormat& input) : m_input(input) {}

Resampler::~Resampler() {
    if (m_soxr)
        soxr_delete(m_soxr);
}

std::vector<float> Resampler::convert(const void* frames, std::size_t frameCount) {
    if (!frames || frameCount == 0)
        return {};
    if (m_input.sampleType == AudioFormat::SampleType::int16)
        downMix(
            static_cast<const std::int16_t*>(frames), frameCount, m_input.channels,
            [](std::int16_t s) { return static_cast<float>(s) * (1.0f / 32768.0f); }, m_mono);
    else
        downMix(
            static_cast<const float*>(frames), frameCount, m_input.channels,
            [](float s) { return s; }, m_mono);

    if (!m_soxr)
        return m_mono;

    const double ratio = static_cast<double>(outputRate) / m_input.sampleRate;
    std::vector<float> out(static_cast<std::size_t>(std::floor(frameCount * ratio)) +
                           outputHeadroom);
    std::size_t made = 0;
    std::size_t offset = 0;
    // soxr takes the whole input but may hold output back when the buffer fills: keep asking
    // (with an empty, non-null input, which is not the end of the stream) until it has no more.
    for (;;) {
        if (out.size() - made < outputHeadroom)
            out.resize(out.size() + 4 * outputHeadroom);
        std::size_t used = 0;
        std::size_t done = 0;
        const std::size_t space = out.size() - made;
        if (soxr_process(m_soxr, m_mono.data() + offset, frameCount - offset, &used,
                         out.data() + made, space, &done))
            return {};
        offset += used;
        made += done;
        if (offset >= frameCount && done < space)
            break;
    }
    out.resize(made);
    return out;
}

std::vector<float> Resampler::convert(std::span<const float> interleaved) {
    if (m_input.sampleType != AudioFormat::SampleType::float32)
        return {};
    return convert(interleaved.data(),
                   interleaved.size() / static_cast<std::size_t>(m_input.channels));
}

std::vector<float> Resampler::convert(std::span<const std::int16_t> interleaved) {
    if (m_input.sampleType != AudioFormat::SampleType::int16)
        return {};
    return convert(interleaved.data(),
                   interleaved.size() / static_cast<std::size_t>(m_input.channels));
}

std::vector<float> Resampler::drain() {
    if (!m_soxr)
        return {};
    std::vector<float> out;
    float block[256];
    for (;;) {
        std::size_t done = 0;
        // A null input tells soxr the stream has ended.
        if (soxr_process(m_soxr, nullptr, 0, nullptr, block, std::size(block), &done) || !done)
            break;
        out.insert(out.end(), block, block + done);
    }
    soxr_clear(m_soxr);
    return out;
}

} // namespace pq
