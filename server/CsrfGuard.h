#pragma once

#include <QByteArray>
#include <QString>

namespace pq::server {

// Protects the web application's forms from other sites: a random cookie (HttpOnly,
// SameSite=Strict) identifies the browser, and every form carries a token derived from it with
// a secret of this process (HMAC-SHA256), so a page elsewhere can neither read nor forge it.
// A post must bring the cookie, the matching token and, when the browser names one, an Origin
// of this application.
class CsrfGuard {
public:
    static constexpr const char* kCookie = "pq_csrf";

    CsrfGuard();

    // The browser's cookie value from a Cookie header, or empty.
    static QByteArray cookieOf(const QByteArray& cookieHeader);
    // A new cookie value, and its Set-Cookie header value.
    static QByteArray newCookie();
    static QByteArray setCookie(const QByteArray& cookie);

    QString token(const QByteArray& cookie) const;
    bool verify(const QByteArray& cookie, const QString& token) const;

private:
    QByteArray m_secret;
};

} // namespace pq::server
