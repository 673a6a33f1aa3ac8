#include "TransportError.h"

namespace pq {

TransportError::TransportError(QNetworkReply::NetworkError code, QString description)
    : Error(std::move(description)), m_code(code) {}

TransportError TransportError::cancellation() {
    return TransportError(QNetworkReply::OperationCanceledError,
                          QStringLiteral("Operation canceled"));
}

} // namespace pq
