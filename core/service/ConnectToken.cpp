#include "ConnectToken.h"

namespace pq {

ConnectToken::Account ConnectToken::Account::read(const JsonReader& r) {
    return Account{.name = r.string(QLatin1String("name"))};
}

ConnectToken ConnectToken::read(const JsonReader& r) {
    return ConnectToken{
        .access_token = r.string(QLatin1String("access_token")),
        .key_id = r.optionalString(QLatin1String("key_id")),
        .scope = r.optionalString(QLatin1String("scope")),
        .account = r.optionalRecord<Account>(QLatin1String("account")),
    };
}

} // namespace pq
