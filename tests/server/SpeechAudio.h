#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace pq::test {

class WsClient;

// Speech for tests, synthesised when the test runs: espeak-ng at 22.05 kHz, resampled by sox to
// the service's format (16 kHz mono float32 little-endian).
class SpeechAudio {
public:
    static constexpr int kRate = 16000;
    static constexpr int kChunk = 4000; // samples per frame, as the client's mixer sends them

    // Each sentence spoken, with gapS of silence before each one and after the last.
    static QByteArray synthesize(const QStringList& sentences, double gapS, QString* error);
    static QByteArray silence(double seconds);
    // The same as a WAV file the way espeak-ng writes it (22.05 kHz, 16-bit mono), for uploads.
    static QByteArray wavFile(const QStringList& sentences, double gapS, QString* error);
    // Sends the audio in 4000-sample frames, one every 250 ms / speed, with a "clock" message
    // after each second of audio.
    static void stream(WsClient& client, const QByteArray& audio, double speed = 1.0);
};

} // namespace pq::test
