#pragma once

#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <QUrl>

namespace pq::test {

// A private parloquent-server for one test: its own temporary data folder, free ports for the
// API and the web application, and an API key made with `parloquent-server keys create test`
// before it starts.
class ServerProcess {
public:
    explicit ServerProcess(QStringList extraArgs = {});
    // Arguments that make the recogniser take only the test sentences, then `more`.
    static QStringList withGrammar(const QStringList& more = {});
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    // Starts it and waits until it listens; false (with the reason in error()) otherwise.
    bool start(int timeoutMs = 30'000);
    // Waits until /health reports the recogniser ready.
    bool waitForRecognizer(int timeoutMs = 60'000);
    // Ends it with SIGTERM; its exit code, or -1 when it crashed or had to be killed.
    int stop();
    bool running() const { return m_process.state() == QProcess::Running; }
    qint64 pid() const { return m_process.processId(); }

    QUrl base() const { return m_base; }
    // The web application.
    QUrl appBase() const { return m_appBase; }
    QUrl wsUrl(const QString& pathAndQuery) const;
    quint16 port() const { return quint16(m_base.port()); }
    QString key() const { return m_key; }
    QString dataDir() const { return m_data.path(); }
    QString error() const { return m_error; }
    // Everything the server wrote to stderr so far.
    QString log();

    // Runs `parloquent-server --data DIR args…` to its end; its exit code.
    int command(const QStringList& args, QString* out = nullptr, QString* err = nullptr) const;

    static QString binary();

private:
    QStringList m_args;
    QTemporaryDir m_data;
    QProcess m_process;
    QUrl m_base;
    QUrl m_appBase;
    QString m_key;
    QString m_error;
    QByteArray m_stderr;
};

} // namespace pq::test
