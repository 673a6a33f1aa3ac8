#include "Mixer.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace pq {

namespace {

// A microphone that runs ahead of input 0 never builds up more than two chunks of delay.
constexpr std::size_t input1Limit = 2 * Mixer::chunk;

void clip(std::vector<float>& samples) {
    for (float& s : samples)
        s = std::clamp(s, -1.0f, 1.0f);
}

} // namespace

Mixer::Mixer(int inputs) : m_inputs(inputs) {
    if (inputs != 1 && inputs != 2)
        throw std::invalid_argument("a mixer has one or two inputs");
}

void Mixer::push(std::span<const float> samples, int input) {
    if (input < 0 || input >= m_inputs)
        throw std::out_of_range("no such mixer input");

    std::vector<std::vector<float>> done;
    {
        std::lock_guard guard(m_lock);
        auto& queue = m_fifo[input];
        queue.insert(queue.end(), samples.begin(), samples.end());

        auto& lead = m_fifo[0];
        std::size_t taken = 0;
        while (lead.size() - taken >= chunk) {
            std::vector<float> out(lead.begin() + static_cast<std::ptrdiff_t>(taken),
                                   lead.begin() + static_cast<std::ptrdiff_t>(taken + chunk));
            taken += chunk;
            if (m_inputs == 2) {
                auto& second = m_fifo[1];
                const std::size_t n = std::min(chunk, second.size());
                for (std::size_t i = 0; i < n; ++i)
                    out[i] += second[i];
                second.erase(second.begin(), second.begin() + static_cast<std::ptrdiff_t>(n));
                if (second.size() > input1Limit)
                    second.erase(second.begin(), second.end() - static_cast<std::ptrdiff_t>(chunk));
            }
            clip(out);
            float peak = 0.0f;
            for (float s : out)
                peak = std::max(peak, std::fabs(s));
            m_level.store(peak, std::memory_order_relaxed);
            done.push_back(std::move(out));
        }
        lead.erase(lead.begin(), lead.begin() + static_cast<std::ptrdiff_t>(taken));
    }

    if (m_onChunk)
        for (auto& out : done)
            m_onChunk(std::move(out));
}

void Mixer::flush() {
    std::vector<float> last;
    {
        std::lock_guard guard(m_lock);
        last = std::move(m_fifo[0]);
        if (m_inputs == 2) {
            const auto& second = m_fifo[1];
            if (second.size() > last.size())
                last.resize(second.size(), 0.0f);
            for (std::size_t i = 0; i < second.size(); ++i)
                last[i] += second[i];
        }
        m_fifo[0] = {};
        m_fifo[1] = {};
    }
    if (last.empty() || !m_onChunk)
        return;
    clip(last);
    m_onChunk(std::move(last));
}

} // namespace pq
