#pragma once

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

namespace pq::test {

// parloquent-cli run as a user runs it, against one deployment with a key in PARLOQUENT_KEY and
// a HOME of its own (no Secret Service reachable, so the key from the environment is the one
// used). Output is gathered while the test's event loop turns.
class CliProcess {
public:
    CliProcess(const QString& api, const QString& key);
    ~CliProcess();

    QProcessEnvironment& environment() { return m_env; }

    bool start(const QStringList& arguments);
    // Runs to the end; false when it did not end in time.
    bool run(const QStringList& arguments, int timeoutMs = 60'000);
    bool waitForOutput(const QString& text, int timeoutMs);
    bool waitForError(const QString& text, int timeoutMs);
    void interrupt(); // SIGINT, as Ctrl-C sends it
    bool waitForExit(int timeoutMs);

    int exitCode() const;
    QString out();
    QString err();

private:
    void gather();

    QTemporaryDir m_home;
    QProcessEnvironment m_env;
    QProcess m_process;
    QByteArray m_out;
    QByteArray m_err;
};

} // namespace pq::test
