#pragma once

#include "Decoder.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <atomic>
#include <memory>

namespace pq::server {

// Recognition of one audio stream on a worker thread: fed 16 kHz float32 little-endian samples,
// it reports the current hypothesis while someone speaks (`partial`) and each finished
// utterance with its time in the stream (`utterance`), cut at pauses by pocketsphinx's voice
// activity detection. Made on the owner's thread with an optional loaded decoder, then moved to
// its worker thread; every slot runs there, every signal is meant for queued connections.
class Recognizer : public QObject {
    Q_OBJECT

public:
    // An utterance that runs on without a pause is cut after this long.
    static constexpr double kMaxUtteranceS = 30.0;

    Recognizer(std::unique_ptr<Decoder> decoder, DecoderOptions options,
               std::shared_ptr<std::atomic<qint64>> backlog);
    ~Recognizer() override;

    // Samples handed over but not yet decoded (shared with the owner).
    const std::shared_ptr<std::atomic<qint64>>& backlog() const { return m_backlog; }

public slots:
    // Loads the decoder if none was given; then `ready` or `failed`.
    void start();
    // Decodes a frame of samples (its byte size a multiple of 4).
    void feed(const QByteArray& samples);
    // Ends the utterance under way, if any; then `flushed` with the token.
    void flush(int token);

signals:
    void ready();
    void failed(const QString& message);
    void partial(const QString& hypothesis, double start);
    void utterance(const QString& hypothesis, double start, double end);
    void flushed(int token);

private:
    void endUtterance();

    std::unique_ptr<Decoder> m_decoder;
    DecoderOptions m_options;
    std::shared_ptr<std::atomic<qint64>> m_backlog;
    bool m_started = false;
    bool m_inSpeech = false;
    qint64 m_samples = 0;          // decoded since the stream began
    qint64 m_utteranceStart = 0;   // sample where the current utterance was noticed
    QString m_lastPartial;
};

} // namespace pq::server
