#pragma once

#include "JsonReader.h"

namespace pq {

// Answer of the browser sign-in's token exchange. Its keys are snake case on the wire.
struct ConnectToken {
    static constexpr const char* recordName = "ConnectToken";

    struct Account {
        QString name;
        static Account read(const JsonReader& r);
        bool operator==(const Account&) const = default;
    };

    QString access_token;
    std::optional<QString> key_id;
    std::optional<QString> scope;
    std::optional<Account> account;

    static ConnectToken read(const JsonReader& r);
    bool operator==(const ConnectToken&) const = default;
};

} // namespace pq
