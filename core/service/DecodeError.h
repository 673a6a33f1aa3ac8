#pragma once

#include "Error.h"

namespace pq {

// A success answer whose body does not hold the record asked for. `field` is the path of the
// offending member from the record's name down ("TranscriptionPage.transcriptions[2].id").
class DecodeError : public Error {
public:
    DecodeError(QString field, QString problem);

    const QString& field() const noexcept { return m_field; }

private:
    QString m_field;
};

} // namespace pq
