#pragma once

#include "KeyStore.h"

#include <chrono>

namespace pq {

// The key store on the Secret Service (gnome-keyring, KWallet…), one item per deployment in the
// default collection. Calls run on a worker thread and give up after `timeout`, because a hung
// daemon blocks a synchronous call for tens of seconds. There is no plaintext fallback: without a
// Secret Service there is no stored key.
class Keychain : public KeyStore {
public:
    static constexpr const char* schemaName = "com.parloquent.Parloquent.ApiKey";
    static constexpr const char* service = "com.parloquent.linux.api-key";
    static constexpr const char* label = "Parloquent API key";

    explicit Keychain(std::chrono::milliseconds timeout = std::chrono::seconds(10));

    QCoro::Task<std::optional<QString>> read(Env::Name env) override;
    QCoro::Task<bool> write(QString key, Env::Name env) override;
    QCoro::Task<void> remove(Env::Name env) override;

private:
    std::chrono::milliseconds m_timeout;
};

} // namespace pq
