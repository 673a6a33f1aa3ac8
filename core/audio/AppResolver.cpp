#include "AppResolver.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace pq {

namespace {

constexpr int maxDepth = 64;

QByteArray readAll(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

QString desktopFileId(const QByteArray& path) {
    QString name = QFileInfo(QString::fromUtf8(path)).fileName();
    if (!name.endsWith(QLatin1String(".desktop")))
        return {};
    name.chop(int(sizeof(".desktop") - 1));
    return name;
}

} // namespace

AppResolver::AppResolver(DesktopEntries& entries, QString procRoot)
    : m_entries(entries), m_proc(std::move(procRoot)) {}

std::optional<AppResolver::Proc> AppResolver::readProc(int pid) const {
    if (pid <= 0)
        return std::nullopt;
    const QString dir = m_proc + QLatin1Char('/') + QString::number(pid);
    const QByteArray stat = readAll(dir + QLatin1String("/stat"));
    // "pid (comm) state ppid …": the name may hold spaces and parentheses.
    const int close = stat.lastIndexOf(')');
    if (close < 0)
        return std::nullopt;
    const QList<QByteArray> fields = stat.mid(close + 2).split(' ');
    if (fields.size() < 2)
        return std::nullopt;
    Proc proc;
    proc.ppid = fields[1].toInt();
    proc.exe = QFileInfo(dir + QLatin1String("/exe")).symLinkTarget();
    const QByteArray cmdline = readAll(dir + QLatin1String("/cmdline"));
    proc.argv0 = QFileInfo(QString::fromUtf8(cmdline.left(cmdline.indexOf('\0')))).fileName();
    if (proc.argv0.isEmpty()) {
        const int open = stat.indexOf('(');
        proc.argv0 = QString::fromUtf8(stat.mid(open + 1, close - open - 1));
    }
    return proc;
}

QString AppResolver::idFromCgroup(const QString& path) {
    const QStringList parts = path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    for (auto it = parts.rbegin(); it != parts.rend(); ++it) {
        QString unit = *it;
        if (unit.startsWith(QLatin1String("snap.")) && unit.endsWith(QLatin1String(".scope")))
            return unit.section(QLatin1Char('.'), 1, 1);
        if (!unit.startsWith(QLatin1String("app-")))
            continue;
        // systemd's application units: app[-<launcher>]-<id>-<random>.scope or
        // app[-<launcher>]-<id>[@<random>].service, with "-" inside the id escaped as "\x2d".
        unit = unit.mid(4);
        if (unit.endsWith(QLatin1String(".scope"))) {
            unit.chop(6);
            const int dash = unit.lastIndexOf(QLatin1Char('-'));
            if (dash < 0)
                continue;
            unit.truncate(dash);
        } else if (unit.endsWith(QLatin1String(".service"))) {
            unit.chop(8);
            const int at = unit.indexOf(QLatin1Char('@'));
            if (at >= 0)
                unit.truncate(at);
        } else {
            continue;
        }
        const int dash = unit.indexOf(QLatin1Char('-'));
        if (dash >= 0)
            unit = unit.mid(dash + 1);
        unit.replace(QLatin1String("\\x2d"), QLatin1String("-"));
        if (!unit.isEmpty())
            return unit;
    }
    return {};
}

QString AppResolver::flatpakId(int pid) const {
    const QByteArray info = readAll(m_proc + QLatin1Char('/') + QString::number(pid) +
                                    QLatin1String("/root/.flatpak-info"));
    bool inApplication = false;
    for (const QByteArray& raw : info.split('\n')) {
        const QByteArray line = raw.trimmed();
        if (line.startsWith('['))
            inApplication = line == "[Application]";
        else if (inApplication && line.startsWith("name="))
            return QString::fromUtf8(line.mid(5));
    }
    return {};
}

QString AppResolver::cgroupId(int pid) const {
    const QByteArray cgroup =
        readAll(m_proc + QLatin1Char('/') + QString::number(pid) + QLatin1String("/cgroup"));
    QString path;
    for (const QByteArray& line : cgroup.split('\n')) {
        if (line.isEmpty())
            continue;
        const QString value = QString::fromUtf8(line).section(QLatin1Char(':'), 2);
        // The unified hierarchy ("0::") is the one systemd names application units in.
        if (line.startsWith("0::") || path.isEmpty())
            path = value;
    }
    return idFromCgroup(path);
}

QString AppResolver::environmentId(int pid) const {
    const QByteArray environ =
        readAll(m_proc + QLatin1Char('/') + QString::number(pid) + QLatin1String("/environ"));
    QString fromFile, fromHint, fromFlatpak, fromSnap;
    for (const QByteArray& entry : environ.split('\0')) {
        if (entry.startsWith("GIO_LAUNCHED_DESKTOP_FILE="))
            fromFile = desktopFileId(entry.mid(26));
        else if (entry.startsWith("BAMF_DESKTOP_FILE_HINT="))
            fromHint = desktopFileId(entry.mid(23));
        else if (entry.startsWith("FLATPAK_ID="))
            fromFlatpak = QString::fromUtf8(entry.mid(11));
        else if (entry.startsWith("SNAP_NAME="))
            fromSnap = QString::fromUtf8(entry.mid(10));
    }
    for (const QString* id : {&fromFile, &fromHint, &fromFlatpak, &fromSnap})
        if (!id->isEmpty())
            return *id;
    return {};
}

QString AppResolver::idOf(int pid, const Proc& proc, const QString& serverAppId) {
    for (QString id : {flatpakId(pid), cgroupId(pid), environmentId(pid), serverAppId})
        if (!id.isEmpty())
            return id;
    const QString exeName = QFileInfo(proc.exe).fileName();
    if (auto entry = m_entries.forProgram({exeName, proc.argv0}))
        return entry->id;
    return !exeName.isEmpty() ? exeName : proc.argv0;
}

QString AppResolver::applicationId(int pid, const QString& serverAppId) {
    auto proc = readProc(pid);
    if (!proc)
        return serverAppId;
    // Multi-process programs fork copies of themselves: the application is the topmost copy.
    int top = pid;
    for (int depth = 0; depth < maxDepth && !proc->exe.isEmpty() && proc->ppid > 1; ++depth) {
        auto parent = readProc(proc->ppid);
        if (!parent || parent->exe != proc->exe)
            break;
        top = proc->ppid;
        proc = parent;
    }
    return idOf(top, *proc, serverAppId);
}

std::optional<RunningApp> AppResolver::appAt(int pid, const QString& id) {
    auto entry = m_entries.byId(id);
    if (!entry || entry->noDisplay)
        return std::nullopt;
    return RunningApp{entry->id, entry->name.isEmpty() ? entry->id : entry->name, entry->icon, pid};
}

std::optional<RunningApp> AppResolver::findRunning(const QString& id) {
    const QStringList pids = QDir(m_proc).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& name : pids) {
        bool ok = false;
        const int pid = name.toInt(&ok);
        if (!ok || pid <= 1)
            continue;
        if (applicationId(pid) == id) {
            if (auto app = appAt(pid, id))
                return app;
            return RunningApp{id, id, {}, pid};
        }
    }
    return std::nullopt;
}

std::optional<RunningApp> AppResolver::runningApp(int pid, const QString& applicationId) {
    // GNOME Web plays its pages' sound through WebKit's helper processes.
    if (applicationId.startsWith(QLatin1String("WebKit")))
        return findRunning(QString::fromLatin1(epiphany));

    QString id = applicationId;
    int current = pid;
    for (int depth = 0; depth < maxDepth && current > 1; ++depth) {
        if (auto app = appAt(current, id))
            return app;
        const auto proc = readProc(current);
        if (!proc)
            break;
        current = proc->ppid;
        if (current > 1)
            id = this->applicationId(current);
    }
    return std::nullopt;
}

} // namespace pq
