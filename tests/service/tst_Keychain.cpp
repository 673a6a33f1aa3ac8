// The key store against the real Secret Service (gnome-keyring on the private session bus that
// the test command starts). Items are inspected with secret-tool, independently of our code.
#include "Await.h"
#include "Keychain.h"

#include <QProcess>
#include <QTest>

using namespace pq;
using namespace pq::test;

namespace {

// The items of our service for `account`, as secret-tool lists them.
QList<QMap<QString, QString>> items(const QString& account) {
    QProcess tool;
    tool.start("secret-tool", {"search", "--all", "--unlock", "service",
                               "com.parloquent.linux.api-key", "account", account});
    tool.waitForFinished(5000);
    QList<QMap<QString, QString>> out;
    const QString text =
        QString::fromUtf8(tool.readAllStandardOutput() + tool.readAllStandardError());
    for (const QString& line : text.split('\n')) {
        if (line.startsWith('['))
            out.append(QMap<QString, QString>());
        const qsizetype eq = line.indexOf(" = ");
        if (eq > 0 && !out.isEmpty())
            out.last().insert(line.left(eq).trimmed(), line.mid(eq + 3));
    }
    return out;
}

std::optional<QString> readKey(Keychain& k, Env::Name env) {
    const auto out = await(k.read(env));
    if (!out->finished || !out->value)
        qFatal("read did not finish");
    return *out->value;
}

bool writeKey(Keychain& k, const QString& key, Env::Name env) {
    const auto out = await(k.write(key, env));
    return out->value && *out->value;
}

void removeKey(Keychain& k, Env::Name env) {
    await(k.remove(env));
}

} // namespace

class TestKeychain : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void missingReadsAsAbsent();
    void writeTwiceLeavesOneItem();
    void environmentsAreIndependent();
    void emptyKeyRoundTrips();
    void itemCarriesSchemaLabelAndAttributes();
    void foreignNonUtf8SecretReadsAsAbsent();
    void removeMissingIsHarmless();

private:
    Keychain m_keychain;
};

void TestKeychain::initTestCase() {
    QVERIFY2(qEnvironmentVariableIsSet("DBUS_SESSION_BUS_ADDRESS"),
             "needs the private session bus with gnome-keyring that scripts/test starts");
}

void TestKeychain::init() {
    for (Env::Name env : Env::allNames())
        removeKey(m_keychain, env);
}

void TestKeychain::missingReadsAsAbsent() {
    const auto key = readKey(m_keychain, Env::Name::local);
    QVERIFY(!key.has_value());
}

void TestKeychain::writeTwiceLeavesOneItem() {
    QVERIFY(writeKey(m_keychain, "pq_key_first", Env::Name::local));
    QVERIFY(writeKey(m_keychain, "pq_key_second", Env::Name::local));
    QCOMPARE(readKey(m_keychain, Env::Name::local), QStringLiteral("pq_key_second"));
    const auto found = items("local");
    QCOMPARE(found.size(), 1);
    QCOMPARE(found[0].value("secret"), QStringLiteral("pq_key_second"));
}

void TestKeychain::environmentsAreIndependent() {
    QVERIFY(writeKey(m_keychain, "pq_key_prod", Env::Name::production));
    QVERIFY(writeKey(m_keychain, "pq_key_local", Env::Name::local));
    removeKey(m_keychain, Env::Name::production);
    QVERIFY(!readKey(m_keychain, Env::Name::production));
    QCOMPARE(readKey(m_keychain, Env::Name::local), QStringLiteral("pq_key_local"));
    QVERIFY(!readKey(m_keychain, Env::Name::e2e));
}

void TestKeychain::emptyKeyRoundTrips() {
    QVERIFY(writeKey(m_keychain, QString(), Env::Name::e2e));
    const auto key = readKey(m_keychain, Env::Name::e2e);
    QVERIFY(key.has_value());
    QCOMPARE(*key, QString());
    // Non-ASCII text survives as UTF-8.
    QVERIFY(writeKey(m_keychain, QStringLiteral("pq_key_ünï😀"), Env::Name::e2e));
    QCOMPARE(readKey(m_keychain, Env::Name::e2e), QStringLiteral("pq_key_ünï😀"));
}

void TestKeychain::itemCarriesSchemaLabelAndAttributes() {
    QVERIFY(writeKey(m_keychain, "pq_key_attrs", Env::Name::production));
    const auto found = items("production");
    QCOMPARE(found.size(), 1);
    QCOMPARE(found[0].value("label"), QStringLiteral("Parloquent API key"));
    QCOMPARE(found[0].value("attribute.service"), QStringLiteral("com.parloquent.linux.api-key"));
    QCOMPARE(found[0].value("attribute.account"), QStringLiteral("production"));
    QCOMPARE(found[0].value("schema"), QStringLiteral("com.parloquent.Parloquent.ApiKey"));
}

void TestKeychain::foreignNonUtf8SecretReadsAsAbsent() {
    QProcess tool;
    tool.start("secret-tool",
               {"store", "--label=odd", "xdg:schema", "com.parloquent.Parloquent.ApiKey", "service",
                "com.parloquent.linux.api-key", "account", "e2e"});
    QVERIFY(tool.waitForStarted());
    tool.write("\xff\xfe\xfd");
    tool.closeWriteChannel();
    QVERIFY(tool.waitForFinished(5000));
    QCOMPARE(tool.exitCode(), 0);
    QCOMPARE(items("e2e").size(), 1);
    QVERIFY(!readKey(m_keychain, Env::Name::e2e));
}

void TestKeychain::removeMissingIsHarmless() {
    removeKey(m_keychain, Env::Name::local);
    removeKey(m_keychain, Env::Name::local);
    QVERIFY(items("local").isEmpty());
    QVERIFY(writeKey(m_keychain, "pq_key_after", Env::Name::local));
    QCOMPARE(readKey(m_keychain, Env::Name::local), QStringLiteral("pq_key_after"));
}

QTEST_GUILESS_MAIN(TestKeychain)
#include "tst_Keychain.moc"
