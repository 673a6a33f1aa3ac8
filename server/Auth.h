#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace pq::server {

class Store;

// Bearer API keys: "pq_key_" + 32 characters from the system's CSPRNG, kept only as SHA-256
// hashes. Every key has every scope of the one local account.
class Auth {
public:
    explicit Auth(Store& store) : m_store(store) {}

    // The id of the key in an "Authorization: Bearer …" header value; throws HttpError 401.
    QString require(const QByteArray& authorization);
    // A new key: its id, and the secret that is shown once.
    QString create(const QString& name, QString* secret);

    static QStringList scopes();
    // The name to show for the account: the login name of the user running the service.
    static QString displayName();

private:
    Store& m_store;
};

} // namespace pq::server
