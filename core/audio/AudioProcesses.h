#pragma once

#include "AudioProcess.h"

#include <QString>

#include <optional>
#include <vector>

namespace pq {

class AudioServer;
class AppResolver;

// The processes the sound server knows, read from its state (kept current by the server's
// subscription), and the applications they belong to. Used on the GUI thread.
class AudioProcesses {
public:
    AudioProcesses(AudioServer& server, AppResolver& resolver);

    // Every client of the server with a process id, in the server's order; empty when the
    // server is not reachable.
    std::vector<AudioProcess> all() const;
    // The server's client of this program, if it has one.
    std::optional<std::uint32_t> current() const;
    // The records of `in` that belong to application `app`: its own id, its helpers
    // ("<app>.<something>"), and for GNOME Web the WebKit processes that play its pages.
    static std::vector<AudioProcess> of(const QString& app, const std::vector<AudioProcess>& in);
    // The running application a process belongs to, with its name and icon.
    std::optional<RunningApp> app(const AudioProcess& process) const;

private:
    AudioServer& m_server;
    AppResolver& m_resolver;
};

} // namespace pq
