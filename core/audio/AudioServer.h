#pragma once

#include "AudioFormat.h"

#include <QCoroTask>
#include <QString>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace pq {

// What the sound server knows, as one consistent copy.
struct ServerState {
    static constexpr std::uint32_t none = 0xFFFFFFFFu;

    struct Client {
        std::uint32_t index = none;
        int pid = 0; // "application.process.id"; 0 when the client gives none
        QString name;
        QString appId; // "application.id"
    };
    struct Device {
        std::uint32_t index = none;
        QString name;
        AudioFormat format;
        bool monitor = false; // a source that is the monitor of a sink
    };
    struct Stream {
        std::uint32_t index = none;
        std::uint32_t client = none;
        std::uint32_t device = none; // the sink of a playback stream, the source of a recording
        bool corked = false;
    };

    bool connected = false;
    std::vector<Client> clients;
    std::vector<Device> sinks;
    std::vector<Device> sources;
    std::vector<Stream> playbacks;  // sink inputs
    std::vector<Stream> recordings; // source outputs
    QString defaultSource;

    const Client* client(std::uint32_t index) const;
    const Device* sink(std::uint32_t index) const;
    const Device* source(std::uint32_t index) const;
    const Device* sourceNamed(const QString& name) const;
    const Stream* playback(std::uint32_t index) const;
};

// A recording from the sound server; destroying it ends the recording. Created and destroyed on
// the server thread.
class RecordStream {
public:
    virtual ~RecordStream() = default;
};

// What a record stream reports, always on the server thread.
struct RecordHandler {
    std::function<void(const AudioFormat&)> ready;            // before any data
    std::function<void(const void*, std::size_t bytes)> data; // whole frames
    std::function<void(int error)> failed;                    // the stream is over
};

// The sound server behind capture: a copy of its state kept current, record streams, and a
// thread of its own on which all stream work and every callback runs. Implemented on PulseAudio
// (PulseAudioServer) and by fakes in tests.
class AudioServer {
public:
    // Error codes, as PulseAudio numbers them.
    static constexpr int errAccess = 1;
    static constexpr int errConnectionRefused = 6;
    static constexpr int errNoEntity = 5;
    static constexpr int errKilled = 12;

    virtual ~AudioServer();

    // Connects when not connected. Completes on the calling thread with 0 once connected and the
    // state is known, or with the error code.
    virtual QCoro::Task<int> connect() = 0;

    // The current state; callable from any thread.
    virtual ServerState state() const = 0;

    // Runs `job` on the server thread, soon; callable from any thread, never blocks.
    virtual void post(std::function<void()> job) = 0;

    // The following are for the server thread only.

    // Calls `changed` after every change of the state. Returns an id for `unwatch`.
    virtual std::uint64_t watch(std::function<void()> changed) = 0;
    virtual void unwatch(std::uint64_t id) = 0;
    // Calls `tick` every `interval` until `cancel`.
    virtual std::uint64_t every(std::chrono::milliseconds interval, std::function<void()> tick) = 0;
    virtual void cancel(std::uint64_t timer) = 0;

    // Records one playback stream (through the monitor of its sink) or, without one, the
    // default source. The stream asks for the device's own format where it can.
    struct Record {
        std::optional<std::uint32_t> playback;
        QString name; // shown by mixers as the stream's name
    };
    struct Opened {
        std::unique_ptr<RecordStream> stream; // null on failure
        int error = 0;
    };
    virtual Opened record(const Record& what, RecordHandler handler) = 0;

    // A readable text for an error code.
    virtual QString errorText(int error) const = 0;
};

} // namespace pq
