#pragma once

#include <QCoroTask>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace pq {

class AudioServer;

// Captures what other applications play, without changing where their sound goes: each
// playback stream of the chosen clients is recorded through its own monitor stream, converted
// to 16 kHz mono by its own Resampler, and the streams are summed into one. Streams that
// appear, end or move to another device while the tap runs are followed. When nothing plays the
// tap delivers silence in real time, as a sound card would.
class ProcessTap {
public:
    struct Target {
        enum class Kind { processes, allExcept };
        Kind kind = Kind::allExcept;
        std::vector<std::uint32_t> objects; // AudioProcess::object values (server clients)

        static Target processes(std::vector<std::uint32_t> objects) {
            return {Kind::processes, std::move(objects)};
        }
        static Target allExcept(std::vector<std::uint32_t> objects) {
            return {Kind::allExcept, std::move(objects)};
        }
        bool includes(std::uint32_t client) const;
        bool operator==(const Target&) const = default;
    };

    using SamplesHandler = std::function<void(const std::vector<float>&)>;

    ProcessTap(AudioServer& server, Target target);
    // Stops the tap.
    ~ProcessTap();
    ProcessTap(const ProcessTap&) = delete;
    ProcessTap& operator=(const ProcessTap&) = delete;

    const Target& target() const { return m_target; }

    // Set before `start`. Called on the server's thread with each non-empty run of samples
    // (16 kHz mono float); never called once `stop` has returned.
    void setOnSamples(SamplesHandler handler);

    // Connects to the sound server and starts recording the target's streams. Throws
    // CaptureError::tap when the server cannot be reached or the streams cannot be made. Called
    // once, on the GUI thread.
    QCoro::Task<void> start();

    // Ends the capture; safe at any time and more than once. Never waits for the server.
    void stop();

    struct Core;

private:
    AudioServer& m_server;
    Target m_target;
    std::shared_ptr<Core> m_core;
};

} // namespace pq
