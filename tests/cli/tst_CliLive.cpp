// parloquent-cli record, captions and apps end to end: a private local service that recognises
// only a grammar of known sentences, the headless PulseAudio, espeak-ng speech played by an
// application (pacat under a client name and application id) or into the virtual microphone,
// and the command line as a user runs it, stopped with Ctrl-C.
#include "CliProcess.h"
#include "ServerProcess.h"
#include "SpeechPlayer.h"
#include "TestClient.h"

#include <QJsonArray>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

using namespace pq::test;

namespace {

const QString openWindow = QStringLiteral("Please open the window.");
const QString thankYou = QStringLiteral("Thank you very much.");
const QString station = QStringLiteral("Where is the nearest station?");
const QString live = QStringLiteral("Press Ctrl-C to stop.");

bool pulseAnswers() {
    QProcess pactl;
    pactl.start(QStringLiteral("pactl"), {QStringLiteral("info")});
    return pactl.waitForFinished(5000) && pactl.exitCode() == 0;
}

} // namespace

class TestCliLive : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void appsListsWhatPlays();
    void recordAnApplication();
    void captionsStoreNothing();
    void recordTheMicrophone();
    void applicationAndMicrophoneTogether();
    void meetingAppAsksForTheSummary();
    void applicationThatIsNotThere();
    void takenOverByAnotherDevice();
    void serviceStopsDuringTheRun();
    void maximumLength();
    void soundServerUnreachable();
    void refusedBeforeStarting_data();
    void refusedBeforeStarting();

private:
    CliProcess cli(const ServerProcess& server) const {
        return CliProcess(server.base().toString(), server.key());
    }
    QJsonArray transcriptions(const ServerProcess& server);
    // Segment texts of the newest transcription's recording.
    QStringList newestTranscript(const ServerProcess& server);
    bool waitForSegments(const ServerProcess& server, int count, int timeoutMs = 30'000);
    bool startPlayer(SpeechPlayer& player, const QString& appId);
    QByteArray speech(const QString& text, double pad = 1.0);

    std::unique_ptr<ServerProcess> m_server;
    QTemporaryDir m_dir;
};

void TestCliLive::initTestCase() {
    QVERIFY2(pulseAnswers(), "needs the headless PulseAudio that scripts/test starts");
    m_server = std::make_unique<ServerProcess>(ServerProcess::withGrammar());
    QVERIFY2(m_server->start(), qPrintable(m_server->error()));
    QVERIFY2(m_server->waitForRecognizer(), qPrintable(m_server->error()));
}

void TestCliLive::cleanupTestCase() {
    if (m_server)
        QCOMPARE(m_server->stop(), 0);
}

QJsonArray TestCliLive::transcriptions(const ServerProcess& server) {
    TestClient api(server.base(), server.key());
    return api.get(QStringLiteral("/v1/transcriptions?limit=100"))
        .json()
        .value(QStringLiteral("transcriptions"))
        .toArray();
}

QStringList TestCliLive::newestTranscript(const ServerProcess& server) {
    const QJsonArray list = transcriptions(server);
    if (list.isEmpty())
        return {};
    const QJsonObject newest = list.first().toObject();
    QString recording = newest.value("currentRecording").toObject().value("recordingId").toString();
    if (recording.isEmpty())
        recording = newest.value("lastRecording").toObject().value("recordingId").toString();
    TestClient api(server.base(), server.key());
    QStringList texts;
    const QJsonArray segments =
        api.get(QStringLiteral("/v1/recordings/%1/transcript").arg(recording))
            .json()
            .value("segments")
            .toArray();
    for (const QJsonValue& s : segments)
        texts.append(s.toObject().value("text").toString());
    return texts;
}

bool TestCliLive::waitForSegments(const ServerProcess& server, int count, int timeoutMs) {
    return QTest::qWaitFor(
        [&] {
            QTest::qWait(200);
            return newestTranscript(server).size() >= count;
        },
        timeoutMs);
}

bool TestCliLive::startPlayer(SpeechPlayer& player, const QString& appId) {
    if (!player.start(appId.section(QLatin1Char('.'), -1), appId))
        return false;
    // Listed once the sound server knows its stream.
    return QTest::qWaitFor(
        [&] {
            CliProcess apps = cli(*m_server);
            return apps.run({QStringLiteral("apps")}, 10'000) && apps.out().contains(appId);
        },
        10'000);
}

QByteArray TestCliLive::speech(const QString& text, double pad) {
    QString error;
    const QByteArray samples = SpeechPlayer::speech(text, pad, &error);
    if (samples.isEmpty())
        qWarning() << error;
    return samples;
}

void TestCliLive::appsListsWhatPlays() {
    SpeechPlayer first;
    SpeechPlayer second;
    QVERIFY(startPlayer(first, QStringLiteral("org.example.First")));
    QVERIFY(startPlayer(second, QStringLiteral("org.example.Second")));
    CliProcess apps = cli(*m_server);
    QVERIFY(apps.run({QStringLiteral("apps")}));
    QCOMPARE(apps.exitCode(), 0);
    const QStringList lines = apps.out().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QStringList ids;
    for (const QString& line : lines)
        ids.append(line.section(QLatin1Char(' '), 0, 0));
    QVERIFY2(ids.contains("org.example.First") && ids.contains("org.example.Second"),
             qPrintable(apps.out()));
    QCOMPARE(ids.count("org.example.First"), 1);
    QVERIFY(!apps.out().contains("parloquent")); // not itself
    first.stop();
    QVERIFY(QTest::qWaitFor(
        [&] {
            CliProcess again = cli(*m_server);
            return again.run({QStringLiteral("apps")}) &&
                   !again.out().contains("org.example.First");
        },
        10'000));
}

void TestCliLive::recordAnApplication() {
    SpeechPlayer player;
    QVERIFY(startPlayer(player, QStringLiteral("org.example.Speaker")));
    const qsizetype before = transcriptions(*m_server).size();
    CliProcess record = cli(*m_server);
    QVERIFY(record.start({QStringLiteral("record"), QStringLiteral("--app"),
                          QStringLiteral("org.example.Speaker")}));
    QVERIFY2(record.waitForError(live, 30'000), qPrintable(record.err()));
    player.play(speech(openWindow) + speech(thankYou));
    QVERIFY2(waitForSegments(*m_server, 2), qPrintable(newestTranscript(*m_server).join('|')));
    record.interrupt();
    QVERIFY(record.waitForExit(30'000));
    QCOMPARE(record.exitCode(), 0);
    // Piped, the line is printed once it is done: here at the end.
    QCOMPARE(record.out(), openWindow + " " + thankYou + "\n");
    QVERIFY(record.err().contains(QStringLiteral("Stopping…")));

    const QJsonArray list = transcriptions(*m_server);
    QCOMPARE(list.size(), before + 1);
    const QJsonObject stored = list.first().toObject();
    QVERIFY2(stored.value("name").toString().startsWith(
                 QStringLiteral("Recording from org.example.Speaker · ")),
             qPrintable(stored.value("name").toString()));
    QCOMPARE(stored.value("lastRecording").toObject().value("state").toString(),
             QStringLiteral("ready"));
    QCOMPARE(newestTranscript(*m_server), (QStringList{openWindow, thankYou}));

    // A name of the user's.
    CliProcess named = cli(*m_server);
    QVERIFY(named.start({QStringLiteral("record"), QStringLiteral("--app"),
                         QStringLiteral("org.example.Speaker"), QStringLiteral("--name"),
                         QStringLiteral("Standup notes")}));
    QVERIFY(named.waitForError(live, 30'000));
    named.interrupt();
    QVERIFY(named.waitForExit(30'000));
    QCOMPARE(named.exitCode(), 0);
    QCOMPARE(transcriptions(*m_server).first().toObject().value("name").toString(),
             QStringLiteral("Standup notes"));
}

void TestCliLive::captionsStoreNothing() {
    SpeechPlayer player;
    QVERIFY(startPlayer(player, QStringLiteral("org.example.Captioned")));
    const qsizetype before = transcriptions(*m_server).size();
    CliProcess captions = cli(*m_server);
    QVERIFY(captions.start({QStringLiteral("captions"), QStringLiteral("--app"),
                            QStringLiteral("org.example.Captioned"), QStringLiteral("--reading"),
                            QStringLiteral("es")}));
    QVERIFY2(captions.waitForError(live, 30'000), qPrintable(captions.err()));
    player.play(speech(station, 2.0));
    QVERIFY(QTest::qWaitFor([&] { return player.idle(); }, 20'000));
    // The run ends with "eof": the service ends it once the last words are out.
    captions.interrupt();
    QVERIFY(captions.waitForExit(30'000));
    QCOMPARE(captions.exitCode(), 0);
    QCOMPARE(transcriptions(*m_server).size(), before);
    const QStringList lines = captions.out().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QVERIFY2(lines.value(0) == station, qPrintable(captions.out() + captions.err()));
    // The translation follows its line, indented.
    QCOMPARE(lines.size(), 2);
    QVERIFY2(lines[1].startsWith(QStringLiteral("    ")) && lines[1].trimmed().size() > 5,
             qPrintable(lines[1]));
    QVERIFY(lines[1].trimmed() != station);
}

void TestCliLive::recordTheMicrophone() {
    const qsizetype before = transcriptions(*m_server).size();
    CliProcess record = cli(*m_server);
    QVERIFY(record.start({QStringLiteral("record"), QStringLiteral("--mic")}));
    QVERIFY2(record.waitForError(live, 30'000), qPrintable(record.err()));
    const QString wav = m_dir.filePath(QStringLiteral("thanks.wav"));
    QVERIFY(SpeechPlayer::writeWav(thankYou, wav, nullptr));
    QProcess microphone;
    microphone.start(QStringLiteral("paplay"),
                     {QStringLiteral("-d"), QStringLiteral("mic_feed"), wav});
    QVERIFY(waitForSegments(*m_server, 1));
    microphone.waitForFinished(10'000);
    record.interrupt();
    QVERIFY(record.waitForExit(30'000));
    QCOMPARE(record.exitCode(), 0);
    QCOMPARE(record.out(), thankYou + "\n");
    const QJsonArray list = transcriptions(*m_server);
    QCOMPARE(list.size(), before + 1);
    QVERIFY(list.first().toObject().value("name").toString().startsWith(
        QStringLiteral("Voice note · ")));
}

void TestCliLive::applicationAndMicrophoneTogether() {
    SpeechPlayer player;
    QVERIFY(startPlayer(player, QStringLiteral("org.example.Caller")));
    CliProcess record = cli(*m_server);
    QVERIFY(record.start({QStringLiteral("record"), QStringLiteral("--app"),
                          QStringLiteral("org.example.Caller"), QStringLiteral("--with-mic")}));
    QVERIFY2(record.waitForError(live, 30'000), qPrintable(record.err()));
    // The other side of the call, then the user.
    player.play(speech(station));
    QVERIFY(waitForSegments(*m_server, 1));
    const QString wav = m_dir.filePath(QStringLiteral("window.wav"));
    QVERIFY(SpeechPlayer::writeWav(openWindow, wav, nullptr));
    QProcess microphone;
    microphone.start(QStringLiteral("paplay"),
                     {QStringLiteral("-d"), QStringLiteral("mic_feed"), wav});
    QVERIFY2(waitForSegments(*m_server, 2), qPrintable(newestTranscript(*m_server).join('|')));
    microphone.waitForFinished(10'000);
    record.interrupt();
    QVERIFY(record.waitForExit(30'000));
    QCOMPARE(record.exitCode(), 0);
    QCOMPARE(newestTranscript(*m_server), (QStringList{station, openWindow}));
    QCOMPARE(record.out(), station + " " + openWindow + "\n");
}

void TestCliLive::meetingAppAsksForTheSummary() {
    SpeechPlayer player;
    QVERIFY(startPlayer(player, QStringLiteral("us.zoom.Zoom")));
    CliProcess record = cli(*m_server);
    QVERIFY(record.start(
        {QStringLiteral("record"), QStringLiteral("--app"), QStringLiteral("us.zoom.Zoom")}));
    QVERIFY2(record.waitForError(live, 30'000), qPrintable(record.err()));
    player.play(speech(openWindow));
    QVERIFY(waitForSegments(*m_server, 1));
    record.interrupt();
    QVERIFY(record.waitForExit(90'000));
    QCOMPARE(record.exitCode(), 0);
    QVERIFY(record.err().contains(QStringLiteral("Waiting for the meeting summary")));
    QVERIFY(record.out().startsWith(openWindow + "\n"));
    QVERIFY(transcriptions(*m_server).first().toObject().value("name").toString().startsWith(
        QStringLiteral("Zoom call · ")));
}

void TestCliLive::applicationThatIsNotThere() {
    const qsizetype before = transcriptions(*m_server).size();
    CliProcess record = cli(*m_server);
    QVERIFY(record.run(
        {QStringLiteral("record"), QStringLiteral("--app"), QStringLiteral("org.example.Nobody")}));
    QCOMPARE(record.exitCode(), 1);
    QCOMPARE(record.err().trimmed(),
             QStringLiteral("That app is not playing anything right now. Play something in it, "
                            "then try again."));
    QCOMPARE(record.out(), QString());
    QCOMPARE(transcriptions(*m_server).size(), before);
}

void TestCliLive::takenOverByAnotherDevice() {
    // The service ends the uplink during the run: the recording moved to another device.
    CliProcess record = cli(*m_server);
    QVERIFY(record.start({QStringLiteral("record"), QStringLiteral("--mic")}));
    QVERIFY(record.waitForError(live, 30'000));
    const QString transcription =
        transcriptions(*m_server).first().toObject().value("id").toString();
    TestClient api(m_server->base(), m_server->key());
    const Answer taken =
        api.post(QStringLiteral("/v1/transcriptions/%1/recordings").arg(transcription),
                 QJsonObject{{"deviceId", "linux-other"}, {"takeover", true}});
    QCOMPARE(taken.status, 201);
    QVERIFY(record.waitForExit(30'000));
    QCOMPARE(record.exitCode(), 1);
    QVERIFY2(record.err().trimmed().endsWith(QStringLiteral("The connection to Parloquent ended.")),
             qPrintable(record.err()));
}

void TestCliLive::serviceStopsDuringTheRun() {
    ServerProcess server(ServerProcess::withGrammar());
    QVERIFY2(server.start(), qPrintable(server.error()));
    QVERIFY(server.waitForRecognizer());
    CliProcess record = cli(server);
    QVERIFY(record.start({QStringLiteral("record"), QStringLiteral("--mic")}));
    QVERIFY(record.waitForError(live, 30'000));
    // Shut down: it closes the uplink without a reason and answers no more requests.
    QCOMPARE(server.stop(), 0);
    // The stop cannot reach the service either; the run ends with what ended it.
    QVERIFY(record.waitForExit(30'000));
    QCOMPARE(record.exitCode(), 1);
    QVERIFY2(record.err().trimmed().endsWith(QStringLiteral("The connection to Parloquent ended.")),
             qPrintable(record.err()));
}

void TestCliLive::maximumLength() {
    ServerProcess server(
        ServerProcess::withGrammar({QStringLiteral("--max-duration"), QStringLiteral("3")}));
    QVERIFY2(server.start(), qPrintable(server.error()));
    QVERIFY(server.waitForRecognizer());
    CliProcess record = cli(server);
    QVERIFY(record.start({QStringLiteral("record"), QStringLiteral("--mic")}));
    QVERIFY(record.waitForError(live, 30'000));
    QVERIFY(record.waitForExit(30'000)); // no Ctrl-C
    QCOMPARE(record.exitCode(), 1);
    QVERIFY2(record.err().trimmed().endsWith(
                 QStringLiteral("The recording reached its maximum length.")),
             qPrintable(record.err()));
    const QJsonObject stored = transcriptions(server).first().toObject();
    QCOMPARE(stored.value("lastRecording").toObject().value("durationS").toDouble(), 3.0);
    QCOMPARE(server.stop(), 0);
}

void TestCliLive::soundServerUnreachable() {
    const QString tapError =
        QStringLiteral("Parloquent could not record your computer’s audio. Check that the sound "
                       "server (PipeWire or PulseAudio) is running, then try again.");
    const qsizetype before = transcriptions(*m_server).size();
    for (const QStringList& arguments :
         {QStringList{"apps"}, QStringList{"record", "--app", "org.example.Speaker"},
          QStringList{"record", "--mac"},
          QStringList{"captions", "--app", "org.example.Speaker"}}) {
        CliProcess run = cli(*m_server);
        run.environment().insert("PULSE_SERVER", "unix:" + m_dir.filePath("no-pulse"));
        QVERIFY(run.run(arguments));
        QCOMPARE(run.exitCode(), 1);
        QCOMPARE(run.err().trimmed(), tapError);
    }
    QCOMPARE(transcriptions(*m_server).size(), before);
}

void TestCliLive::refusedBeforeStarting_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("withKey");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("message"); // the start of standard error
    QTest::newRow("no source") << QStringList{"record"} << true << 2
                               << "Choose one thing to record: --app ID, --mac or --mic.";
    QTest::newRow("two sources") << QStringList{"record", "--mac", "--mic"} << true << 2
                                 << "Choose one thing to record: --app ID, --mac or --mic.";
    QTest::newRow("captions without app")
        << QStringList{"captions"} << true << 2 << "Choose the application: --app ID.";
    QTest::newRow("captions of the microphone")
        << QStringList{"captions", "--mic"} << true << 2 << "Unknown option 'mic'.";
    QTest::newRow("empty name") << QStringList{"record", "--mic", "--name", " "} << true << 2
                                << "--name needs a value.";
    QTest::newRow("stray argument")
        << QStringList{"record", "--mic", "now"} << true << 2 << "Unexpected argument “now”.";
    QTest::newRow("not signed in")
        << QStringList{"record", "--mic"} << false << 1 << "You are not signed in.";
}

void TestCliLive::refusedBeforeStarting() {
    QFETCH(QStringList, arguments);
    QFETCH(bool, withKey);
    QFETCH(int, status);
    QFETCH(QString, message);
    const qsizetype before = transcriptions(*m_server).size();
    CliProcess run = cli(*m_server);
    if (!withKey)
        run.environment().remove(QStringLiteral("PARLOQUENT_KEY"));
    QVERIFY(run.run(arguments));
    QCOMPARE(run.exitCode(), status);
    QVERIFY2(run.err().startsWith(message), qPrintable(run.err()));
    QCOMPARE(transcriptions(*m_server).size(), before);
}

QTEST_GUILESS_MAIN(TestCliLive)
#include "tst_CliLive.moc"
