// The key store when no Secret Service answers: a bus without one, and a service that hangs.
// Reads are absent and writes false, promptly, never an error or a stall.
#include "Await.h"
#include "Keychain.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#undef signals
#include <gio/gio.h>
#define signals Q_SIGNALS

using namespace pq;
using namespace pq::test;
using namespace std::chrono_literals;

namespace {

// A session bus with no service files, so nothing is started on demand.
const char* bareBus =
    R"(<busconfig>
  <type>session</type>
  <listen>unix:tmpdir=/tmp</listen>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)";

} // namespace

class TestKeychainUnavailable : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void noServiceOnTheBus();
    void hungServiceTimesOut();

private:
    QTemporaryDir m_dir;
    QProcess m_bus;
    QString m_address;
    GMainContext* m_context = nullptr;
    GMainLoop* m_loop = nullptr;
    GThread* m_thread = nullptr;
};

void TestKeychainUnavailable::initTestCase() {
    QVERIFY(m_dir.isValid());
    QFile config(m_dir.filePath("bus.conf"));
    QVERIFY(config.open(QIODevice::WriteOnly));
    config.write(bareBus);
    config.close();
    m_bus.start("dbus-daemon",
                {"--config-file=" + config.fileName(), "--nofork", "--print-address=1"});
    QVERIFY(m_bus.waitForReadyRead(5000));
    m_address = QString::fromUtf8(m_bus.readLine()).trimmed();
    QVERIFY(!m_address.isEmpty());
    qputenv("DBUS_SESSION_BUS_ADDRESS", m_address.toUtf8());
}

void TestKeychainUnavailable::cleanupTestCase() {
    if (m_loop) {
        g_main_loop_quit(m_loop);
        g_thread_join(m_thread);
        g_main_loop_unref(m_loop);
        g_main_context_unref(m_context);
    }
    m_bus.kill();
    m_bus.waitForFinished();
}

void TestKeychainUnavailable::noServiceOnTheBus() {
    Keychain keychain(5s);
    QElapsedTimer timer;
    timer.start();
    const auto read = await(keychain.read(Env::Name::local));
    QVERIFY(read->value);
    QVERIFY(!read->value->has_value());
    const auto written = await(keychain.write("pq_key_nowhere", Env::Name::local));
    QVERIFY(written->value);
    QCOMPARE(*written->value, false);
    QVERIFY(await(keychain.remove(Env::Name::local))->value);
    QVERIFY2(timer.elapsed() < 2000, qPrintable(QString::number(timer.elapsed())));
}

void TestKeychainUnavailable::hungServiceTimesOut() {
    // Own "org.freedesktop.secrets" on the bus and never answer a call.
    m_context = g_main_context_new();
    m_loop = g_main_loop_new(m_context, FALSE);
    g_main_context_push_thread_default(m_context);
    GError* error = nullptr;
    GDBusConnection* connection = g_dbus_connection_new_for_address_sync(
        m_address.toUtf8().constData(),
        GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                             G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error);
    QVERIFY2(connection, error ? error->message : "no connection");
    // Swallow every message addressed to us: callers wait for a reply that never comes.
    g_dbus_connection_add_filter(
        connection,
        [](GDBusConnection*, GDBusMessage* message, gboolean incoming, gpointer) -> GDBusMessage* {
            if (incoming &&
                g_dbus_message_get_message_type(message) == G_DBUS_MESSAGE_TYPE_METHOD_CALL &&
                g_strcmp0(g_dbus_message_get_destination(message), "org.freedesktop.secrets") ==
                    0) {
                g_object_unref(message);
                return nullptr;
            }
            return message;
        },
        nullptr, nullptr);
    GVariant* owned = g_dbus_connection_call_sync(
        connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        "RequestName", g_variant_new("(su)", "org.freedesktop.secrets", 0u), nullptr,
        G_DBUS_CALL_FLAGS_NONE, 2000, nullptr, &error);
    QVERIFY2(owned, error ? error->message : "RequestName failed");
    g_variant_unref(owned);
    g_main_context_pop_thread_default(m_context);
    m_thread = g_thread_new(
        "hung-secrets",
        [](gpointer loop) -> gpointer {
            g_main_loop_run(static_cast<GMainLoop*>(loop));
            return nullptr;
        },
        m_loop);

    Keychain keychain(700ms);
    QElapsedTimer timer;
    timer.start();
    const auto read = await(keychain.read(Env::Name::production), 10s);
    QVERIFY(read->finished);
    QVERIFY(!read->value->has_value());
    const auto written = await(keychain.write("pq_key_x", Env::Name::production), 10s);
    QVERIFY(written->finished);
    QCOMPARE(*written->value, false);
    // Two calls, each given up after its time-out instead of D-Bus's 25 seconds.
    QVERIFY2(timer.elapsed() < 5000, qPrintable(QString::number(timer.elapsed())));
    g_object_unref(connection);
}

QTEST_GUILESS_MAIN(TestKeychainUnavailable)
#include "tst_KeychainUnavailable.moc"
