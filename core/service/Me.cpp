#include "Me.h"

namespace pq {

Me Me::read(const JsonReader& r) {
    return Me{
        .displayName = r.string(QLatin1String("displayName")),
        .apiKeyId = r.optionalString(QLatin1String("apiKeyId")),
        .userId = r.optionalString(QLatin1String("userId")),
        .scopes = r.strings(QLatin1String("scopes")),
    };
}

} // namespace pq
