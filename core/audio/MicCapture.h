#pragma once

#include <QCoroTask>

#include <functional>
#include <memory>
#include <span>
#include <vector>

namespace pq {

class AudioServer;
class EchoCanceller;

// Records the default microphone, converted to 16 kHz mono. With `echoCancel` the microphone
// goes through an echo canceller whose far end is what `addReference` is given (the tapped
// application sound of the same run), so the speakers are not heard a second time; when the
// canceller cannot be set up, capture goes on without it.
class MicCapture {
public:
    using SamplesHandler = std::function<void(const std::vector<float>&)>;

    MicCapture(AudioServer& server, bool echoCancel);
    // Stops the capture.
    ~MicCapture();
    MicCapture(const MicCapture&) = delete;
    MicCapture& operator=(const MicCapture&) = delete;

    // Whether a record stream on the default source can be opened.
    static QCoro::Task<bool> requestAccess(AudioServer& server);

    bool echoCancel() const { return m_echoCancel; }
    // Whether echo cancellation actually runs (asked for, and the canceller could be set up).
    bool cancelling() const;

    // Set before `start`. Called on the server's thread with each non-empty run of samples;
    // never called once `stop` has returned.
    void setOnSamples(SamplesHandler handler);

    // What the speakers play, 16 kHz mono, as the far end of the echo canceller. Any thread.
    void addReference(std::span<const float> samples);

    // Opens the default source. Throws CaptureError::mic ("no input device" when there is
    // none) or CaptureError::micDenied. Called on the GUI thread.
    QCoro::Task<void> start();

    // Ends the capture; safe at any time and more than once. Never waits for the server.
    void stop();

    struct Core;

private:
    AudioServer& m_server;
    const bool m_echoCancel;
    // Made with the object and never replaced, so the tap's thread may feed it at any time.
    const std::shared_ptr<EchoCanceller> m_canceller;
    std::shared_ptr<Core> m_core;
};

} // namespace pq
