#include "EchoCanceller.h"

#include <webrtc/modules/audio_processing/include/audio_processing.h>

#include <algorithm>

namespace pq {

namespace {
constexpr std::size_t farLimit = EchoCanceller::rate; // one second
}

std::unique_ptr<EchoCanceller> EchoCanceller::create() {
    webrtc::Config config;
    // Playback and capture run on separate streams whose delay we cannot know exactly: let the
    // canceller find it, with the longer filter that tolerates an unsteady delay.
    config.Set<webrtc::DelayAgnostic>(new webrtc::DelayAgnostic(true));
    config.Set<webrtc::ExtendedFilter>(new webrtc::ExtendedFilter(true));
    webrtc::AudioProcessing* processor = webrtc::AudioProcessing::Create(config);
    if (!processor)
        return nullptr;
    std::unique_ptr<EchoCanceller> canceller(new EchoCanceller(processor));
    const webrtc::ProcessingConfig streams = {
        {webrtc::StreamConfig(rate, 1), webrtc::StreamConfig(rate, 1),
         webrtc::StreamConfig(rate, 1), webrtc::StreamConfig(rate, 1)}};
    if (processor->Initialize(streams) != webrtc::AudioProcessing::kNoError)
        return nullptr;
    auto* aec = processor->echo_cancellation();
    if (aec->enable_drift_compensation(false) != webrtc::AudioProcessing::kNoError ||
        aec->set_suppression_level(webrtc::EchoCancellation::kHighSuppression) !=
            webrtc::AudioProcessing::kNoError ||
        aec->Enable(true) != webrtc::AudioProcessing::kNoError)
        return nullptr;
    processor->high_pass_filter()->Enable(true);
    return canceller;
}

EchoCanceller::EchoCanceller(webrtc::AudioProcessing* processor) : m_processor(processor) {}

EchoCanceller::~EchoCanceller() = default;

void EchoCanceller::addFarEnd(std::span<const float> samples) {
    std::lock_guard guard(m_farMutex);
    m_far.insert(m_far.end(), samples.begin(), samples.end());
    if (m_far.size() > farLimit)
        m_far.erase(m_far.begin(), m_far.end() - static_cast<std::ptrdiff_t>(farLimit));
}

std::vector<float> EchoCanceller::process(std::span<const float> nearEnd) {
    m_near.insert(m_near.end(), nearEnd.begin(), nearEnd.end());
    const std::size_t frames = m_near.size() / frame;
    std::vector<float> out(frames * frame);
    if (frames == 0)
        return out;

    // Everything the speakers played so far goes in before the microphone frames that may hold
    // its echo.
    std::vector<float> far;
    {
        std::lock_guard guard(m_farMutex);
        const std::size_t whole = m_far.size() / frame * frame;
        far.assign(m_far.begin(), m_far.begin() + static_cast<std::ptrdiff_t>(whole));
        m_far.erase(m_far.begin(), m_far.begin() + static_cast<std::ptrdiff_t>(whole));
    }
    const webrtc::StreamConfig mono(rate, 1);
    for (std::size_t f = 0; f < far.size(); f += frame) {
        const float* src[] = {far.data() + f};
        float scratch[frame];
        float* dest[] = {scratch};
        m_processor->ProcessReverseStream(src, mono, mono, dest);
    }
    for (std::size_t f = 0; f < frames; ++f) {
        const float* src[] = {m_near.data() + f * frame};
        float* dest[] = {out.data() + f * frame};
        m_processor->set_stream_delay_ms(0);
        if (m_processor->ProcessStream(src, mono, mono, dest) != webrtc::AudioProcessing::kNoError)
            std::copy_n(m_near.data() + f * frame, frame, out.data() + f * frame);
    }
    m_near.erase(m_near.begin(), m_near.begin() + static_cast<std::ptrdiff_t>(frames * frame));
    return out;
}

} // namespace pq
