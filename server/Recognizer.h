#pragma once

#include "Decoder.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace pq::server {

// Recognition of one audio stream: fed 16 kHz float32 little-endian samples, it reports the
// current hypothesis while someone speaks (`partial`) and each finished utterance with its time
// in the stream (`utterance`), cut at pauses by pocketsphinx's voice activity detection. It is
// used on one thread (the session's worker) and calls its callbacks there; decoding is slow
// (ps_end_utt alone takes 0.2 s), so never on the event loop's thread. Texts handed to the
// callbacks are the callee's alone (no data shared with the recogniser), so they can cross
// threads without implicit sharing.
class Recognizer {
public:
    struct Callbacks {
        std::function<void()> ready;
        std::function<void(QString message)> failed;
        std::function<void(QString hypothesis, double start)> partial; // optional
        std::function<void(QString hypothesis, double start, double end)> utterance;
        std::function<void(int token)> flushed;
    };

    // An utterance that runs on without a pause is cut after this long.
    static constexpr double kMaxUtteranceS = 30.0;

    // Without a decoder, start() loads one.
    Recognizer(std::unique_ptr<Decoder> decoder, DecoderOptions options, Callbacks callbacks);
    ~Recognizer();
    Recognizer(const Recognizer&) = delete;
    Recognizer& operator=(const Recognizer&) = delete;

    void start();
    // Decodes a frame of samples (its byte size a multiple of 4).
    void feed(const QByteArray& samples);
    // Ends the utterance under way, if any; then `flushed` with the token.
    void flush(int token);
    // Ends recognition and frees the decoder, reporting nothing.
    void close();

private:
    void endUtterance();

    // Peak of the noise added to every sample, in 16-bit steps.
    static constexpr int kNoiseFloor = 64;

    std::unique_ptr<Decoder> m_decoder;
    DecoderOptions m_options;
    Callbacks m_callbacks;
    bool m_started = false;
    bool m_inSpeech = false;
    qint64 m_samples = 0;        // decoded since the stream began
    qint64 m_utteranceStart = 0; // sample where the current utterance was noticed
    std::string m_lastPartial;
    std::minstd_rand m_noise{1}; // fixed seed: the same sound gives the same words
    // Cepstral mean as of the last utterance that had words in it.
    std::vector<float> m_cepstralMean;
};

} // namespace pq::server
