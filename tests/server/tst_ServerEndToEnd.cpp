// Real speech end to end: sentences synthesised with espeak-ng are streamed at real-time pace
// through the uplink of a private server that recognises with a grammar of known sentences, so
// the committed words can be compared exactly; captions come back over the uplink, recordings
// over their feed and snapshot.
#include "ServerProcess.h"
#include "SpeechAudio.h"
#include "TestClient.h"
#include "WsClient.h"

#include <QJsonArray>
#include <QTest>

using namespace pq::test;

namespace {

const QStringList kSentences = {
    QStringLiteral("Please open the window."),
    QStringLiteral("Where is the nearest station?"),
    QStringLiteral("Thank you very much."),
    QStringLiteral("The meeting starts in ten minutes."),
};

QStringList texts(const QList<QJsonObject>& committed) {
    QStringList out;
    for (const auto& e : committed)
        out.append(
            e.value(QStringLiteral("segment")).toObject().value(QStringLiteral("text")).toString());
    return out;
}

} // namespace

class TestServerEndToEnd : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void captionsComeBackOverTheUplink();
    void recordingFeedAndSnapshotAgree();

private:
    std::unique_ptr<ServerProcess> m_server;
    QByteArray m_audio;
    double m_audioSeconds = 0;
};

void TestServerEndToEnd::initTestCase() {
    QString error;
    m_audio = SpeechAudio::synthesize(kSentences, 1.2, &error);
    QVERIFY2(!m_audio.isEmpty(), qPrintable(error));
    m_audioSeconds = double(m_audio.size()) / 4 / SpeechAudio::kRate;
    m_server = std::make_unique<ServerProcess>(ServerProcess::withGrammar());
    QVERIFY2(m_server->start(), qPrintable(m_server->error()));
    QVERIFY2(m_server->waitForRecognizer(), qPrintable(m_server->error()));
}

void TestServerEndToEnd::cleanupTestCase() {
    if (m_server)
        QCOMPARE(m_server->stop(), 0);
}

void TestServerEndToEnd::captionsComeBackOverTheUplink() {
    TestClient api(m_server->base(), m_server->key());
    const Answer created =
        api.post(QStringLiteral("/v1/realtime/sessions"),
                 QJsonObject{{QStringLiteral("translate"), QJsonArray{QStringLiteral("es")}}});
    QCOMPARE(created.status, 201);
    const QString streamUrl = created.json().value(QStringLiteral("streamUrl")).toString();
    QVERIFY(streamUrl.startsWith(m_server->wsUrl(QStringLiteral("/v1/stream/")).toString()));

    WsClient uplink;
    QVERIFY(uplink.open(QUrl(streamUrl)));
    const auto ready = uplink.waitForType(QStringLiteral("session.ready"), 30'000);
    QVERIFY(ready);
    QCOMPARE(ready->value(QStringLiteral("sessionId")).toString(),
             created.json().value(QStringLiteral("sessionId")).toString());

    SpeechAudio::stream(uplink, m_audio);
    uplink.sendJson(QJsonObject{{QStringLiteral("type"), QStringLiteral("eof")}});
    const auto done = uplink.waitForType(QStringLiteral("session.done"), 30'000);
    QVERIFY(done);
    QCOMPARE(done->value(QStringLiteral("reason")).toString(), QStringLiteral("eof"));
    QVERIFY(uplink.waitClosed(10'000));
    QCOMPARE(uplink.closeCode, 1000);

    // "session.done" comes after the last words: everything was committed before it.
    const QList<QJsonObject> committed = uplink.ofType(QStringLiteral("transcript.committed"));
    QCOMPARE(texts(committed).join(QLatin1Char('|')), kSentences.join(QLatin1Char('|')));
    QCOMPARE(uplink.frames.last().value(QStringLiteral("type")).toString(),
             QStringLiteral("session.done"));
    QVERIFY(!uplink.ofType(QStringLiteral("transcript.draft")).isEmpty());

    // Segment times are recording times: rising, inside the audio, about where they were said.
    double previousEnd = 0;
    for (const auto& e : committed) {
        const QJsonObject s = e.value(QStringLiteral("segment")).toObject();
        const double start = s.value(QStringLiteral("start")).toDouble();
        const double end = s.value(QStringLiteral("end")).toDouble();
        QVERIFY2(start >= previousEnd && end > start && end <= m_audioSeconds + 0.01,
                 qPrintable(QStringLiteral("%1–%2").arg(start).arg(end)));
        QCOMPARE(s.value(QStringLiteral("seq")).toInteger(),
                 e.value(QStringLiteral("cursor")).toInteger());
        QCOMPARE(s.value(QStringLiteral("speaker")).toInt(), 0);
        previousEnd = end;
    }
    QVERIFY(committed.first()
                .value(QStringLiteral("segment"))
                .toObject()
                .value(QStringLiteral("start"))
                .toDouble() >= 1.0);

    // Each sentence is translated into Spanish, as a sentence and for its segment.
    const QList<QJsonObject> sentences = uplink.ofType(QStringLiteral("transcript.sentence"));
    QCOMPARE(sentences.size(), kSentences.size());
    const QList<QJsonObject> translated = uplink.ofType(QStringLiteral("transcript.translated"));
    QCOMPARE(translated.size(), kSentences.size());
    const QString spanish = translated.first()
                                .value(QStringLiteral("translations"))
                                .toObject()
                                .value(QStringLiteral("es"))
                                .toString();
    // Word for word what `apertium eng-spa` makes of it.
    QCOMPARE(spanish, QStringLiteral("Complacer abrir la ventana."));
    QCOMPARE(sentences.first()
                 .value(QStringLiteral("sentence"))
                 .toObject()
                 .value(QStringLiteral("translations"))
                 .toObject()
                 .value(QStringLiteral("es"))
                 .toString(),
             spanish);
}

void TestServerEndToEnd::recordingFeedAndSnapshotAgree() {
    TestClient api(m_server->base(), m_server->key());
    const QString transcription = api.createLive(QStringLiteral("Standup"));
    QVERIFY(!transcription.isEmpty());
    const LiveStart started = api.startRecording(transcription, QStringLiteral("linux-test"));
    QCOMPARE(started.status, 201);
    const QString recording = started.recording;

    WsClient feed;
    QVERIFY(feed.open(
        m_server->wsUrl(
            QStringLiteral("/v1/recordings/%1/subscribe?device=linux-test&lang=es").arg(recording)),
        m_server->key()));
    QVERIFY(feed.waitForType(QStringLiteral("subscribe.ready"), 10'000));

    WsClient uplink;
    QVERIFY(uplink.open(QUrl(started.streamUrl)));
    QVERIFY(uplink.waitForType(QStringLiteral("session.ready"), 30'000));
    SpeechAudio::stream(uplink, m_audio);

    const Answer paused = api.post(QStringLiteral("/v1/recordings/%1/pause").arg(recording), {});
    QCOMPARE(paused.status, 200);
    QCOMPARE(paused.json().value(QStringLiteral("state")).toString(), QStringLiteral("paused"));
    const Answer stopped = api.post(QStringLiteral("/v1/recordings/%1/stop").arg(recording), {});
    QCOMPARE(stopped.status, 200);
    const auto done = uplink.waitForType(QStringLiteral("session.done"), 30'000);
    QVERIFY(done);
    QCOMPARE(done->value(QStringLiteral("reason")).toString(), QStringLiteral("stopped"));
    QVERIFY(uplink.waitClosed(10'000));
    // The recording uplink carries no transcript: that is the feed's.
    QVERIFY(uplink.ofType(QStringLiteral("transcript.committed")).isEmpty());

    // Feed: positions rise by one with no gap; committed segments are the sentences.
    QCOMPARE(feed.frames.first().value(QStringLiteral("type")).toString(),
             QStringLiteral("subscribe.ready"));
    qint64 position = feed.frames.first().value(QStringLiteral("cursor")).toInteger();
    for (const auto& e : feed.frames.mid(1)) {
        if (!e.contains(QStringLiteral("cursor")))
            continue;
        QCOMPARE(e.value(QStringLiteral("cursor")).toInteger(), position + 1);
        position = e.value(QStringLiteral("cursor")).toInteger();
    }
    const QList<QJsonObject> committed = feed.ofType(QStringLiteral("transcript.committed"));
    QCOMPARE(texts(committed).join(QLatin1Char('|')), kSentences.join(QLatin1Char('|')));

    // Snapshot: the same segments, with the reader's translations; lastSeq is the last position.
    const Answer snap =
        api.get(QStringLiteral("/v1/recordings/%1/transcript?lang=es").arg(recording));
    QCOMPARE(snap.status, 200);
    const QJsonObject s = snap.json();
    QCOMPARE(s.value(QStringLiteral("recordingId")).toString(), recording);
    QCOMPARE(s.value(QStringLiteral("lastSeq")).toInteger(), position);
    QCOMPARE(s.value(QStringLiteral("state")).toString(), QStringLiteral("ready"));
    const QJsonArray segments = s.value(QStringLiteral("segments")).toArray();
    QCOMPARE(segments.size(), committed.size());
    for (int i = 0; i < segments.size(); ++i) {
        QJsonObject fromFeed = committed[i].value(QStringLiteral("segment")).toObject();
        QJsonObject fromSnapshot = segments[i].toObject();
        QVERIFY(fromSnapshot.contains(QStringLiteral("translations")));
        fromSnapshot.remove(QStringLiteral("translations"));
        QCOMPARE(fromSnapshot, fromFeed);
    }
    QCOMPARE(s.value(QStringLiteral("sentences")).toArray().size(), kSentences.size());
    QCOMPARE(s.value(QStringLiteral("sentences"))
                 .toArray()
                 .at(1)
                 .toObject()
                 .value(QStringLiteral("text"))
                 .toString(),
             kSentences[1]);

    // The library shows the finished recording with its length.
    const Answer listed = api.get(QStringLiteral("/v1/transcriptions/%1").arg(transcription));
    const QJsonObject last = listed.json().value(QStringLiteral("lastRecording")).toObject();
    QCOMPARE(last.value(QStringLiteral("recordingId")).toString(), recording);
    QCOMPARE(last.value(QStringLiteral("state")).toString(), QStringLiteral("ready"));
    QVERIFY(qAbs(last.value(QStringLiteral("durationS")).toDouble() - m_audioSeconds) < 0.3);
    QVERIFY(!listed.json().contains(QStringLiteral("currentRecording")));
}

QTEST_MAIN(TestServerEndToEnd)
#include "tst_ServerEndToEnd.moc"
