#pragma once

#include "Decoder.h"

#include <QObject>

#include <memory>
#include <vector>

namespace pq::server {

// The recogniser model of the service. At start it loads a first decoder in the background
// (until then the engine is `loading` and live requests are answered "unavailable"), and keeps
// `warm` decoders loaded so that a new session is ready at once; sessions that find none load
// their own.
class MainThreadQueue;
class WorkerThread;

class SpeechEngine : public QObject {
    Q_OBJECT

public:
    enum class State { Loading, Ready, Failed };

    SpeechEngine(DecoderOptions options, int warm, QObject* parent = nullptr);
    ~SpeechEngine() override;

    void start();
    State state() const { return m_state; }
    QString error() const { return m_error; }
    const DecoderOptions& options() const { return m_options; }

    // A loaded decoder, or null when none is ready (the caller loads one itself).
    std::unique_ptr<Decoder> take();

signals:
    void stateChanged();

private:
    void refill();
    void load();
    void loaded(std::unique_ptr<Decoder> decoder, const QString& error);

    DecoderOptions m_options;
    int m_warm;
    State m_state = State::Loading;
    QString m_error;
    int m_loading = 0;
    std::vector<std::unique_ptr<Decoder>> m_spares;
    MainThreadQueue* m_results;
    std::unique_ptr<WorkerThread> m_loader; // loads one decoder at a time
};

} // namespace pq::server
