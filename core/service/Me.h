#pragma once

#include "JsonReader.h"

namespace pq {

// The signed-in account, as the account query answers it.
struct Me {
    static constexpr const char* recordName = "Me";

    QString displayName;
    std::optional<QString> apiKeyId;
    std::optional<QString> userId;
    QStringList scopes;

    static Me read(const JsonReader& r);
    bool operator==(const Me&) const = default;
};

} // namespace pq
