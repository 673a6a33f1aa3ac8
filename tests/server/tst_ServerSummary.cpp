// Summaries on a running server: asked for while a long file is still being transcribed, a
// summary waits ("pending") and comes back "ready" with a title made of its key phrases, and
// the transcription names its recording by that title; too little text is "unavailable"; a live
// recording's summary waits for its end.
#include "ServerProcess.h"
#include "SpeechAudio.h"
#include "TestClient.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QTest>
#include <QUuid>

using namespace pq::test;

namespace {

const QStringList kGrammarSentences = {QStringLiteral("Please open the window."),
                                       QStringLiteral("We will meet again tomorrow."),
                                       QStringLiteral("Thank you very much."),
                                       QStringLiteral("Where is the nearest station?"),
                                       QStringLiteral("The meeting starts in ten minutes."),
                                       QStringLiteral("My sister likes green apples."),
                                       QStringLiteral("The train leaves at nine.")};

QByteArray uploadBody(const QByteArray& boundary, const QByteArray& wav) {
    return "--" + boundary +
           "\r\nContent-Disposition: form-data; name=\"options\"\r\nContent-Type: "
           "application/"
           "json\r\n\r\n{\"name\":\"Summary\",\"settings\":{\"spokenLanguage\":null}}\r\n--" +
           boundary +
           "\r\nContent-Disposition: form-data; name=\"file\"; "
           "filename=\"talk.wav\"\r\nContent-Type: "
           "application/octet-stream\r\n\r\n" +
           wav + "\r\n--" + boundary + "--\r\n";
}

QJsonObject upload(TestClient& api, const QByteArray& wav) {
    const QByteArray b =
        "pq-" + QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper().toLatin1();
    return api
        .send("POST", QStringLiteral("/v1/transcriptions"), uploadBody(b, wav), true,
              "multipart/form-data; boundary=" + b)
        .json();
}

QJsonObject waitForSummary(TestClient& api, const QString& recording, int timeoutMs = 120'000) {
    QElapsedTimer clock;
    clock.start();
    QJsonObject s;
    while (clock.elapsed() < timeoutMs) {
        s = api.get(QStringLiteral("/v1/recordings/%1/summary").arg(recording)).json();
        if (s.value(QStringLiteral("state")).toString() != QLatin1String("pending"))
            return s;
        QTest::qWait(100);
    }
    return s;
}

} // namespace

class TestServerSummary : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void longTranscriptIsSummarised();
    void littleTextIsUnavailable();
    void liveRecordingWaitsForItsEnd();

private:
    std::unique_ptr<ServerProcess> m_server;
    std::unique_ptr<TestClient> m_api;
};

void TestServerSummary::initTestCase() {
    m_server = std::make_unique<ServerProcess>(QStringList{
        QStringLiteral("--grammar"), QStringLiteral(PQ_TEST_DATA "/server/sentences.jsgf")});
    QVERIFY2(m_server->start(), qPrintable(m_server->error()));
    QVERIFY2(m_server->waitForRecognizer(), qPrintable(m_server->error()));
    m_api = std::make_unique<TestClient>(m_server->base(), m_server->key());
}

void TestServerSummary::cleanupTestCase() {
    if (m_server)
        QCOMPARE(m_server->stop(), 0);
}

void TestServerSummary::longTranscriptIsSummarised() {
    QString error;
    // Every sentence of the grammar twice, the meeting ones three times.
    QStringList spoken = kGrammarSentences + kGrammarSentences;
    spoken << QStringLiteral("The meeting starts in ten minutes.")
           << QStringLiteral("We will meet again tomorrow.");
    const QByteArray wav = SpeechAudio::wavFile(spoken, 0.8, &error);
    QVERIFY2(!wav.isEmpty(), qPrintable(error));
    const QJsonObject t = upload(*m_api, wav);
    const QString id = t.value(QStringLiteral("id")).toString();
    const QString recording =
        t.value(QStringLiteral("job")).toObject().value(QStringLiteral("recordingId")).toString();
    QVERIFY(!recording.isEmpty());
    QCOMPARE(m_api->get(QStringLiteral("/v1/recordings/%1/summary").arg(recording)).json(),
             (QJsonObject{{QStringLiteral("state"), QStringLiteral("not_requested")}}));

    // Asked for at once: the file is still being transcribed.
    const Answer asked =
        m_api->send("POST", QStringLiteral("/v1/recordings/%1/summarize").arg(recording));
    QCOMPARE(asked.status, 200);
    QCOMPARE(asked.json(), (QJsonObject{{QStringLiteral("state"), QStringLiteral("pending")}}));

    const QJsonObject s = waitForSummary(*m_api, recording);
    QCOMPARE(s.value(QStringLiteral("state")).toString(), QStringLiteral("ready"));
    QCOMPARE(m_api->get(QStringLiteral("/v1/transcriptions/") + id)
                 .json()
                 .value(QStringLiteral("job"))
                 .toObject()
                 .value(QStringLiteral("state"))
                 .toString(),
             QStringLiteral("done"));
    const QString summary = s.value(QStringLiteral("summary")).toString();
    const QString title = s.value(QStringLiteral("title")).toString();
    qInfo("title \"%s\"; summary \"%s\"", qPrintable(title), qPrintable(summary));
    QVERIFY(!title.isEmpty());
    QVERIFY(title[0].isUpper());
    // The summary is made of the transcript's own sentences.
    QStringList transcript;
    for (const auto& v : m_api->get(QStringLiteral("/v1/recordings/%1/transcript").arg(recording))
                             .json()
                             .value(QStringLiteral("sentences"))
                             .toArray())
        transcript.append(v.toObject().value(QStringLiteral("text")).toString());
    QVERIFY(transcript.size() >= 12);
    int found = 0;
    for (const QString& sentence : transcript)
        found += summary.contains(sentence) ? 1 : 0;
    QVERIFY2(found >= 2, qPrintable(summary));
    QVERIFY(summary.size() < transcript.join(QLatin1Char(' ')).size() / 2);
    // The title's words come from the transcript.
    for (const QString& word : title.toLower().split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        if (word != QLatin1String("and"))
            QVERIFY2(transcript.join(QLatin1Char(' ')).toLower().contains(word), qPrintable(word));
    }
    // Asking again changes nothing; the recording is now known by its title.
    QCOMPARE(
        m_api->send("POST", QStringLiteral("/v1/recordings/%1/summarize").arg(recording)).json(),
        s);
    QCOMPARE(m_api->get(QStringLiteral("/v1/transcriptions/") + id)
                 .json()
                 .value(QStringLiteral("lastRecording"))
                 .toObject()
                 .value(QStringLiteral("title"))
                 .toString(),
             title);
}

void TestServerSummary::littleTextIsUnavailable() {
    QString error;
    const QByteArray wav =
        SpeechAudio::wavFile({QStringLiteral("Thank you very much.")}, 0.8, &error);
    QVERIFY2(!wav.isEmpty(), qPrintable(error));
    const QString recording = upload(*m_api, wav)
                                  .value(QStringLiteral("job"))
                                  .toObject()
                                  .value(QStringLiteral("recordingId"))
                                  .toString();
    m_api->send("POST", QStringLiteral("/v1/recordings/%1/summarize").arg(recording));
    QCOMPARE(waitForSummary(*m_api, recording),
             (QJsonObject{{QStringLiteral("state"), QStringLiteral("unavailable")}}));
    QCOMPARE(m_api->get(QStringLiteral("/v1/recordings/rec_missing/summary")).status, 404);
    QCOMPARE(m_api->send("POST", QStringLiteral("/v1/recordings/rec_missing/summarize")).status,
             404);
}

void TestServerSummary::liveRecordingWaitsForItsEnd() {
    const QString recording = m_api
                                  ->startRecording(m_api->createLive(QStringLiteral("Meeting")),
                                                   QStringLiteral("linux-sum"))
                                  .recording;
    QCOMPARE(m_api->send("POST", QStringLiteral("/v1/recordings/%1/summarize").arg(recording))
                 .json()
                 .value(QStringLiteral("state"))
                 .toString(),
             QStringLiteral("pending"));
    QTest::qWait(300);
    QCOMPARE(m_api->get(QStringLiteral("/v1/recordings/%1/summary").arg(recording))
                 .json()
                 .value(QStringLiteral("state"))
                 .toString(),
             QStringLiteral("pending"));
    // Its end (nothing was said) decides.
    QCOMPARE(m_api->post(QStringLiteral("/v1/recordings/%1/stop").arg(recording), {}).status, 200);
    QCOMPARE(waitForSummary(*m_api, recording).value(QStringLiteral("state")).toString(),
             QStringLiteral("unavailable"));
}

QTEST_GUILESS_MAIN(TestServerSummary)
#include "tst_ServerSummary.moc"
