#include "AudioProcesses.h"

#include "AppResolver.h"
#include "AudioServer.h"

#include <QCoreApplication>

#include <algorithm>

namespace pq {

AudioProcesses::AudioProcesses(AudioServer& server, AppResolver& resolver)
    : m_server(server), m_resolver(resolver) {}

std::vector<AudioProcess> AudioProcesses::all() const {
    const ServerState state = m_server.state();
    std::vector<AudioProcess> list;
    for (const auto& client : state.clients) {
        if (client.pid <= 0)
            continue;
        AudioProcess p;
        p.object = client.index;
        p.pid = client.pid;
        p.playing = std::any_of(state.playbacks.begin(), state.playbacks.end(), [&](const auto& s) {
            return s.client == client.index && !s.corked;
        });
        p.recording =
            std::any_of(state.recordings.begin(), state.recordings.end(), [&](const auto& s) {
                if (s.client != client.index || s.corked)
                    return false;
                const auto* source = state.source(s.device);
                return source && !source->monitor;
            });
        p.bundleID = m_resolver.applicationId(client.pid, client.appId);
        list.push_back(std::move(p));
    }
    return list;
}

std::optional<std::uint32_t> AudioProcesses::current() const {
    const auto self = static_cast<int>(QCoreApplication::applicationPid());
    const ServerState state = m_server.state();
    for (const auto& client : state.clients)
        if (client.pid == self)
            return client.index;
    return std::nullopt;
}

std::vector<AudioProcess> AudioProcesses::of(const QString& app,
                                             const std::vector<AudioProcess>& in) {
    std::vector<AudioProcess> out;
    if (app.isEmpty())
        return out;
    const QString helperPrefix = app + QLatin1Char('.');
    const bool web = app == QLatin1String(AppResolver::epiphany);
    for (const auto& p : in) {
        if (p.bundleID == app || p.bundleID.startsWith(helperPrefix) ||
            (web && p.bundleID.startsWith(QLatin1String("WebKit"))))
            out.push_back(p);
    }
    return out;
}

std::optional<RunningApp> AudioProcesses::app(const AudioProcess& process) const {
    return m_resolver.runningApp(process.pid, process.bundleID);
}

} // namespace pq
