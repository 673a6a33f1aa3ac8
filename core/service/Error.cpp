#include "Error.h"

namespace pq {

Error::Error(QString description)
    : m_description(std::move(description)), m_utf8(m_description.toUtf8()) {}

QString describe(std::exception_ptr error) {
    try {
        if (error)
            std::rethrow_exception(error);
    } catch (const Error& e) {
        return e.description();
    } catch (const std::exception& e) {
        return QString::fromUtf8(e.what());
    } catch (...) {
    }
    return QStringLiteral("Something went wrong inside Parloquent.");
}

} // namespace pq
