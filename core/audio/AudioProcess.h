#pragma once

#include <QString>

#include <cstdint>

namespace pq {

// A process the sound server knows (a PulseAudio client), with whether it plays or records now.
struct AudioProcess {
    std::uint32_t object = 0; // the server's client index
    std::int32_t pid = 0;     // always greater than 0
    QString bundleID;         // the application id it resolves to; empty when none
    bool playing = false;     // has a playback stream that is not paused
    bool recording = false;   // records a real source (not the monitor of a sink)

    bool operator==(const AudioProcess&) const = default;
};

// A running desktop application: the process that owns a desktop entry, with what the desktop
// shows for it.
struct RunningApp {
    QString id;   // the desktop entry id, reverse-DNS where the application has one
    QString name; // its display name
    QString icon; // its icon name or path
    int pid = 0;

    bool operator==(const RunningApp&) const = default;
};

} // namespace pq
