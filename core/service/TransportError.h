#pragma once

#include "Error.h"

#include <QNetworkReply>

namespace pq {

// A failure below HTTP (no connection, time-out, cancellation, an oversized answer). Keeps the
// network layer's own description, which is what the user is shown.
class TransportError : public Error {
public:
    TransportError(QNetworkReply::NetworkError code, QString description);

    QNetworkReply::NetworkError code() const noexcept { return m_code; }
    bool cancelled() const noexcept { return m_code == QNetworkReply::OperationCanceledError; }

    static TransportError cancellation();

private:
    QNetworkReply::NetworkError m_code;
};

} // namespace pq
