#pragma once

#include <QString>

#include <exception>
#include <optional>

namespace pq {

// The checks a key pasted by the user goes through before it is sent to the service, and the
// sentence shown when the service turns it down.
class PastedKey {
public:
    static constexpr const char* prefix = "pq_key_";

    // The key without surrounding white space and line breaks.
    static QString trimmed(const QString& pasted);
    // Why `key` (already trimmed) cannot be a Parloquent key, or nothing when it may be one.
    static std::optional<QString> formatProblem(const QString& key);
    // What to tell the user when checking the key with the service failed.
    static QString rejection(std::exception_ptr error);
};

} // namespace pq
