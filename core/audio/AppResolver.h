#pragma once

#include "AudioProcess.h"
#include "DesktopEntries.h"

#include <QString>

#include <optional>

namespace pq {

// Works out which desktop application a process belongs to, from what /proc tells about it:
// the process at the top of its chain of same-program parents, then a Flatpak's id, the
// application id in its cgroup scope, its launch environment, the sound server's
// "application.id", a desktop entry whose id, StartupWMClass or Exec program matches, and
// finally the program's name.
class AppResolver {
public:
    static constexpr const char* epiphany = "org.gnome.Epiphany";

    explicit AppResolver(DesktopEntries& entries, QString procRoot = QStringLiteral("/proc"));

    // The application id of process `pid`; `serverAppId` is what the sound server was told.
    // Empty when the process cannot be read at all.
    QString applicationId(int pid, const QString& serverAppId = {});

    // The running application a process belongs to: its own, or that of its nearest ancestor
    // that has a desktop entry. WebKit helper processes belong to GNOME Web when it runs.
    std::optional<RunningApp> runningApp(int pid, const QString& applicationId);

    // The application id in a cgroup path ("…/app-gnome-org.gnome.Epiphany-1234.scope",
    // "…/snap.firefox.firefox-….scope"); empty when it names none.
    static QString idFromCgroup(const QString& path);

private:
    struct Proc {
        int ppid = 0;
        QString exe;   // the executable's path
        QString argv0; // base name of the first argument
    };
    std::optional<Proc> readProc(int pid) const;
    QString idOf(int pid, const Proc& proc, const QString& serverAppId);
    QString flatpakId(int pid) const;
    QString cgroupId(int pid) const;
    QString environmentId(int pid) const;
    std::optional<RunningApp> appAt(int pid, const QString& id);
    std::optional<RunningApp> findRunning(const QString& id);

    DesktopEntries& m_entries;
    QString m_proc;
};

} // namespace pq
