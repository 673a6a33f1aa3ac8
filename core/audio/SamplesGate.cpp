#include "SamplesGate.h"

namespace pq {

void SamplesGate::setHandler(Handler handler) {
    std::lock_guard guard(m_mutex);
    m_handler = std::move(handler);
}

void SamplesGate::deliver(const std::vector<float>& samples) {
    if (samples.empty())
        return;
    std::lock_guard guard(m_mutex);
    if (!m_closed && m_handler)
        m_handler(samples);
}

void SamplesGate::close() {
    std::lock_guard guard(m_mutex);
    m_closed = true;
    m_handler = nullptr;
}

bool SamplesGate::closed() const {
    std::lock_guard guard(m_mutex);
    return m_closed;
}

} // namespace pq
