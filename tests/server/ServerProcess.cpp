#include "ServerProcess.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QThread>
#include <QTimer>

#include <csignal>
#include <sys/prctl.h>

namespace pq::test {

ServerProcess::ServerProcess(QStringList extraArgs) : m_args(std::move(extraArgs)) {
    m_process.setProcessChannelMode(QProcess::SeparateChannels);
    // A test that dies (a crash, a time-out) takes its server with it.
    m_process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
}

ServerProcess::~ServerProcess() {
    stop();
}

QString ServerProcess::binary() {
    return QStringLiteral(PQ_SERVER_BIN);
}

QUrl ServerProcess::wsUrl(const QString& pathAndQuery) const {
    QUrl url(QStringLiteral("ws://127.0.0.1:%1%2").arg(port()).arg(pathAndQuery));
    return url;
}

int ServerProcess::command(const QStringList& args, QString* out, QString* err) const {
    QProcess p;
    p.start(binary(), QStringList{QStringLiteral("--data"), m_data.path()} + args);
    if (!p.waitForFinished(60'000)) {
        p.kill();
        p.waitForFinished();
        return -1;
    }
    if (out)
        *out = QString::fromUtf8(p.readAllStandardOutput());
    if (err)
        *err = QString::fromUtf8(p.readAllStandardError());
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

QStringList ServerProcess::withGrammar(const QStringList& more) {
    return QStringList{QStringLiteral("--grammar"),
                       QStringLiteral(PQ_TEST_DATA "/server/sentences.jsgf")} +
           more;
}

bool ServerProcess::start(int timeoutMs) {
    if (!m_data.isValid()) {
        m_error = QStringLiteral("no temporary folder");
        return false;
    }
    QString out;
    QString err;
    if (command({QStringLiteral("keys"), QStringLiteral("create"), QStringLiteral("test")}, &out,
                &err) != 0) {
        m_error = QStringLiteral("keys create failed: ") + err;
        return false;
    }
    m_key = out.trimmed();

    QStringList args{QStringLiteral("--data"), m_data.path(), QStringLiteral("--port"),
                     QStringLiteral("0")};
    if (!m_args.contains(QStringLiteral("--app-port")))
        args << QStringLiteral("--app-port") << QStringLiteral("0");
    m_process.start(binary(), args + m_args);
    if (!m_process.waitForStarted(10'000)) {
        m_error = QStringLiteral("cannot start ") + binary();
        return false;
    }
    static const QRegularExpression listening(
        QStringLiteral("listening on (http://[0-9.]+:[0-9]+)\\n.*web application on "
                       "(http://[0-9.]+:[0-9]+)\\n"),
        QRegularExpression::DotMatchesEverythingOption);
    QByteArray stdoutText;
    QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired() && m_process.state() == QProcess::Running) {
        m_process.waitForReadyRead(100);
        stdoutText += m_process.readAllStandardOutput();
        m_stderr += m_process.readAllStandardError();
        const auto match = listening.match(QString::fromUtf8(stdoutText));
        if (match.hasMatch()) {
            m_base = QUrl(match.captured(1));
            m_appBase = QUrl(match.captured(2));
            return true;
        }
    }
    m_error = QStringLiteral("the server did not start listening: ") + QString::fromUtf8(m_stderr);
    return false;
}

bool ServerProcess::waitForRecognizer(int timeoutMs) {
    QNetworkAccessManager net;
    QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired()) {
        QNetworkRequest request(m_base.resolved(QUrl(QStringLiteral("/health"))));
        QNetworkReply* reply = net.get(request);
        QEventLoop loop;
        QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
        QTimer::singleShot(5000, &loop, &QEventLoop::quit);
        loop.exec();
        const QJsonObject health = QJsonDocument::fromJson(reply->readAll()).object();
        reply->deleteLater();
        const QString state = health.value(QStringLiteral("recognizer")).toString();
        if (state == QLatin1String("ready"))
            return true;
        if (state == QLatin1String("failed")) {
            m_error = QStringLiteral("the recogniser failed: ") + log();
            return false;
        }
        QThread::msleep(100);
    }
    m_error = QStringLiteral("the recogniser did not get ready");
    return false;
}

QString ServerProcess::log() {
    m_stderr += m_process.readAllStandardError();
    return QString::fromUtf8(m_stderr);
}

int ServerProcess::stop() {
    if (m_process.state() == QProcess::NotRunning)
        return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
    m_process.terminate();
    if (!m_process.waitForFinished(30'000)) {
        m_process.kill();
        m_process.waitForFinished();
        return -1;
    }
    m_stderr += m_process.readAllStandardError();
    const int code = m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
    if (code != 0) // show why, e.g. a sanitizer's report
        qWarning().noquote() << "parloquent-server ended with" << code << ":\n" << log();
    return code;
}

} // namespace pq::test
