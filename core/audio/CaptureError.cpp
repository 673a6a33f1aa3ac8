#include "CaptureError.h"

namespace pq {

CaptureError::CaptureError(Kind kind, QString description, int status, QString reason)
    : Error(std::move(description)), m_kind(kind), m_status(status), m_reason(std::move(reason)) {}

CaptureError CaptureError::tap(int status) {
    return CaptureError(Kind::tap,
                        QStringLiteral("Parloquent could not record your computer’s audio. Check "
                                       "that the sound server (PipeWire or PulseAudio) is "
                                       "running, then try again."),
                        status, {});
}

CaptureError CaptureError::mic(const QString& reason) {
    return CaptureError(Kind::mic, QStringLiteral("The microphone could not be opened: ") + reason,
                        0, reason);
}

CaptureError CaptureError::micDenied() {
    return CaptureError(Kind::micDenied,
                        QStringLiteral("Parloquent may not use the microphone yet. Allow it in "
                                       "your desktop’s privacy settings, then try again."),
                        0, {});
}

} // namespace pq
