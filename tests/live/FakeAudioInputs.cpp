#include "FakeAudioInputs.h"

namespace pq::test {

class FakeInput : public AudioInput {
public:
    explicit FakeInput(std::shared_ptr<FakeCapture> capture) : m_capture(std::move(capture)) {}
    ~FakeInput() override { stop(); }

    void setOnSamples(SamplesHandler handler) override {
        const std::lock_guard lock(m_capture->m_mutex);
        m_capture->m_handler = std::move(handler);
    }
    QCoro::Task<void> start() override {
        if (m_capture->startFailure)
            std::rethrow_exception(m_capture->startFailure);
        const std::lock_guard lock(m_capture->m_mutex);
        m_capture->m_started = true;
        co_return;
    }
    void stop() override {
        const std::lock_guard lock(m_capture->m_mutex);
        m_capture->m_stopped = true;
        m_capture->m_handler = nullptr;
    }
    void addReference(std::span<const float> samples) override {
        const std::lock_guard lock(m_capture->m_mutex);
        m_capture->m_reference += samples.size();
    }

private:
    std::shared_ptr<FakeCapture> m_capture;
};

bool FakeCapture::push(const std::vector<float>& samples) {
    // Under the lock, as a real capture holds its handler: nothing is delivered after stop.
    const std::lock_guard lock(m_mutex);
    if (m_stopped || !m_handler)
        return false;
    m_handler(samples);
    return true;
}

void FakeCapture::pushConstant(std::size_t count, float value, std::size_t piece) {
    while (count > 0) {
        const std::size_t n = std::min(count, piece);
        push(std::vector<float>(n, value));
        count -= n;
    }
}

bool FakeCapture::started() const {
    const std::lock_guard lock(m_mutex);
    return m_started;
}

bool FakeCapture::stopped() const {
    const std::lock_guard lock(m_mutex);
    return m_stopped;
}

std::size_t FakeCapture::referenceSamples() const {
    const std::lock_guard lock(m_mutex);
    return m_reference;
}

QCoro::Task<std::vector<AudioProcess>> FakeAudioInputs::processes() {
    co_return all;
}

QCoro::Task<std::optional<std::uint32_t>> FakeAudioInputs::ownProcess() {
    co_return own;
}

std::unique_ptr<AudioInput> FakeAudioInputs::tap(ProcessTap::Target target) {
    auto capture = std::make_shared<FakeCapture>();
    capture->target = std::move(target);
    capture->startFailure = tapFailure;
    taps.push_back(capture);
    return std::make_unique<FakeInput>(capture);
}

QCoro::Task<bool> FakeAudioInputs::requestMicAccess() {
    ++accessRequests;
    co_return micAllowed;
}

std::unique_ptr<AudioInput> FakeAudioInputs::mic(bool echoCancel) {
    auto capture = std::make_shared<FakeCapture>();
    capture->echoCancel = echoCancel;
    capture->startFailure = micFailure;
    mics.push_back(capture);
    return std::make_unique<FakeInput>(capture);
}

AudioProcess FakeAudioInputs::process(std::uint32_t object, const QString& bundleID, bool playing) {
    AudioProcess p;
    p.object = object;
    p.pid = int(object) + 1000;
    p.bundleID = bundleID;
    p.playing = playing;
    return p;
}

} // namespace pq::test
