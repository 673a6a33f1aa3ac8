#pragma once

#include "Error.h"

#include <QString>

namespace pq {

// The failure of audio capture, with a sentence the user can act on.
class CaptureError : public Error {
public:
    enum class Kind { tap, mic, micDenied };

    // The system sound could not be captured; `status` is the sound server's error code.
    static CaptureError tap(int status);
    // The microphone could not be opened, for the reason given.
    static CaptureError mic(const QString& reason);
    // The microphone may not be used.
    static CaptureError micDenied();

    Kind kind() const noexcept { return m_kind; }
    int status() const noexcept { return m_status; }
    const QString& reason() const noexcept { return m_reason; }

private:
    CaptureError(Kind kind, QString description, int status, QString reason);

    Kind m_kind;
    int m_status;
    QString m_reason;
};

} // namespace pq
