#include "Ids.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QRandomGenerator>

namespace pq::server {

namespace {

QString pick(const char* alphabet, int size, int n) {
    QString out;
    out.reserve(n);
    auto* rng = QRandomGenerator::system();
    for (int i = 0; i < n; ++i)
        out.append(QLatin1Char(alphabet[rng->bounded(size)]));
    return out;
}

} // namespace

QString Ids::random(const QString& prefix, int n) {
    static const char alphabet[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    return prefix + pick(alphabet, 62, n);
}

QString Ids::broadcastCode() {
    static const char alphabet[] = "23456789ABCDEFGHJKLMNPQRSTUVWXYZ";
    return pick(alphabet, 32, 6);
}

QByteArray Ids::hash(const QString& secret) {
    return QCryptographicHash::hash(secret.toUtf8(), QCryptographicHash::Sha256).toHex();
}

bool Ids::equalConstantTime(const QByteArray& a, const QByteArray& b) {
    if (a.size() != b.size())
        return false;
    unsigned char diff = 0;
    for (qsizetype i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

QString Ids::now() {
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
}

} // namespace pq::server
