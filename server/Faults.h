#pragma once

#include <QRandomGenerator>
#include <QString>
#include <QStringList>

#include <optional>

namespace pq::server {

// Faults injected on purpose, for tests of the client's recovery (`--fault`):
//   feed-drop=P        a positioned feed event is not sent to a subscriber, with probability P
//   feed-duplicate=P   it is sent twice
//   feed-delay=P       it is sent late (after feed-delay-ms, default 1000), so out of order
//   rest-unavailable=P a REST request is answered 503 "unavailable"
// Several may be given, separated by commas. Decisions come from a generator seeded with
// `--fault-seed` (0: a random seed).
class Faults {
public:
    Faults() = default;
    // Parses the specs; nothing on a malformed spec, with a message in error.
    static std::optional<Faults> parse(const QStringList& specs, quint64 seed, QString* error);

    bool active() const { return m_drop + m_duplicate + m_delay + m_unavailable > 0; }
    bool dropFeedEvent() { return roll(m_drop); }
    bool duplicateFeedEvent() { return roll(m_duplicate); }
    std::optional<int> delayFeedEventMs();
    bool refuseRequest() { return roll(m_unavailable); }
    QString describe() const;

private:
    bool roll(double p);

    double m_drop = 0;
    double m_duplicate = 0;
    double m_delay = 0;
    int m_delayMs = 1000;
    double m_unavailable = 0;
    QRandomGenerator m_random;
};

} // namespace pq::server
