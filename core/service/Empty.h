#pragma once

#include "JsonReader.h"

namespace pq {

// The answer of operations that return nothing. Written as {}; any JSON value reads as Empty.
struct Empty {
    static constexpr const char* recordName = "Empty";

    QJsonObject toJson() const { return {}; }
    bool operator==(const Empty&) const = default;
};

template <> inline Empty decode<Empty>(const QByteArray& bytes) {
    JsonReader::parse(bytes, QLatin1String(Empty::recordName));
    return {};
}

} // namespace pq
