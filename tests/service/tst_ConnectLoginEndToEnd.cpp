// Browser sign-in with everything real: the local service's consent page in headless Chromium,
// the application's loopback listener and the token exchange. The new key must work.
#include "API.h"
#include "APIError.h"
#include "Await.h"
#include "ConnectLogin.h"
#include "HeadlessBrowser.h"
#include "Me.h"
#include "ServerProcess.h"

#include <QDir>
#include <QTest>
#include <QUrlQuery>

using namespace pq;
using namespace pq::test;

namespace {

struct Attempt {
    std::unique_ptr<ConnectLogin> login;
    std::shared_ptr<Outcome<ConnectLogin::Result>> outcome =
        std::make_shared<Outcome<ConnectLogin::Result>>();
    QUrl consent;
};

} // namespace

class TestConnectLoginEndToEnd : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void allowGivesAWorkingKey();
    void denyCancels();
    void codeIsBoundToThisListener();

private:
    // Starts a sign-in and opens its consent page in the browser, ready for a click.
    void begin(Attempt& attempt);
    void click(const char* button);

    std::unique_ptr<ServerProcess> m_server;
    std::unique_ptr<API> m_api;
    HeadlessBrowser m_browser;
};

void TestConnectLoginEndToEnd::initTestCase() {
    m_server =
        std::make_unique<ServerProcess>(QStringList{QStringLiteral("--warm"), QStringLiteral("0")});
    QVERIFY2(m_server->start(), qPrintable(m_server->error()));
    // Signed out: the exchange needs no key.
    m_api = std::make_unique<API>(Env{Env::Name::local, m_server->base(), m_server->appBase()},
                                  QString());
    QVERIFY2(m_browser.start(), qPrintable(m_browser.error()));
}

void TestConnectLoginEndToEnd::cleanupTestCase() {
    m_api.reset();
    if (m_server)
        QCOMPARE(m_server->stop(), 0);
}

void TestConnectLoginEndToEnd::begin(Attempt& attempt) {
    attempt.login = std::make_unique<ConnectLogin>(
        m_api.get(), ConnectLogin::Options{.timeout = std::chrono::seconds(60), .computerName = [] {
                                               return QStringLiteral("testbox");
                                           }});
    // The browser is driven from the test body: `open` runs inside the sign-in and must not block.
    detail::drive(attempt.login->run([&attempt](const QUrl& url) { attempt.consent = url; }),
                  attempt.outcome);
    QTRY_VERIFY(attempt.consent.isValid());
    QCOMPARE(attempt.consent.adjusted(QUrl::RemoveQuery | QUrl::RemovePath),
             m_server->appBase().adjusted(QUrl::RemovePath));
    QVERIFY(m_browser.navigate(attempt.consent));
    QVERIFY2(m_browser.waitFor(QStringLiteral("!!document.getElementById('allow')")),
             qPrintable(m_browser.text()));
    QVERIFY2(m_browser.text().contains(QStringLiteral("Parloquent for Linux on testbox")),
             qPrintable(m_browser.text()));
}

void TestConnectLoginEndToEnd::click(const char* button) {
    m_browser.evaluate(
        QStringLiteral("document.getElementById('%1').click()").arg(QLatin1String(button)));
}

void TestConnectLoginEndToEnd::allowGivesAWorkingKey() {
    Attempt a;
    begin(a);
    if (QTest::currentTestFailed())
        return;
    click("allow");
    QTRY_VERIFY_WITH_TIMEOUT(a.outcome->finished, 20'000);
    QVERIFY(!a.outcome->error);
    const ConnectLogin::Result result = *a.outcome->value;
    QVERIFY2(result.key.startsWith(QStringLiteral("pq_key_")), qPrintable(result.key));
    QVERIFY(!result.accountName.isEmpty());

    // The browser landed on the listener's page.
    QVERIFY2(m_browser.waitFor(QStringLiteral("document.body && document.body.innerText.includes("
                                              "'Signed in. You can close this tab')")),
             qPrintable(m_browser.text()));
    QVERIFY(m_browser.location().startsWith(QStringLiteral("http://127.0.0.1:")));
    m_browser.screenshot(QDir::temp().filePath(QStringLiteral("parloquent-signed-in.png")));

    // The key is a real one of the account.
    API signedIn(Env{Env::Name::local, m_server->base(), m_server->appBase()}, result.key);
    const auto me = await(signedIn.me());
    QVERIFY(me->finished);
    QVERIFY(!me->error);
    QCOMPARE(me->value->displayName, result.accountName);
    QVERIFY(me->value->apiKeyId.has_value());

    // A made-up key is not accepted, so the check above means something.
    API forged(Env{Env::Name::local, m_server->base(), m_server->appBase()},
               result.key + QStringLiteral("x"));
    const auto refused = await(forged.me());
    QVERIFY(refused->finished);
    QVERIFY(refused->errorAs<APIError>().has_value());
}

void TestConnectLoginEndToEnd::denyCancels() {
    Attempt a;
    begin(a);
    if (QTest::currentTestFailed())
        return;
    click("deny");
    QTRY_VERIFY_WITH_TIMEOUT(a.outcome->finished, 20'000);
    QVERIFY(!a.outcome->value);
    const auto error = a.outcome->errorAs<APIError>();
    QVERIFY(error.has_value());
    QCOMPARE(error->code(), QStringLiteral("cancelled"));
    QCOMPARE(error->message(), QStringLiteral("You cancelled on the Parloquent screen."));
    QVERIFY2(m_browser.waitFor(QStringLiteral("document.body && document.body.innerText.includes("
                                              "'Sign-in cancelled. You can close this tab.')")),
             qPrintable(m_browser.text()));
}

void TestConnectLoginEndToEnd::codeIsBoundToThisListener() {
    // Two sign-ins at once: the consent of the second must not finish the first.
    Attempt first;
    begin(first);
    if (QTest::currentTestFailed())
        return;
    Attempt second;
    begin(second);
    if (QTest::currentTestFailed())
        return;
    QVERIFY(QUrlQuery(first.consent).queryItemValue(QStringLiteral("state")) !=
            QUrlQuery(second.consent).queryItemValue(QStringLiteral("state")));
    click("allow");
    QTRY_VERIFY_WITH_TIMEOUT(second.outcome->finished, 20'000);
    QVERIFY(second.outcome->value.has_value());
    QVERIFY(!first.outcome->finished);
    first.login->cancel();
    QTRY_VERIFY(first.outcome->finished);
    QCOMPARE(first.outcome->errorAs<APIError>()->code(), QStringLiteral("cancelled"));
}

QTEST_GUILESS_MAIN(TestConnectLoginEndToEnd)
#include "tst_ConnectLoginEndToEnd.moc"
