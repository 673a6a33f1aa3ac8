#pragma once

#include "Env.h"

#include <QCoroTask>

#include <optional>

namespace pq {

// Where the API key of each deployment is kept between runs. Never fails loudly: a store that
// cannot be read reads as no key, a write that cannot be done returns false.
class KeyStore {
public:
    virtual ~KeyStore() = default;

    virtual QCoro::Task<std::optional<QString>> read(Env::Name env) = 0;
    // Replaces any key kept for `env`.
    virtual QCoro::Task<bool> write(QString key, Env::Name env) = 0;
    virtual QCoro::Task<void> remove(Env::Name env) = 0;
};

} // namespace pq
