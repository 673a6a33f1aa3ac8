#pragma once

#include <QHash>
#include <QString>
#include <QStringList>
#include <QUrlQuery>

#include <functional>
#include <optional>

namespace pq::server {

// The service's side of the browser sign-in (OAuth 2.0 authorisation code with PKCE S256 and a
// loopback redirect): the consent page's request is checked and kept while the page is open;
// an allowed request gets a one-time code bound to its challenge and redirect address, valid
// for `codeLifetimeS`; the token exchange redeems it once. A code presented twice is refused,
// and the key issued for it the first time is to be revoked (RFC 6749 4.1.2). Codes are kept
// only as hashes. Used on one thread.
class ConnectGrants {
public:
    struct Request {
        QString clientName;
        QString redirectUri;
        QString state;
        QString challenge;
        QString scope;
    };

    // The consent page's query, checked. When the redirect address itself is fine, other
    // faults go back to it as OAuth errors (`redirectError`); otherwise only the page shows
    // `error`.
    struct Checked {
        std::optional<Request> request;
        QString error;         // a sentence for the page
        QString redirectError; // the OAuth error code, when the fault can be redirected
        QString redirectUri;
        QString state;
    };

    // What the token exchange gets: the request the code was issued for, or an OAuth error.
    struct Redeemed {
        std::optional<Request> request;
        QString error;       // "invalid_grant", "invalid_request", …
        QString description; // a sentence
        QString revokeKey;   // a key to revoke: its code was presented again
    };

    using Clock = std::function<qint64()>; // milliseconds

    static constexpr int kPageLifetimeS = 600;
    static constexpr int kMaxHeld = 1000;

    explicit ConnectGrants(int codeLifetimeS, Clock clock = {});

    static Checked check(const QUrlQuery& query);
    // The PKCE S256 challenge of a verifier: base64url(SHA-256(verifier)) without "=".
    static QString challengeOf(const QString& verifier);
    static bool isVerifier(const QString& verifier);
    // Only "http://127.0.0.1:<port>/callback" and "http://localhost:<port>/callback".
    static bool isLoopbackRedirect(const QString& uri);
    // The scope words the service grants.
    static QStringList knownScopes();

    // Keeps a request while its consent page is open; the id goes into the page's form.
    QString hold(const Request& request);
    // The held request, once.
    std::optional<Request> take(const QString& id);

    // A new one-time code for an allowed request.
    QString issue(const Request& request);
    Redeemed redeem(const QString& code, const QString& verifier, const QString& redirectUri);
    // The key the code was exchanged for, to be revoked if the code comes back.
    void noteKey(const QString& code, const QString& keyId);

private:
    struct Held {
        Request request;
        qint64 expires = 0;
    };
    struct Code {
        Request request;
        qint64 expires = 0;
        bool used = false;
        QString keyId;
    };

    qint64 now() const;
    void purge();

    int m_codeLifetimeMs;
    Clock m_clock;
    QHash<QString, Held> m_held;
    QHash<QByteArray, Code> m_codes; // by the code's hash
};

} // namespace pq::server
