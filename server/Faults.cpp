#include "Faults.h"

namespace pq::server {

std::optional<Faults> Faults::parse(const QStringList& specs, quint64 seed, QString* error) {
    Faults f;
    f.m_random.seed(seed ? seed : QRandomGenerator::system()->generate64());
    for (const QString& spec : specs) {
        for (const QString& item : spec.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
            const qsizetype eq = item.indexOf(QLatin1Char('='));
            const QString name = item.left(eq).trimmed();
            bool ok = eq > 0;
            const double value = ok ? item.mid(eq + 1).trimmed().toDouble(&ok) : 0;
            const bool share = ok && value >= 0 && value <= 1;
            if (name == QLatin1String("feed-drop") && share)
                f.m_drop = value;
            else if (name == QLatin1String("feed-duplicate") && share)
                f.m_duplicate = value;
            else if (name == QLatin1String("feed-delay") && share)
                f.m_delay = value;
            else if (name == QLatin1String("feed-delay-ms") && ok && value >= 0 && value <= 60000)
                f.m_delayMs = int(value);
            else if (name == QLatin1String("rest-unavailable") && share)
                f.m_unavailable = value;
            else {
                *error = QStringLiteral("unknown or out-of-range fault \"%1\" (shares are 0 to 1)")
                             .arg(item.trimmed());
                return std::nullopt;
            }
        }
    }
    return f;
}

bool Faults::roll(double p) {
    return p > 0 && m_random.generateDouble() < p;
}

std::optional<int> Faults::delayFeedEventMs() {
    if (roll(m_delay))
        return m_delayMs;
    return std::nullopt;
}

QString Faults::describe() const {
    return QStringLiteral("feed-drop=%1 feed-duplicate=%2 feed-delay=%3 feed-delay-ms=%4 "
                          "rest-unavailable=%5")
        .arg(m_drop)
        .arg(m_duplicate)
        .arg(m_delay)
        .arg(m_delayMs)
        .arg(m_unavailable);
}

} // namespace pq::server
