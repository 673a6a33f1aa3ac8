#include "StreamSum.h"

#include <algorithm>

namespace pq {

StreamSum::StreamSum(Clock::time_point start) : m_outputTime(start) {}

int StreamSum::add() {
    const int id = m_next++;
    m_streams.emplace(id, Stream{});
    return id;
}

void StreamSum::push(int stream, std::span<const float> samples, Clock::time_point now) {
    auto it = m_streams.find(stream);
    if (it == m_streams.end() || it->second.ended || samples.empty())
        return;
    it->second.queue.insert(it->second.queue.end(), samples.begin(), samples.end());
    it->second.lastData = now;
}

void StreamSum::end(int stream) {
    auto it = m_streams.find(stream);
    if (it != m_streams.end())
        it->second.ended = true;
}

std::vector<float> StreamSum::take(Clock::time_point now) {
    std::size_t longest = 0;
    std::optional<std::size_t> slowestFlowing;
    for (const auto& [id, s] : m_streams) {
        longest = std::max(longest, s.queue.size());
        const bool flowing = !s.ended && s.lastData && now - *s.lastData < idle;
        if (flowing)
            slowestFlowing = std::min(slowestFlowing.value_or(s.queue.size()), s.queue.size());
    }

    std::size_t n = slowestFlowing.value_or(longest);
    if (longest > maxLag)
        n = std::max(n, longest - maxLag);

    std::vector<float> out;
    if (n > 0) {
        out.assign(n, 0.0f);
        for (auto& [id, s] : m_streams) {
            const std::size_t have = std::min(n, s.queue.size());
            for (std::size_t i = 0; i < have; ++i)
                out[i] += s.queue[i];
            s.queue.erase(s.queue.begin(), s.queue.begin() + static_cast<std::ptrdiff_t>(have));
        }
        m_outputTime = std::max(m_outputTime, now);
    } else if (!slowestFlowing && now - m_outputTime >= idle) {
        // Nothing plays: stand in with silence for the time since the last output.
        constexpr long long perSample = 1'000'000'000LL / rate; // ns, exact at 16 kHz
        const auto gap = std::chrono::duration_cast<std::chrono::nanoseconds>(now - m_outputTime);
        const auto samples = gap.count() / perSample;
        out.assign(static_cast<std::size_t>(samples), 0.0f);
        m_outputTime += std::chrono::nanoseconds(samples * perSample);
    }

    std::erase_if(m_streams, [](const auto& entry) {
        return entry.second.ended && entry.second.queue.empty();
    });
    return out;
}

} // namespace pq
