#include "CliProcess.h"

#include <QTest>

#include <csignal>
#include <sys/prctl.h>

namespace pq::test {

CliProcess::CliProcess(const QString& api, const QString& key)
    : m_env(QProcessEnvironment::systemEnvironment()) {
    m_env.insert(QStringLiteral("HOME"), m_home.path());
    m_env.insert(QStringLiteral("XDG_CONFIG_HOME"), m_home.filePath(QStringLiteral(".config")));
    m_env.insert(QStringLiteral("PARLOQUENT_API"), api);
    m_env.insert(QStringLiteral("PARLOQUENT_KEY"), key);
    m_env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
                 QStringLiteral("unix:path=") + m_home.filePath(QStringLiteral("no-bus")));
    // Under LeakSanitizer the suppressions in use would be listed on standard error at exit.
    if (m_env.contains(QStringLiteral("LSAN_OPTIONS")))
        m_env.insert(QStringLiteral("LSAN_OPTIONS"), m_env.value(QStringLiteral("LSAN_OPTIONS")) +
                                                         QStringLiteral(":print_suppressions=0"));
    m_env.remove(QStringLiteral("DISPLAY"));
    m_env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    m_process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
}

CliProcess::~CliProcess() {
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

bool CliProcess::start(const QStringList& arguments) {
    m_process.setProcessEnvironment(m_env);
    m_process.start(QStringLiteral(PQ_CLI), arguments);
    return m_process.waitForStarted(10'000);
}

bool CliProcess::run(const QStringList& arguments, int timeoutMs) {
    return start(arguments) && waitForExit(timeoutMs);
}

void CliProcess::gather() {
    m_out += m_process.readAllStandardOutput();
    m_err += m_process.readAllStandardError();
}

bool CliProcess::waitForOutput(const QString& text, int timeoutMs) {
    return QTest::qWaitFor(
        [&] {
            gather();
            return QString::fromUtf8(m_out).contains(text);
        },
        timeoutMs);
}

bool CliProcess::waitForError(const QString& text, int timeoutMs) {
    return QTest::qWaitFor(
        [&] {
            gather();
            return QString::fromUtf8(m_err).contains(text);
        },
        timeoutMs);
}

void CliProcess::interrupt() {
    if (m_process.state() == QProcess::Running)
        ::kill(pid_t(m_process.processId()), SIGINT);
}

bool CliProcess::waitForExit(int timeoutMs) {
    const bool ended =
        QTest::qWaitFor([&] { return m_process.state() == QProcess::NotRunning; }, timeoutMs);
    gather();
    return ended;
}

int CliProcess::exitCode() const {
    return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
}

QString CliProcess::out() {
    gather();
    return QString::fromUtf8(m_out);
}

QString CliProcess::err() {
    gather();
    return QString::fromUtf8(m_err);
}

} // namespace pq::test
