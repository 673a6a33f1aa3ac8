// Choosing the deployment: the "env" preference and the two address overrides.
#include "Env.h"

#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

using namespace pq;

class TestEnv : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void namedDeployments();
    void preferenceChoosesTheDeployment_data();
    void preferenceChoosesTheDeployment();
    void apiOverride_data();
    void apiOverride();
    void readAfreshOnEveryCall();
    void dashboardResolvesAgainstTheWebApp();

private:
    void setPreference(const QVariant& value);
    QTemporaryDir m_config;
};

void TestEnv::initTestCase() {
    QVERIFY(m_config.isValid());
    qputenv("XDG_CONFIG_HOME", m_config.path().toUtf8());
}

void TestEnv::init() {
    qunsetenv("PARLOQUENT_API");
    qunsetenv("PARLOQUENT_APP");
    setPreference(QVariant());
}

void TestEnv::setPreference(const QVariant& value) {
    QSettings settings(QStringLiteral("Parloquent"), QStringLiteral("Parloquent"));
    if (value.isValid())
        settings.setValue("env", value);
    else
        settings.remove("env");
    settings.sync();
}

void TestEnv::namedDeployments() {
    QCOMPARE(Env::allNames(),
             QList<Env::Name>({Env::Name::production, Env::Name::e2e, Env::Name::local}));
    QCOMPARE(Env::rawValue(Env::Name::e2e), QStringLiteral("e2e"));
    QCOMPARE(Env::nameFrom("local"), Env::Name::local);
    QVERIFY(!Env::nameFrom("Local"));
    QVERIFY(!Env::nameFrom(""));

    const Env local = Env::named(Env::Name::local);
    QCOMPARE(local.api, QUrl("http://127.0.0.1:8080"));
    QCOMPARE(local.app, QUrl("http://127.0.0.1:5176"));
    for (const Env::Name name : {Env::Name::production, Env::Name::e2e}) {
        const Env env = Env::named(name);
        QCOMPARE(env.name, name);
        QCOMPARE(env.api.scheme(), QStringLiteral("https"));
        QCOMPARE(env.app.scheme(), QStringLiteral("https"));
        QVERIFY(env.api.path().isEmpty());
    }
    QVERIFY(Env::named(Env::Name::production) != Env::named(Env::Name::e2e));
    Env changed = local;
    QCOMPARE(changed, local);
    changed.app = QUrl("http://127.0.0.1:9");
    QVERIFY(changed != local);
}

void TestEnv::preferenceChoosesTheDeployment_data() {
    QTest::addColumn<QVariant>("preference");
    QTest::addColumn<Env::Name>("expected");
    QTest::newRow("absent") << QVariant() << Env::Name::production;
    QTest::newRow("production") << QVariant("production") << Env::Name::production;
    QTest::newRow("e2e") << QVariant("e2e") << Env::Name::e2e;
    QTest::newRow("local") << QVariant("local") << Env::Name::local;
    QTest::newRow("unrecognised") << QVariant("staging") << Env::Name::production;
    QTest::newRow("wrong case") << QVariant("LOCAL") << Env::Name::production;
    QTest::newRow("empty") << QVariant("") << Env::Name::production;
}

void TestEnv::preferenceChoosesTheDeployment() {
    QFETCH(QVariant, preference);
    QFETCH(Env::Name, expected);
    setPreference(preference);
    QCOMPARE(Env::current(), Env::named(expected));
}

void TestEnv::apiOverride_data() {
    QTest::addColumn<QByteArray>("api");
    QTest::addColumn<QByteArray>("app");
    QTest::addColumn<QString>("expectedAPI");
    QTest::addColumn<QString>("expectedApp");
    const QString localAPI = "http://127.0.0.1:8080", localApp = "http://127.0.0.1:5176";
    QTest::newRow("api only") << QByteArray("http://10.0.0.2:9000") << QByteArray()
                              << "http://10.0.0.2:9000" << localApp;
    QTest::newRow("both") << QByteArray("https://a.example") << QByteArray("https://b.example")
                          << "https://a.example"
                          << "https://b.example";
    QTest::newRow("app alone changes nothing")
        << QByteArray() << QByteArray("http://elsewhere:1") << localAPI << localApp;
    QTest::newRow("api not an address")
        << QByteArray("not a url") << QByteArray("http://x:1") << localAPI << localApp;
    QTest::newRow("api without host")
        << QByteArray("http://") << QByteArray() << localAPI << localApp;
    QTest::newRow("api with another scheme")
        << QByteArray("ftp://files.example") << QByteArray() << localAPI << localApp;
    QTest::newRow("bad app keeps the named one")
        << QByteArray("http://10.0.0.2:9000") << QByteArray("::nonsense::")
        << "http://10.0.0.2:9000" << localApp;
}

void TestEnv::apiOverride() {
    QFETCH(QByteArray, api);
    QFETCH(QByteArray, app);
    QFETCH(QString, expectedAPI);
    QFETCH(QString, expectedApp);
    setPreference("local");
    if (!api.isEmpty())
        qputenv("PARLOQUENT_API", api);
    if (!app.isEmpty())
        qputenv("PARLOQUENT_APP", app);
    const Env env = Env::current();
    QCOMPARE(env.name, Env::Name::local); // the name stays the preference's
    QCOMPARE(env.api, QUrl(expectedAPI));
    QCOMPARE(env.app, QUrl(expectedApp));
}

void TestEnv::readAfreshOnEveryCall() {
    QCOMPARE(Env::current().name, Env::Name::production);
    setPreference("e2e");
    QCOMPARE(Env::current().name, Env::Name::e2e);
    qputenv("PARLOQUENT_API", "http://127.0.0.1:1234");
    QCOMPARE(Env::current().api, QUrl("http://127.0.0.1:1234"));
    qunsetenv("PARLOQUENT_API");
    QCOMPARE(Env::current(), Env::named(Env::Name::e2e));
}

void TestEnv::dashboardResolvesAgainstTheWebApp() {
    const Env local = Env::named(Env::Name::local);
    QCOMPARE(local.dashboard("/developers"), QUrl("http://127.0.0.1:5176/developers"));
    QCOMPARE(local.dashboard("/transcriptions/t1/r/r2#s12"),
             QUrl("http://127.0.0.1:5176/transcriptions/t1/r/r2#s12"));
    QCOMPARE(local.dashboard("/connect?x=1").query(), QStringLiteral("x=1"));
}

QTEST_GUILESS_MAIN(TestEnv)
#include "tst_Env.moc"
