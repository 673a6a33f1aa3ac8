#pragma once

#include "Env.h"
#include "KeyStore.h"

#include <QCoroTask>

#include <optional>

namespace pq::cli {

// The key the command line uses: the one the app keeps in the Secret Service for the current
// deployment, else PARLOQUENT_KEY. Sign-in and sign-out write the same store and preferences as
// the app.
class Credentials {
public:
    explicit Credentials(KeyStore& store) : m_store(store) {}

    QCoro::Task<std::optional<QString>> key(Env::Name env);
    // The key, or nothing after telling the user how to sign in.
    QCoro::Task<std::optional<QString>> keyForCommand(Env::Name env);
    // The app's save step: key in the store, account name and how it was obtained in the
    // preferences. False when the store refused the key (nothing is written elsewhere then).
    QCoro::Task<bool> save(QString key, QString accountName, bool viaKey, Env::Name env);
    QCoro::Task<void> forget(Env::Name env);

private:
    KeyStore& m_store;
};

} // namespace pq::cli
