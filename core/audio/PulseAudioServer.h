#pragma once

#include "AudioServer.h"

#include <memory>

namespace pq {

// The sound server through libpulse (PulseAudio itself, or PipeWire's PulseAudio service), on one
// pa_threaded_mainloop. The GUI thread never takes the mainloop lock: work is handed to the
// mainloop thread through a wake-up descriptor and answers come back as futures. Must outlive
// every capture object that uses it.
class PulseAudioServer : public AudioServer {
public:
    // `address` is a server address as PulseAudio writes it ("unix:/path", "tcp:host"); empty for
    // the usual one (PULSE_SERVER, then the user's own server). Starts connecting at once and
    // reconnects by itself when the connection is lost.
    explicit PulseAudioServer(const QString& address = {});
    ~PulseAudioServer() override;
    PulseAudioServer(const PulseAudioServer&) = delete;
    PulseAudioServer& operator=(const PulseAudioServer&) = delete;

    QCoro::Task<int> connect() override;
    ServerState state() const override;
    void post(std::function<void()> job) override;
    std::uint64_t watch(std::function<void()> changed) override;
    void unwatch(std::uint64_t id) override;
    std::uint64_t every(std::chrono::milliseconds interval, std::function<void()> tick) override;
    void cancel(std::uint64_t timer) override;
    Opened record(const Record& what, RecordHandler handler) override;
    QString errorText(int error) const override;

    class Impl;

private:
    std::unique_ptr<Impl> d;
};

} // namespace pq
