// parloquent-cli sign-in and sign-out as a user runs them: a separate process with its own HOME,
// the real Secret Service on the test bus, and a recording server as the service.
#include "KeyringItems.h"
#include "RecordingHttpServer.h"

#include <QDirIterator>
#include <QProcess>
#include <QSettings>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QUrlQuery>

#include <csignal>

using namespace pq::test;

namespace {

struct Run {
    int exitCode = -1;
    QString out;
    QString err;
};

} // namespace

class TestCliSignIn : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void pastedKeyIsTrimmedCheckedAndKept();
    void pastedKeyRefusals_data();
    void pastedKeyRefusals();
    void signOutForgetsTheKey();
    void browserSignIn();
    void interruptCancelsBrowserSignIn();
    void noSecretServiceMeansNoKeyKept();

private:
    QProcessEnvironment environment() const;
    Run run(const QStringList& args, const QByteArray& input, const QProcessEnvironment& env) const;
    // Every file under the test's HOME that holds `secret`.
    QStringList filesHolding(const QByteArray& secret) const;

    std::unique_ptr<QTemporaryDir> m_home;
    std::unique_ptr<RecordingHttpServer> m_service;
};

void TestCliSignIn::initTestCase() {
    QVERIFY2(qEnvironmentVariableIsSet("DBUS_SESSION_BUS_ADDRESS"),
             "needs the private session bus with gnome-keyring that scripts/test starts");
}

void TestCliSignIn::init() {
    m_home = std::make_unique<QTemporaryDir>();
    m_service = std::make_unique<RecordingHttpServer>();
    clearProductionKey();
}

QProcessEnvironment TestCliSignIn::environment() const {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", m_home->path());
    env.insert("XDG_CONFIG_HOME", m_home->filePath(".config"));
    env.insert("PARLOQUENT_API", m_service->base().toString());
    env.remove("PARLOQUENT_KEY");
    env.remove("DISPLAY");
    env.remove("WAYLAND_DISPLAY");
    return env;
}

Run TestCliSignIn::run(const QStringList& args, const QByteArray& input,
                       const QProcessEnvironment& env) const {
    QProcess cli;
    cli.setProcessEnvironment(env);
    cli.start(PQ_CLI, args);
    cli.write(input);
    cli.closeWriteChannel();
    // The service answers on this thread: keep the event loop turning while the CLI runs.
    QElapsedTimer timer;
    timer.start();
    while (cli.state() != QProcess::NotRunning && timer.elapsed() < 20000)
        QTest::qWait(10);
    return {cli.exitCode(), QString::fromUtf8(cli.readAllStandardOutput()),
            QString::fromUtf8(cli.readAllStandardError())};
}

QStringList TestCliSignIn::filesHolding(const QByteArray& secret) const {
    QStringList found;
    QDirIterator it(m_home->path(), QDir::Files | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile f(it.next());
        if (f.open(QIODevice::ReadOnly) && f.readAll().contains(secret))
            found.append(f.fileName());
    }
    return found;
}

void TestCliSignIn::pastedKeyIsTrimmedCheckedAndKept() {
    m_service->setDefault(ScriptedAnswer::json(200, R"({"displayName":"Ada","scopes":["read"]})"));
    const Run r = run({"sign-in", "--key"}, "  pq_key_abc123 \r\n", environment());
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.out.trimmed(), QStringLiteral("Signed in as Ada."));
    QCOMPARE(m_service->requests().size(), 1);
    QCOMPARE(m_service->last().path, QByteArray("/v1/me"));
    QCOMPARE(m_service->last().header("Authorization"), QByteArray("Bearer pq_key_abc123"));
    QCOMPARE(storedProductionKey(), QStringLiteral("pq_key_abc123"));

    QSettings prefs(m_home->filePath(".config/Parloquent/Parloquent.conf"), QSettings::IniFormat);
    QCOMPARE(prefs.value("accountName").toString(), QStringLiteral("Ada"));
    QCOMPARE(prefs.value("viaKey").toBool(), true);
    QVERIFY2(filesHolding("pq_key_abc123").isEmpty(),
             qPrintable(filesHolding("pq_key_abc123").join(", ")));
}

void TestCliSignIn::pastedKeyRefusals_data() {
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<int>("requests");
    QTest::addColumn<QString>("message");
    QTest::newRow("capital prefix") << QByteArray("PQ_KEY_abc\n") << 0 << QByteArray() << 0
                                    << "That doesn’t look like a Parloquent key. Keys start with "
                                       "pq_key_.";
    QTest::newRow("nothing") << QByteArray() << 0 << QByteArray() << 0
                             << "No key was given on standard input.";
    QTest::newRow("bare prefix is asked and refused")
        << QByteArray("pq_key_\n") << 401
        << QByteArray(R"({"code":"unauthorized","message":"Unknown key."})") << 1
        << "Parloquent did not accept that key. Check it under Developers in your Dashboard.";
    QTest::newRow("other failures keep their message")
        << QByteArray("pq_key_x\n") << 403
        << QByteArray(R"({"code":"forbidden","message":"This key may not sign in."})") << 1
        << "This key may not sign in.";
    QTest::newRow("html failure") << QByteArray("pq_key_x\n") << 502 << QByteArray("<html>") << 1
                                  << "Parloquent answered 502.";
}

void TestCliSignIn::pastedKeyRefusals() {
    QFETCH(QByteArray, input);
    QFETCH(int, status);
    QFETCH(QByteArray, answer);
    QFETCH(int, requests);
    QFETCH(QString, message);
    if (status)
        m_service->setDefault(ScriptedAnswer::json(status, answer));
    const Run r = run({"sign-in", "--key"}, input, environment());
    QCOMPARE(r.exitCode, 1);
    QCOMPARE(r.err.trimmed(), message);
    QCOMPARE(m_service->requests().size(), requests);
    QVERIFY(storedProductionKey().isEmpty());
}

void TestCliSignIn::signOutForgetsTheKey() {
    m_service->setDefault(ScriptedAnswer::json(200, R"({"displayName":"Ada","scopes":[]})"));
    QCOMPARE(run({"sign-in", "--key"}, "pq_key_gone\n", environment()).exitCode, 0);
    QCOMPARE(storedProductionKey(), QStringLiteral("pq_key_gone"));
    const Run r = run({"sign-out"}, {}, environment());
    QCOMPARE(r.exitCode, 0);
    QVERIFY(storedProductionKey().isEmpty());
    QCOMPARE(run({"sign-out"}, {}, environment()).exitCode, 0); // twice is harmless
}

void TestCliSignIn::browserSignIn() {
    m_service->setDefault(ScriptedAnswer::json(
        200, R"({"access_token":"pq_key_browser","key_id":"k","account":{"name":"Bea"}})"));
    QProcess cli;
    cli.setProcessEnvironment(environment());
    cli.start(PQ_CLI, {"sign-in"});
    QString printed;
    QUrl consent;
    QTRY_VERIFY_WITH_TIMEOUT(
        (printed += QString::fromUtf8(cli.readAllStandardOutput())).contains("/connect?"), 10000);
    for (const QString& line : printed.split('\n'))
        if (line.trimmed().startsWith("http"))
            consent = QUrl(line.trimmed());
    QCOMPARE(consent.path(), QStringLiteral("/connect"));
    const QUrlQuery query(consent);
    const QUrl redirect(query.queryItemValue("redirect_uri", QUrl::FullyDecoded));

    // Play the browser coming back from the consent page.
    QTcpSocket browser;
    browser.connectToHost(QHostAddress::LocalHost, redirect.port());
    QVERIFY(browser.waitForConnected(3000));
    browser.write("GET /callback?code=one-time&state=" + query.queryItemValue("state").toUtf8() +
                  " HTTP/1.1\r\n\r\n");
    QByteArray page;
    QTRY_VERIFY_WITH_TIMEOUT((page += browser.readAll()).contains("</body>"), 10000);
    QVERIFY(page.contains("Signed in. You can close this tab and go back to Parloquent."));

    QTRY_VERIFY_WITH_TIMEOUT(cli.state() == QProcess::NotRunning, 10000);
    QCOMPARE(cli.exitCode(), 0);
    QVERIFY(QString::fromUtf8(cli.readAllStandardOutput()).contains("Signed in as Bea."));
    QCOMPARE(storedProductionKey(), QStringLiteral("pq_key_browser"));
    QSettings prefs(m_home->filePath(".config/Parloquent/Parloquent.conf"), QSettings::IniFormat);
    QCOMPARE(prefs.value("viaKey").toBool(), false);
    QCOMPARE(prefs.value("accountName").toString(), QStringLiteral("Bea"));
    QVERIFY(filesHolding("pq_key_browser").isEmpty());
}

void TestCliSignIn::interruptCancelsBrowserSignIn() {
    QProcess cli;
    cli.setProcessEnvironment(environment());
    cli.start(PQ_CLI, {"sign-in"});
    QByteArray printed;
    QTRY_VERIFY_WITH_TIMEOUT((printed += cli.readAllStandardOutput()).contains("/connect?"), 10000);
    ::kill(static_cast<pid_t>(cli.processId()), SIGINT);
    QTRY_VERIFY_WITH_TIMEOUT(cli.state() == QProcess::NotRunning, 10000);
    QCOMPARE(cli.exitStatus(), QProcess::NormalExit);
    QCOMPARE(cli.exitCode(), 1);
    QCOMPARE(QString::fromUtf8(cli.readAllStandardError()).trimmed(),
             QStringLiteral("Sign-in was cancelled."));
    QVERIFY(m_service->requests().isEmpty());
}

void TestCliSignIn::noSecretServiceMeansNoKeyKept() {
    m_service->setDefault(ScriptedAnswer::json(200, R"({"displayName":"Ada","scopes":[]})"));
    QProcessEnvironment env = environment();
    env.insert("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + m_home->filePath("no-bus"));
    const Run r = run({"sign-in", "--key"}, "pq_key_nowhere\n", env);
    QCOMPARE(r.exitCode, 1);
    QVERIFY2(r.err.contains("could not be kept"), qPrintable(r.err));
    QVERIFY(filesHolding("pq_key_nowhere").isEmpty());
    QVERIFY(storedProductionKey().isEmpty());
}

QTEST_GUILESS_MAIN(TestCliSignIn)
#include "tst_CliSignIn.moc"
