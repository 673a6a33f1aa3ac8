#include "ConnectGrants.h"

#include "Ids.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QRegularExpression>

namespace pq::server {

namespace {

// After its lifetime a code is still remembered this long, so a late second use is recognised.
constexpr qint64 kRememberUsedMs = 10 * 60 * 1000;

bool once(const QUrlQuery& query, const QString& name) {
    return query.allQueryItemValues(name).size() == 1;
}

QString value(const QUrlQuery& query, const QString& name) {
    return query.queryItemValue(name, QUrl::FullyDecoded);
}

} // namespace

ConnectGrants::ConnectGrants(int codeLifetimeS, Clock clock)
    : m_codeLifetimeMs(codeLifetimeS * 1000), m_clock(std::move(clock)) {}

qint64 ConnectGrants::now() const {
    return m_clock ? m_clock() : QDateTime::currentMSecsSinceEpoch();
}

QStringList ConnectGrants::knownScopes() {
    return {QStringLiteral("read"),
            QStringLiteral("write"),
            QStringLiteral("recordings:publish"),
            QStringLiteral("transcriptions"),
            QStringLiteral("recordings"),
            QStringLiteral("realtime"),
            QStringLiteral("search")};
}

bool ConnectGrants::isLoopbackRedirect(const QString& uri) {
    static const QRegularExpression pattern(
        QStringLiteral("^http://(127\\.0\\.0\\.1|localhost):([1-9][0-9]{0,4})/callback$"));
    const auto match = pattern.match(uri);
    return match.hasMatch() && match.captured(2).toInt() <= 65535;
}

bool ConnectGrants::isVerifier(const QString& verifier) {
    // RFC 7636 4.1: 43 to 128 unreserved characters.
    static const QRegularExpression pattern(QStringLiteral("^[A-Za-z0-9\\-._~]{43,128}$"));
    return pattern.match(verifier).hasMatch();
}

QString ConnectGrants::challengeOf(const QString& verifier) {
    const QByteArray digest =
        QCryptographicHash::hash(verifier.toUtf8(), QCryptographicHash::Sha256);
    return QString::fromLatin1(
        digest.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

ConnectGrants::Checked ConnectGrants::check(const QUrlQuery& query) {
    Checked out;
    const QString redirect = value(query, QStringLiteral("redirect_uri"));
    if (!once(query, QStringLiteral("redirect_uri")) || !isLoopbackRedirect(redirect)) {
        out.error = QStringLiteral("This sign-in link has no valid return address. Only an "
                                   "application on this computer can ask to sign in here.");
        return out;
    }
    out.redirectUri = redirect;
    out.state = value(query, QStringLiteral("state"));
    auto refuse = [&out](const QString& code, const QString& sentence) {
        out.redirectError = code;
        out.error = sentence;
        return out;
    };
    for (const QString& name :
         {QStringLiteral("response_type"), QStringLiteral("state"),
          QStringLiteral("code_challenge"), QStringLiteral("code_challenge_method"),
          QStringLiteral("scope"), QStringLiteral("client_name")}) {
        if (query.allQueryItemValues(name).size() > 1)
            return refuse(QStringLiteral("invalid_request"),
                          QStringLiteral("The sign-in link names \"%1\" twice.").arg(name));
    }
    if (out.state.isEmpty() || out.state.size() > 500)
        return refuse(QStringLiteral("invalid_request"),
                      QStringLiteral("The sign-in link has no valid state."));
    if (value(query, QStringLiteral("response_type")) != QLatin1String("code"))
        return refuse(QStringLiteral("unsupported_response_type"),
                      QStringLiteral("The sign-in link asks for something other than a code."));
    if (value(query, QStringLiteral("code_challenge_method")) != QLatin1String("S256"))
        return refuse(QStringLiteral("invalid_request"),
                      QStringLiteral("The sign-in link must use a code challenge of the S256 "
                                     "method."));
    static const QRegularExpression challengePattern(QStringLiteral("^[A-Za-z0-9_\\-]{43}$"));
    const QString challenge = value(query, QStringLiteral("code_challenge"));
    if (!challengePattern.match(challenge).hasMatch())
        return refuse(QStringLiteral("invalid_request"),
                      QStringLiteral("The sign-in link's code challenge is not valid."));
    // Form-encoded links write spaces as "+".
    const QString scope = value(query, QStringLiteral("scope"))
                              .replace(QLatin1Char('+'), QLatin1Char(' '))
                              .simplified();
    const QStringList words = scope.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (words.isEmpty())
        return refuse(QStringLiteral("invalid_scope"),
                      QStringLiteral("The sign-in link does not say what it asks for."));
    for (const QString& word : words) {
        if (!knownScopes().contains(word))
            return refuse(QStringLiteral("invalid_scope"),
                          QStringLiteral("The sign-in link asks for something this service does "
                                         "not grant."));
    }
    QString client = value(query, QStringLiteral("client_name"));
    client.remove(QRegularExpression(QStringLiteral("[\\x00-\\x1f\\x7f]")));
    client = client.simplified().left(200);
    if (client.isEmpty())
        client = QStringLiteral("An application");
    out.request = Request{client, redirect, out.state, challenge, scope};
    return out;
}

void ConnectGrants::purge() {
    const qint64 t = now();
    for (auto it = m_held.begin(); it != m_held.end();)
        it = it->expires < t ? m_held.erase(it) : std::next(it);
    for (auto it = m_codes.begin(); it != m_codes.end();)
        it = it->expires + kRememberUsedMs < t ? m_codes.erase(it) : std::next(it);
}

QString ConnectGrants::hold(const Request& request) {
    purge();
    // A page reloaded many times must not fill memory: the oldest held requests go first.
    while (m_held.size() >= kMaxHeld) {
        auto oldest = m_held.begin();
        for (auto it = m_held.begin(); it != m_held.end(); ++it) {
            if (it->expires < oldest->expires)
                oldest = it;
        }
        m_held.erase(oldest);
    }
    const QString id = Ids::random(QStringLiteral("cr_"), 24);
    m_held.insert(id, Held{request, now() + kPageLifetimeS * 1000});
    return id;
}

std::optional<ConnectGrants::Request> ConnectGrants::take(const QString& id) {
    purge();
    const auto it = m_held.find(id);
    if (it == m_held.end())
        return std::nullopt;
    const Request request = it->request;
    m_held.erase(it);
    return request;
}

QString ConnectGrants::issue(const Request& request) {
    purge();
    const QString code = Ids::random(QString(), 43);
    m_codes.insert(Ids::hash(code), Code{request, now() + m_codeLifetimeMs, false, {}});
    return code;
}

ConnectGrants::Redeemed ConnectGrants::redeem(const QString& code, const QString& verifier,
                                              const QString& redirectUri) {
    Redeemed out;
    auto refuse = [&out](const QString& error, const QString& description) {
        out.error = error;
        out.description = description;
        return out;
    };
    if (code.isEmpty() || verifier.isEmpty() || redirectUri.isEmpty())
        return refuse(QStringLiteral("invalid_request"),
                      QStringLiteral("The exchange needs code, code_verifier and redirect_uri."));
    if (!isVerifier(verifier))
        return refuse(QStringLiteral("invalid_request"),
                      QStringLiteral("The code verifier is not valid."));
    const auto it = m_codes.find(Ids::hash(code));
    if (it == m_codes.end())
        return refuse(QStringLiteral("invalid_grant"),
                      QStringLiteral("This sign-in code is not valid."));
    if (it->used) {
        out.revokeKey = it->keyId;
        it->keyId.clear();
        return refuse(QStringLiteral("invalid_grant"),
                      QStringLiteral("This sign-in code has already been used."));
    }
    // Whatever happens now, the code is spent: a wrong verifier cannot be tried again.
    it->used = true;
    if (it->expires < now())
        return refuse(QStringLiteral("invalid_grant"),
                      QStringLiteral("This sign-in code has expired. Sign in again."));
    if (it->request.redirectUri != redirectUri)
        return refuse(QStringLiteral("invalid_grant"),
                      QStringLiteral("The redirect address differs from the one the code was "
                                     "issued for."));
    if (!Ids::equalConstantTime(challengeOf(verifier).toLatin1(), it->request.challenge.toLatin1()))
        return refuse(QStringLiteral("invalid_grant"),
                      QStringLiteral("The code verifier does not match the challenge."));
    out.request = it->request;
    return out;
}

void ConnectGrants::noteKey(const QString& code, const QString& keyId) {
    const auto it = m_codes.find(Ids::hash(code));
    if (it != m_codes.end())
        it->keyId = keyId;
}

} // namespace pq::server
