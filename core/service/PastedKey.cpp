#include "PastedKey.h"

#include "APIError.h"

namespace pq {

QString PastedKey::trimmed(const QString& pasted) {
    return pasted.trimmed();
}

std::optional<QString> PastedKey::formatProblem(const QString& key) {
    if (key.startsWith(QLatin1String(prefix))) // case-sensitive on purpose
        return std::nullopt;
    return QStringLiteral("That doesn’t look like a Parloquent key. Keys start with pq_key_.");
}

QString PastedKey::rejection(std::exception_ptr error) {
    try {
        if (error)
            std::rethrow_exception(error);
    } catch (const APIError& e) {
        if (e.status() == 401)
            return QStringLiteral(
                "Parloquent did not accept that key. Check it under Developers in your Dashboard.");
        return e.message();
    } catch (...) {
    }
    return describe(error);
}

} // namespace pq
