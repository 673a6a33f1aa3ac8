// Which application a process belongs to: cgroup scope names, desktop entries, and each step of
// the resolver on real processes started by the test.
#include "AppResolver.h"
#include "DesktopEntries.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace pq;

namespace {

void writeEntry(const QString& folder, const QString& file, const QByteArray& body) {
    QDir().mkpath(QFileInfo(QDir(folder).filePath(file)).path());
    QFile f(QDir(folder).filePath(file));
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(body);
}

QByteArray entry(const QByteArray& name, const QByteArray& extra = {}) {
    return "[Desktop Entry]\nType=Application\nName=" + name + "\n" + extra;
}

// Processes whose parent is `pid`.
QList<int> childrenOf(qint64 pid) {
    QList<int> out;
    const QStringList all = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString& name : all) {
        bool ok = false;
        const int candidate = name.toInt(&ok);
        if (!ok)
            continue;
        QFile stat(QStringLiteral("/proc/%1/stat").arg(candidate));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray text = stat.readAll();
        const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 1 && fields[1].toLongLong() == pid)
            out << candidate;
    }
    return out;
}

// The child of `pid` once its command line starts with `command` (not while it is still a
// copy of its parent between fork and exec).
int waitForChild(qint64 pid, const QByteArray& command) {
    int found = 0;
    (void)QTest::qWaitFor(
        [&] {
            for (int child : childrenOf(pid)) {
                QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(child));
                if (cmdline.open(QIODevice::ReadOnly) &&
                    cmdline.readAll().replace('\0', ' ').startsWith(command)) {
                    found = child;
                    return true;
                }
            }
            return false;
        },
        5000);
    return found;
}

// A process that runs until the test ends.
struct Spawned {
    std::unique_ptr<QProcess> process = std::make_unique<QProcess>();
    ~Spawned() {
        process->kill();
        process->waitForFinished(3000);
    }
    qint64 start(const QString& program, const QStringList& args,
                 const QStringList& environment = {}) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const QString& e : environment)
            env.insert(e.section(QLatin1Char('='), 0, 0), e.section(QLatin1Char('='), 1));
        process->setProcessEnvironment(env);
        process->start(program, args);
        return process->waitForStarted(5000) ? process->processId() : 0;
    }
};

} // namespace

class TestAppResolver : public QObject {
    Q_OBJECT

private slots:
    void cgroupScopes_data();
    void cgroupScopes();
    void desktopEntryReading();
    void desktopEntriesFollowTheXdgFolders();
    void fallbackIsTheProgramName();
    void desktopEntryByExecWmClassAndId();
    void launchEnvironment();
    void serverApplicationId();
    void sameProgramParentsAreWalked();
    void helperBelongsToTheNearestAncestorWithAnEntry();
    void webKitProcessesBelongToGnomeWeb();
    void unreadableProcess();

private:
    QTemporaryDir m_dir;
};

void TestAppResolver::cgroupScopes_data() {
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("id");
    const QString user = QStringLiteral("/user.slice/user-1000.slice/user@1000.service/app.slice/");
    QTest::newRow("gnome scope") << user + "app-gnome-org.gnome.Epiphany-4242.scope"
                                 << "org.gnome.Epiphany";
    QTest::newRow("escaped dash") << user + "app-gnome-firefox\\x2desr-77.scope"
                                  << "firefox-esr";
    QTest::newRow("flatpak scope") << user + "app-flatpak-org.mozilla.firefox-123.scope"
                                   << "org.mozilla.firefox";
    QTest::newRow("service with instance") << user + "app-org.gnome.Terminal@abc.service"
                                           << "org.gnome.Terminal";
    QTest::newRow("service with launcher") << user + "app-kde-org.kde.konsole@1.service"
                                           << "org.kde.konsole";
    QTest::newRow("snap") << "/user.slice/snap.firefox.firefox-1234.scope"
                          << "firefox";
    QTest::newRow("plain session") << "/user.slice/user-1000.slice/session-2.scope"
                                   << "";
    QTest::newRow("app slice itself") << user << "";
    QTest::newRow("no id before the number") << user + "app-4242.scope"
                                             << "";
    QTest::newRow("root") << "/"
                          << "";
}

void TestAppResolver::cgroupScopes() {
    QFETCH(QString, path);
    QFETCH(QString, id);
    QCOMPARE(AppResolver::idFromCgroup(path), id);
}

void TestAppResolver::desktopEntryReading() {
    const QString a = m_dir.filePath(QStringLiteral("reading/a"));
    const QString b = m_dir.filePath(QStringLiteral("reading/b"));
    writeEntry(a, "org.example.Full.desktop",
               "# comment\n[Desktop Entry]\nType=Application\nName=Full App\n"
               "Icon=full-icon\nExec=env FOO=1 -u BAR /opt/full/bin/full-app --new %U\n"
               "StartupWMClass=FullWindow\n[Desktop Action new]\nName=Not this one\n"
               "Exec=other\n");
    writeEntry(a, "kde/nested.desktop", entry("Nested"));
    writeEntry(a, "hidden.desktop", entry("Hidden", "Hidden=true\n"));
    writeEntry(a, "link.desktop", "[Desktop Entry]\nType=Link\nName=Link\nURL=http://x\n");
    writeEntry(a, "quiet.desktop", entry("Quiet", "NoDisplay=true\n"));
    writeEntry(b, "org.example.Full.desktop", entry("Shadowed"));
    writeEntry(b, "only-b.desktop", entry("Only B", "Exec=\"/usr/bin/only b\" %f\n"));

    DesktopEntries entries({a, b});
    auto full = entries.byId(QStringLiteral("org.example.Full"));
    QVERIFY(full);
    QCOMPARE(full->name, QStringLiteral("Full App"));
    QCOMPARE(full->icon, QStringLiteral("full-icon"));
    QCOMPARE(full->program, QStringLiteral("full-app"));
    QCOMPARE(full->wmClass, QStringLiteral("FullWindow"));
    QVERIFY(!full->noDisplay);
    QVERIFY(entries.byId(QStringLiteral("kde-nested")));
    QVERIFY(!entries.byId(QStringLiteral("hidden")));
    QVERIFY(!entries.byId(QStringLiteral("link")));
    QVERIFY(entries.byId(QStringLiteral("quiet"))->noDisplay);
    QCOMPARE(entries.byId(QStringLiteral("only-b"))->program, QStringLiteral("only b"));
    QVERIFY(!entries.byId(QString()));

    // Matching a program: id first, then StartupWMClass, then Exec, without case.
    QCOMPARE(entries.forProgram({QStringLiteral("FULL")})->id, QStringLiteral("org.example.Full"));
    QCOMPARE(entries.forProgram({QStringLiteral("fullwindow")})->id,
             QStringLiteral("org.example.Full"));
    QCOMPARE(entries.forProgram({QStringLiteral("nothing"), QStringLiteral("full-app")})->id,
             QStringLiteral("org.example.Full"));
    QVERIFY(!entries.forProgram({QStringLiteral("other")}));
    QVERIFY(!entries.forProgram({QString()}));

    // A new entry is seen without making a new object (folders are compared by their time of
    // change, which the kernel keeps to a few milliseconds).
    QTest::qWait(20);
    writeEntry(b, "late.desktop", entry("Late"));
    QVERIFY(entries.byId(QStringLiteral("late")));
}

void TestAppResolver::desktopEntriesFollowTheXdgFolders() {
    const QString home = m_dir.filePath(QStringLiteral("xdg/home"));
    const QString system = m_dir.filePath(QStringLiteral("xdg/system"));
    writeEntry(home + "/applications", "org.example.Mine.desktop", entry("Mine"));
    writeEntry(system + "/applications", "org.example.Mine.desktop", entry("System copy"));
    writeEntry(system + "/applications", "org.example.Theirs.desktop", entry("Theirs"));
    qputenv("XDG_DATA_HOME", home.toUtf8());
    qputenv("XDG_DATA_DIRS", system.toUtf8());
    DesktopEntries entries;
    QCOMPARE(entries.byId(QStringLiteral("org.example.Mine"))->name, QStringLiteral("Mine"));
    QCOMPARE(entries.byId(QStringLiteral("org.example.Theirs"))->name, QStringLiteral("Theirs"));
    qunsetenv("XDG_DATA_HOME");
    qunsetenv("XDG_DATA_DIRS");
}

void TestAppResolver::fallbackIsTheProgramName() {
    DesktopEntries none(QStringList{m_dir.filePath(QStringLiteral("empty"))});
    AppResolver resolver(none);
    Spawned sleeper;
    const qint64 pid = sleeper.start(QStringLiteral("sleep"), {QStringLiteral("30")});
    QVERIFY(pid > 0);
    QCOMPARE(resolver.applicationId(int(pid)), QStringLiteral("sleep"));
    QVERIFY(!resolver.runningApp(int(pid), QStringLiteral("sleep")));
}

void TestAppResolver::desktopEntryByExecWmClassAndId() {
    Spawned sleeper;
    const qint64 pid = sleeper.start(QStringLiteral("sleep"), {QStringLiteral("30")});
    QVERIFY(pid > 0);

    const QString byExec = m_dir.filePath(QStringLiteral("by-exec"));
    writeEntry(byExec, "org.example.Sleeper.desktop",
               entry("Sleeper", "Exec=/usr/bin/sleep infinity\nIcon=sleeper\n"));
    DesktopEntries execEntries({byExec});
    AppResolver execResolver(execEntries);
    QCOMPARE(execResolver.applicationId(int(pid)), QStringLiteral("org.example.Sleeper"));
    QCOMPARE(execResolver.runningApp(int(pid), QStringLiteral("org.example.Sleeper")),
             (RunningApp{"org.example.Sleeper", "Sleeper", "sleeper", int(pid)}));

    const QString byClass = m_dir.filePath(QStringLiteral("by-class"));
    writeEntry(byClass, "org.example.Exec.desktop", entry("Exec", "Exec=sleep\n"));
    writeEntry(byClass, "org.example.Klass.desktop", entry("Klass", "StartupWMClass=Sleep\n"));
    DesktopEntries classEntries({byClass});
    QCOMPARE(AppResolver(classEntries).applicationId(int(pid)),
             QStringLiteral("org.example.Klass"));

    const QString byId = m_dir.filePath(QStringLiteral("by-id"));
    writeEntry(byId, "org.example.Klass.desktop", entry("Klass", "StartupWMClass=sleep\n"));
    writeEntry(byId, "org.example.sleep.desktop", entry("Sleep by id"));
    DesktopEntries idEntries({byId});
    QCOMPARE(AppResolver(idEntries).applicationId(int(pid)), QStringLiteral("org.example.sleep"));
}

void TestAppResolver::launchEnvironment() {
    const QString folder = m_dir.filePath(QStringLiteral("env"));
    // The entry found by Exec must lose against what the launcher said.
    writeEntry(folder, "org.example.Sleeper.desktop", entry("Sleeper", "Exec=sleep\n"));
    DesktopEntries entries({folder});
    AppResolver resolver(entries);
    const QList<QPair<QString, QString>> cases{
        {"GIO_LAUNCHED_DESKTOP_FILE=/usr/share/applications/org.example.Gio.desktop",
         "org.example.Gio"},
        {"BAMF_DESKTOP_FILE_HINT=/usr/share/applications/org.example.Bamf.desktop",
         "org.example.Bamf"},
        {"FLATPAK_ID=org.example.Flat", "org.example.Flat"},
        {"SNAP_NAME=snappy", "snappy"},
    };
    for (const auto& [variable, id] : cases) {
        Spawned sleeper;
        const qint64 pid =
            sleeper.start(QStringLiteral("sleep"), {QStringLiteral("30")}, {variable});
        QVERIFY(pid > 0);
        QCOMPARE(resolver.applicationId(int(pid), QStringLiteral("org.example.Server")), id);
    }
}

void TestAppResolver::serverApplicationId() {
    const QString folder = m_dir.filePath(QStringLiteral("server"));
    writeEntry(folder, "org.example.Sleeper.desktop", entry("Sleeper", "Exec=sleep\n"));
    DesktopEntries entries({folder});
    AppResolver resolver(entries);
    Spawned sleeper;
    const qint64 pid = sleeper.start(QStringLiteral("sleep"), {QStringLiteral("30")});
    QCOMPARE(resolver.applicationId(int(pid), QStringLiteral("org.example.Server")),
             QStringLiteral("org.example.Server"));
    QCOMPARE(resolver.applicationId(int(pid)), QStringLiteral("org.example.Sleeper"));
}

void TestAppResolver::sameProgramParentsAreWalked() {
    DesktopEntries none(QStringList{m_dir.filePath(QStringLiteral("empty"))});
    AppResolver resolver(none);
    // outer sh (launched as org.example.Parent) → inner sh without the variable → sleep.
    Spawned outer;
    const qint64 outerPid = outer.start(
        QStringLiteral("sh"),
        {QStringLiteral("-c"),
         QStringLiteral("env -u GIO_LAUNCHED_DESKTOP_FILE sh -c 'sleep 30; true'; true")},
        {QStringLiteral("GIO_LAUNCHED_DESKTOP_FILE=/x/org.example.Parent.desktop")});
    QVERIFY(outerPid > 0);
    const int inner = waitForChild(outerPid, "sh -c sleep 30; true");
    QVERIFY(inner > 0);
    const int sleeper = waitForChild(inner, "sleep 30");
    QVERIFY(sleeper > 0);
    // The inner shell runs the same program as its parent: it is the parent's application.
    QCOMPARE(resolver.applicationId(inner), QStringLiteral("org.example.Parent"));
    // sleep is another program, and its own environment names nothing.
    QCOMPARE(resolver.applicationId(sleeper), QStringLiteral("sleep"));
}

void TestAppResolver::helperBelongsToTheNearestAncestorWithAnEntry() {
    const QString folder = m_dir.filePath(QStringLiteral("helper"));
    writeEntry(folder, "org.example.Shell.desktop", entry("Shell App", "Icon=shell-icon\n"));
    writeEntry(folder, "org.example.Quiet.desktop", entry("Quiet", "NoDisplay=true\n"));
    DesktopEntries entries({folder});
    AppResolver resolver(entries);
    Spawned shell;
    const qint64 shellPid = shell.start(
        QStringLiteral("sh"),
        {QStringLiteral("-c"), QStringLiteral("env -u GIO_LAUNCHED_DESKTOP_FILE "
                                              "FLATPAK_ID=org.example.Quiet sleep 30; true")},
        {QStringLiteral("GIO_LAUNCHED_DESKTOP_FILE=/x/org.example.Shell.desktop")});
    const int helper = waitForChild(shellPid, "sleep 30");
    QVERIFY(helper > 0);
    const QString id = resolver.applicationId(helper);
    QCOMPARE(id, QStringLiteral("org.example.Quiet"));
    // Its own entry is not shown on the desktop: the shell's application it is.
    QCOMPARE(resolver.runningApp(helper, id),
             (RunningApp{"org.example.Shell", "Shell App", "shell-icon", int(shellPid)}));
}

void TestAppResolver::webKitProcessesBelongToGnomeWeb() {
    const QString folder = m_dir.filePath(QStringLiteral("web"));
    writeEntry(folder, "org.gnome.Epiphany.desktop", entry("Web", "Icon=org.gnome.Epiphany\n"));
    writeEntry(folder, "org.example.Shell.desktop", entry("Shell App"));
    DesktopEntries entries({folder});
    AppResolver resolver(entries);

    // A WebKit process under another application is not that application's.
    Spawned shell;
    const qint64 shellPid =
        shell.start(QStringLiteral("sh"), {QStringLiteral("-c"), QStringLiteral("sleep 30")},
                    {QStringLiteral("GIO_LAUNCHED_DESKTOP_FILE=/x/org.example.Shell.desktop")});
    QVERIFY(shellPid > 0);
    QVERIFY(!resolver.runningApp(int(shellPid), QStringLiteral("WebKitWebProcess")));

    // Once GNOME Web runs, WebKit processes are its.
    const QString epiphany = m_dir.filePath(QStringLiteral("epiphany"));
    QVERIFY(QFile::copy(QStringLiteral("/usr/bin/sleep"), epiphany));
    QFile(epiphany).setPermissions(QFile::ExeOwner | QFile::ReadOwner);
    Spawned web;
    const qint64 webPid = web.start(epiphany, {QStringLiteral("30")});
    QVERIFY(webPid > 0);
    // Found by the last part of the entry's id.
    QCOMPARE(resolver.applicationId(int(webPid)), QStringLiteral("org.gnome.Epiphany"));
    QCOMPARE(resolver.runningApp(int(shellPid), QStringLiteral("WebKitNetworkProcess")),
             (RunningApp{"org.gnome.Epiphany", "Web", "org.gnome.Epiphany", int(webPid)}));
}

void TestAppResolver::unreadableProcess() {
    DesktopEntries none(QStringList{m_dir.filePath(QStringLiteral("empty"))});
    AppResolver resolver(none, m_dir.filePath(QStringLiteral("no-proc")));
    QCOMPARE(resolver.applicationId(1234), QString());
    QCOMPARE(resolver.applicationId(1234, QStringLiteral("org.example.Server")),
             QStringLiteral("org.example.Server"));
    QCOMPARE(resolver.applicationId(0), QString());
    QVERIFY(!resolver.runningApp(1234, QStringLiteral("x")));
}

QTEST_GUILESS_MAIN(TestAppResolver)
#include "tst_AppResolver.moc"
