#include "CsrfGuard.h"

#include "Ids.h"

#include <QMessageAuthenticationCode>
#include <QRegularExpression>

namespace pq::server {

CsrfGuard::CsrfGuard() : m_secret(Ids::random(QString(), 43).toLatin1()) {}

QByteArray CsrfGuard::cookieOf(const QByteArray& cookieHeader) {
    static const QRegularExpression valid(QStringLiteral("^[A-Za-z0-9]{32}$"));
    for (const QByteArray& part : cookieHeader.split(';')) {
        const QByteArray item = part.trimmed();
        if (!item.startsWith(QByteArray(kCookie) + '='))
            continue;
        const QByteArray value = item.mid(qsizetype(qstrlen(kCookie)) + 1);
        if (valid.match(QString::fromLatin1(value)).hasMatch())
            return value;
    }
    return {};
}

QByteArray CsrfGuard::newCookie() {
    return Ids::random(QString(), 32).toLatin1();
}

QByteArray CsrfGuard::setCookie(const QByteArray& cookie) {
    return QByteArray(kCookie) + '=' + cookie + "; Path=/; HttpOnly; SameSite=Strict";
}

QString CsrfGuard::token(const QByteArray& cookie) const {
    return QString::fromLatin1(
        QMessageAuthenticationCode::hash(cookie, m_secret, QCryptographicHash::Sha256)
            .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

bool CsrfGuard::verify(const QByteArray& cookie, const QString& token) const {
    if (cookie.isEmpty() || token.isEmpty())
        return false;
    return Ids::equalConstantTime(this->token(cookie).toLatin1(), token.toLatin1());
}

} // namespace pq::server
