#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QTimer>

namespace pq::test {

// An application that speaks through the test's headless PulseAudio: pacat playing 16 kHz mono
// 16-bit samples that the test hands it, silence in between, so it stays one sound-server client
// (with a stream that plays) for its whole life. Its application id is given through
// GIO_LAUNCHED_DESKTOP_FILE. Feeding runs on the test's event loop: keep it turning.
class SpeechPlayer {
public:
    static constexpr int rate = 16000;

    SpeechPlayer();
    ~SpeechPlayer();
    SpeechPlayer(const SpeechPlayer&) = delete;
    SpeechPlayer& operator=(const SpeechPlayer&) = delete;

    bool start(const QString& clientName, const QString& appId,
               const QString& device = QStringLiteral("virt_out"));
    void stop();
    // Plays these samples after what is queued.
    void play(const QByteArray& samples);
    // Whether everything handed over has been taken by the player (a pipe and pacat's 40 ms
    // buffer, about 0.2 s, are still to be played).
    bool idle() const;
    qint64 pid() const { return m_process.processId(); }

    // espeak-ng speech as 16 kHz mono signed 16-bit samples, with `padS` seconds of silence
    // after it; empty on failure (with the reason).
    static QByteArray speech(const QString& text, double padS, QString* error);
    static QByteArray silence(double seconds);
    // espeak-ng speech as a WAV file (22.05 kHz, as espeak-ng writes it), with `padS` seconds of
    // silence before and after it.
    static bool writeWav(const QString& text, const QString& path, QString* error,
                         double padS = 1.0);

private:
    void feed();

    QProcess m_process;
    QTimer m_timer;
    QByteArray m_queue;
};

} // namespace pq::test
