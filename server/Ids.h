#pragma once

#include <QByteArray>
#include <QString>

namespace pq::server {

// Identifiers, secrets and timestamps made by the service.
class Ids {
public:
    // prefix + n characters of [0-9A-Za-z] from the system's CSPRNG.
    static QString random(const QString& prefix, int n);
    static QString apiKey() { return random(QStringLiteral("pq_key_"), 32); }
    // A broadcast code people can read out: 6 characters without look-alikes.
    static QString broadcastCode();
    // Hex SHA-256 of a secret; secrets are only ever stored this way.
    static QByteArray hash(const QString& secret);
    // Compares two byte strings in time independent of where they differ.
    static bool equalConstantTime(const QByteArray& a, const QByteArray& b);
    // Now in UTC as "2024-05-01T12:00:00.000Z".
    static QString now();
};

} // namespace pq::server
