#include "Auth.h"

#include "HttpError.h"
#include "Ids.h"
#include "Store.h"

#include <pwd.h>
#include <unistd.h>

namespace pq::server {

QString Auth::require(const QByteArray& authorization) {
    if (authorization.isEmpty()) {
        throw HttpError(401, QStringLiteral("unauthorized"),
                        QStringLiteral("Sign in first: this request needs an API key."));
    }
    const QByteArray prefix = "bearer ";
    const QByteArray token = authorization.left(prefix.size()).toLower() == prefix
                                 ? authorization.mid(prefix.size()).trimmed()
                                 : QByteArray();
    if (token.startsWith("pq_key_") && token.size() < 200) {
        if (auto id = m_store.useKey(Ids::hash(QString::fromLatin1(token))))
            return *id;
    }
    throw HttpError(401, QStringLiteral("invalid_key"),
                    QStringLiteral("This API key is not valid or has been revoked."));
}

QString Auth::create(const QString& name, QString* secret) {
    *secret = Ids::apiKey();
    return m_store.createKey(name, Ids::hash(*secret)).id;
}

QStringList Auth::scopes() {
    return {QStringLiteral("transcriptions"), QStringLiteral("recordings"),
            QStringLiteral("realtime"), QStringLiteral("search")};
}

QString Auth::displayName() {
    if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_name && *pw->pw_name)
        return QString::fromLocal8Bit(pw->pw_name);
    const QString user = qEnvironmentVariable("USER");
    return user.isEmpty() ? QStringLiteral("Local user") : user;
}

} // namespace pq::server
