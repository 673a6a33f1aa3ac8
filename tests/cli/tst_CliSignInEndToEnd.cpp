// `parloquent-cli sign-in` with nothing played: the local service's consent page in headless
// Chromium, the key kept in the real Secret Service, and that key accepted by the service.
#include "HeadlessBrowser.h"
#include "KeyringItems.h"
#include "ServerProcess.h"
#include "TestClient.h"

#include <QDirIterator>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

using namespace pq::test;

class TestCliSignInEndToEnd : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void allowKeepsAWorkingKey();
    void denyKeepsNothing();

private:
    // Starts `sign-in`, opens the address it prints and clicks `button` on the consent page.
    void signIn(QProcess& cli, const char* button);

    std::unique_ptr<ServerProcess> m_server;
    HeadlessBrowser m_browser;
    QTemporaryDir m_home;
};

void TestCliSignInEndToEnd::initTestCase() {
    QVERIFY2(qEnvironmentVariableIsSet("DBUS_SESSION_BUS_ADDRESS"),
             "needs the private session bus with gnome-keyring that scripts/test starts");
    m_server =
        std::make_unique<ServerProcess>(QStringList{QStringLiteral("--warm"), QStringLiteral("0")});
    QVERIFY2(m_server->start(), qPrintable(m_server->error()));
    QVERIFY2(m_browser.start(), qPrintable(m_browser.error()));
}

void TestCliSignInEndToEnd::cleanupTestCase() {
    clearProductionKey();
    if (m_server)
        QCOMPARE(m_server->stop(), 0);
}

void TestCliSignInEndToEnd::signIn(QProcess& cli, const char* button) {
    clearProductionKey();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", m_home.path());
    env.insert("XDG_CONFIG_HOME", m_home.filePath(".config"));
    env.insert("PARLOQUENT_API", m_server->base().toString());
    env.insert("PARLOQUENT_APP", m_server->appBase().toString());
    env.remove("PARLOQUENT_KEY");
    // No desktop: the address is only printed, and this test's browser opens it.
    env.remove("DISPLAY");
    env.remove("WAYLAND_DISPLAY");
    cli.setProcessEnvironment(env);
    cli.start(PQ_CLI, {"sign-in"});
    QString printed;
    QTRY_VERIFY_WITH_TIMEOUT(
        (printed += QString::fromUtf8(cli.readAllStandardOutput())).contains("/connect?"), 10000);
    QUrl consent;
    for (const QString& line : printed.split('\n'))
        if (line.trimmed().startsWith("http"))
            consent = QUrl(line.trimmed(), QUrl::StrictMode);
    QVERIFY2(consent.isValid(), qPrintable(printed));
    QCOMPARE(consent.port(), m_server->appBase().port());
    QVERIFY(m_browser.navigate(consent));
    QVERIFY2(m_browser.waitFor(
                 QStringLiteral("!!document.getElementById('%1')").arg(QLatin1String(button))),
             qPrintable(m_browser.text()));
    m_browser.evaluate(
        QStringLiteral("document.getElementById('%1').click()").arg(QLatin1String(button)));
    QTRY_VERIFY_WITH_TIMEOUT(cli.state() == QProcess::NotRunning, 20000);
    QCOMPARE(cli.exitStatus(), QProcess::NormalExit);
}

void TestCliSignInEndToEnd::allowKeepsAWorkingKey() {
    QProcess cli;
    signIn(cli, "allow");
    if (QTest::currentTestFailed())
        return;
    const QString err = QString::fromUtf8(cli.readAllStandardError());
    QVERIFY2(cli.exitCode() == 0, qPrintable(err));
    QVERIFY(QString::fromUtf8(cli.readAllStandardOutput()).contains("Signed in as "));
    QVERIFY2(m_browser.waitFor(QStringLiteral(
                 "document.body && document.body.innerText.includes('Signed in. You can close')")),
             qPrintable(m_browser.text()));

    const QString key = storedProductionKey();
    QVERIFY2(key.startsWith("pq_key_"), qPrintable(key));
    TestClient client(m_server->base(), key);
    const Answer me = client.get(QStringLiteral("/v1/me"));
    QCOMPARE(me.status, 200);
    QVERIFY(!me.json().value(QStringLiteral("displayName")).toString().isEmpty());

    // Kept in the Secret Service only: nothing under HOME holds it.
    QDirIterator it(m_home.path(), QDir::Files | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile f(it.next());
        QVERIFY(f.open(QIODevice::ReadOnly));
        QVERIFY2(!f.readAll().contains(key.toUtf8()), qPrintable(f.fileName()));
    }
}

void TestCliSignInEndToEnd::denyKeepsNothing() {
    QProcess cli;
    signIn(cli, "deny");
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(cli.exitCode(), 1);
    QCOMPARE(QString::fromUtf8(cli.readAllStandardError()).trimmed(),
             QStringLiteral("You cancelled on the Parloquent screen."));
    QVERIFY(storedProductionKey().isEmpty());
    QVERIFY2(m_browser.waitFor(QStringLiteral(
                 "document.body && document.body.innerText.includes('Sign-in cancelled.')")),
             qPrintable(m_browser.text()));
}

QTEST_GUILESS_MAIN(TestCliSignInEndToEnd)
#include "tst_CliSignInEndToEnd.moc"
