// The process list against the headless PulseAudio: players with their pid, playing flag and
// application, a paused stream, recording clients, our own client, and the matching rules.
#include "AppResolver.h"
#include "AudioProcesses.h"
#include "AudioTestSupport.h"
#include "Await.h"
#include "DesktopEntries.h"
#include "PulseAudioServer.h"

#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

using namespace pq;
using namespace pq::test;

namespace {

const AudioProcess* byPid(const std::vector<AudioProcess>& list, qint64 pid) {
    for (const auto& p : list)
        if (p.pid == pid)
            return &p;
    return nullptr;
}

AudioProcess record(const char* id, std::uint32_t object = 1) {
    AudioProcess p;
    p.object = object;
    p.pid = int(object) + 100;
    p.bundleID = QString::fromLatin1(id);
    return p;
}

} // namespace

class TestAudioProcesses : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void playersAppearWithPidPlayingAndApplication();
    void pausedStreamIsNotPlaying();
    void recordingClientsAndMonitors();
    void currentIsOurOwnClient();
    void listIsKeptCurrent();
    void unreachableServerListsNothing();
    void ofMatchesTheApplicationAndItsHelpers();

private:
    QTemporaryDir m_dir;
    QString m_tone;
    std::unique_ptr<PulseAudioServer> m_server;
    std::unique_ptr<DesktopEntries> m_entries;
    std::unique_ptr<AppResolver> m_resolver;
    std::unique_ptr<AudioProcesses> m_processes;

    // Waits until the list satisfies `ok`.
    template <class Check> bool waitForList(Check ok, int ms = 10000) {
        return QTest::qWaitFor([&] { return ok(m_processes->all()); }, ms);
    }
};

void TestAudioProcesses::initTestCase() {
    QString why;
    if (!serverAnswers(&why))
        QFAIL(qPrintable(why));
    QVERIFY(m_dir.isValid());
    // Our desktop entries only.
    const QString data = m_dir.filePath(QStringLiteral("data"));
    QDir().mkpath(data + "/applications");
    qputenv("XDG_DATA_HOME", data.toUtf8());
    qputenv("XDG_DATA_DIRS", m_dir.filePath(QStringLiteral("none")).toUtf8());
    QFile launched(data + "/applications/org.example.Launched.desktop");
    QVERIFY(launched.open(QIODevice::WriteOnly));
    launched.write("[Desktop Entry]\nType=Application\nName=Launched Player\nIcon=launched\n"
                   "Exec=launched-player\n");
    launched.close();
    QFile byExec(data + "/applications/org.example.Player.desktop");
    QVERIFY(byExec.open(QIODevice::WriteOnly));
    byExec.write("[Desktop Entry]\nType=Application\nName=Test Player\nIcon=player\n"
                 "Exec=paplay %f\n");
    byExec.close();

    m_tone = writeTone(m_dir.path(), 440, 20);
    QVERIFY(!m_tone.isEmpty());
    m_server = std::make_unique<PulseAudioServer>();
    m_entries = std::make_unique<DesktopEntries>();
    m_resolver = std::make_unique<AppResolver>(*m_entries);
    m_processes = std::make_unique<AudioProcesses>(*m_server, *m_resolver);
    const auto connected = await(m_server->connect());
    QVERIFY(connected->value);
    QCOMPARE(*connected->value, 0);
}

void TestAudioProcesses::cleanupTestCase() {
    m_processes.reset();
    m_server.reset();
}

void TestAudioProcesses::playersAppearWithPidPlayingAndApplication() {
    Player launched, plain;
    QVERIFY(launched.start(m_tone, QStringLiteral("LaunchedPlayer"), {},
                           {QStringLiteral("GIO_LAUNCHED_DESKTOP_FILE=/somewhere/"
                                           "org.example.Launched.desktop")}));
    QVERIFY(plain.start(m_tone, QStringLiteral("PlainPlayer")));
    QVERIFY(waitForList([&](const auto& list) {
        const auto* a = byPid(list, launched.pid());
        const auto* b = byPid(list, plain.pid());
        return a && b && a->playing && b->playing;
    }));
    const auto list = m_processes->all();
    const auto* a = byPid(list, launched.pid());
    const auto* b = byPid(list, plain.pid());
    QCOMPARE(a->bundleID, QStringLiteral("org.example.Launched"));
    QCOMPARE(b->bundleID, QStringLiteral("org.example.Player")); // by its Exec program
    QVERIFY(!a->recording && !b->recording);
    QVERIFY(a->object != b->object);
    const ServerState state = m_server->state();
    QCOMPARE(state.client(a->object)->name, QStringLiteral("LaunchedPlayer"));
    QCOMPARE(state.client(b->object)->name, QStringLiteral("PlainPlayer"));

    const auto appA = m_processes->app(*a);
    QVERIFY(appA);
    QCOMPARE(appA->id, QStringLiteral("org.example.Launched"));
    QCOMPARE(appA->name, QStringLiteral("Launched Player"));
    QCOMPARE(appA->icon, QStringLiteral("launched"));
    QCOMPARE(appA->pid, int(launched.pid()));
    const auto appB = m_processes->app(*b);
    QVERIFY(appB);
    QCOMPARE(appB->name, QStringLiteral("Test Player"));

    // When a player ends, its record goes.
    launched.stop();
    QVERIFY(waitForList([&](const auto& l) { return !byPid(l, launched.pid()); }));
    QVERIFY(byPid(m_processes->all(), plain.pid()));
}

void TestAudioProcesses::pausedStreamIsNotPlaying() {
    QProcess helper;
    auto end = qScopeGuard([&] {
        helper.kill();
        helper.waitForFinished();
    });
    helper.start(QStringLiteral(PQ_AUDIO_HELPER),
                 {QStringLiteral("--client-name"), QStringLiteral("PausedPlayer")});
    QVERIFY(helper.waitForStarted());
    QVERIFY(helper.waitForReadyRead(10000));
    QCOMPARE(helper.readLine().trimmed(), QByteArray("ready"));
    const auto hasCorkedStream = [&](std::uint32_t client) {
        const ServerState state = m_server->state();
        for (const auto& s : state.playbacks)
            if (s.client == client && s.corked)
                return true;
        return false;
    };
    QVERIFY(waitForList([&](const auto& l) {
        const auto* p = byPid(l, helper.processId());
        return p && hasCorkedStream(p->object);
    }));
    const auto list = m_processes->all();
    const auto* paused = byPid(list, helper.processId());
    QVERIFY(!paused->playing);
    QVERIFY(!paused->recording);
}

void TestAudioProcesses::recordingClientsAndMonitors() {
    QProcess mic, monitor;
    mic.start(QStringLiteral("parec"), {QStringLiteral("--client-name=MicRecorder"),
                                        QStringLiteral("-d"), QStringLiteral("virt_mic")});
    monitor.start(QStringLiteral("parec"),
                  {QStringLiteral("--client-name=MonitorRecorder"), QStringLiteral("-d"),
                   QStringLiteral("virt_out.monitor")});
    QVERIFY(mic.waitForStarted() && monitor.waitForStarted());
    QVERIFY(waitForList([&](const auto& l) {
        const auto* m = byPid(l, mic.processId());
        return m && m->recording && byPid(l, monitor.processId());
    }));
    const auto list = m_processes->all();
    // Recording the output of a sink is not holding a microphone.
    QVERIFY(!byPid(list, monitor.processId())->recording);
    QVERIFY(!byPid(list, mic.processId())->playing);
    // parec's own program name (no desktop entry matches it).
    QCOMPARE(byPid(list, mic.processId())->bundleID, QStringLiteral("pacat"));
    mic.kill();
    monitor.kill();
    mic.waitForFinished();
    monitor.waitForFinished();
}

void TestAudioProcesses::currentIsOurOwnClient() {
    const auto own = m_processes->current();
    QVERIFY(own);
    const auto list = m_processes->all();
    const auto* self = byPid(list, ::getpid());
    QVERIFY(self);
    QCOMPARE(self->object, *own);
    // We said who we are.
    const ServerState state = m_server->state();
    const auto* client = state.client(*own);
    QCOMPARE(client->name, QStringLiteral("Parloquent"));
    QCOMPARE(client->appId, QStringLiteral("com.parloquent.Parloquent"));
    QCOMPARE(self->bundleID, QStringLiteral("com.parloquent.Parloquent"));
    const QString props = pactl({QStringLiteral("list"), QStringLiteral("clients")});
    QVERIFY(
        props.contains(QStringLiteral("application.icon_name = \"com.parloquent.Parloquent\"")));
}

void TestAudioProcesses::listIsKeptCurrent() {
    // No polling of the server: the copy follows its events.
    Player player;
    QVERIFY(player.start(m_tone, QStringLiteral("Newcomer")));
    QVERIFY(waitForList([&](const auto& l) { return byPid(l, player.pid()) != nullptr; }));
    const qint64 pid = player.pid();
    player.stop();
    QVERIFY(waitForList([&](const auto& l) { return byPid(l, pid) == nullptr; }));
}

void TestAudioProcesses::unreachableServerListsNothing() {
    PulseAudioServer nowhere(QStringLiteral("unix:") + m_dir.filePath(QStringLiteral("no-socket")));
    const auto connected = await(nowhere.connect());
    QVERIFY(connected->value);
    QVERIFY(*connected->value != 0);
    AudioProcesses processes(nowhere, *m_resolver);
    QVERIFY(processes.all().empty());
    QVERIFY(!processes.current());
}

void TestAudioProcesses::ofMatchesTheApplicationAndItsHelpers() {
    const std::vector<AudioProcess> list{
        record("com.google.Chrome", 1),
        record("com.google.Chrome.helper", 2),
        record("com.google.ChromeX", 3),
        record("org.gnome.Epiphany", 4),
        record("WebKitWebProcess", 5),
        record("WebKitNetworkProcess", 6),
        record("", 7),
        record("com.google", 8),
    };
    const auto objects = [](const std::vector<AudioProcess>& l) {
        std::vector<std::uint32_t> out;
        for (const auto& p : l)
            out.push_back(p.object);
        return out;
    };
    QCOMPARE(objects(AudioProcesses::of(QStringLiteral("com.google.Chrome"), list)),
             (std::vector<std::uint32_t>{1, 2}));
    QCOMPARE(objects(AudioProcesses::of(QStringLiteral("org.gnome.Epiphany"), list)),
             (std::vector<std::uint32_t>{4, 5, 6}));
    QCOMPARE(objects(AudioProcesses::of(QStringLiteral("com.google"), list)),
             (std::vector<std::uint32_t>{1, 2, 3, 8}));
    QVERIFY(AudioProcesses::of(QString(), list).empty());
    QVERIFY(AudioProcesses::of(QStringLiteral("org.example.None"), list).empty());
}

QTEST_GUILESS_MAIN(TestAudioProcesses)
#include "tst_AudioProcesses.moc"
