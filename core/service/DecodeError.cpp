#include "DecodeError.h"

namespace pq {

DecodeError::DecodeError(QString field, QString problem)
    : Error(QStringLiteral("Parloquent sent an answer this version cannot read (%1 %2).")
                .arg(field, problem)),
      m_field(std::move(field)) {}

} // namespace pq
