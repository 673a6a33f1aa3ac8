// The transcript feed of recordings and its snapshot, on a running server with real (grammar-
// restricted) recognition: positions, reading languages per subscriber, keep-alives, snapshots
// after a position, on-demand translation, and the --fault option with its repair.
#include "ServerProcess.h"
#include "SpeechAudio.h"
#include "TestClient.h"
#include "WsClient.h"

#include <QJsonArray>
#include <QMap>
#include <QSet>
#include <QTest>

using namespace pq::test;

namespace {

const QStringList kSentences = {QStringLiteral("My sister likes green apples."),
                                QStringLiteral("The train leaves at nine."),
                                QStringLiteral("Thank you very much.")};

qint64 cursorOf(const QJsonObject& e) {
    return e.value(QStringLiteral("cursor")).toInteger(-1);
}
QString typeOf(const QJsonObject& e) {
    return e.value(QStringLiteral("type")).toString();
}

struct Recording {
    QString transcription;
    QString id;
    QString streamUrl;
};

Recording startRecording(TestClient& api, const QString& name) {
    const QString transcription = api.createLive(name);
    const LiveStart started = api.startRecording(transcription, QStringLiteral("linux-feed"));
    return Recording{transcription, started.recording, started.streamUrl};
}

// Streams the sentences into the recording and stops it once the uplink is drained.
bool record(TestClient& api, const Recording& r, const QByteArray& audio) {
    WsClient uplink;
    if (!uplink.open(QUrl(r.streamUrl)) ||
        !uplink.waitForType(QStringLiteral("session.ready"), 30'000))
        return false;
    SpeechAudio::stream(uplink, audio, 4.0);
    if (api.post(QStringLiteral("/v1/recordings/%1/stop").arg(r.id), {}).status != 200)
        return false;
    return uplink.waitForType(QStringLiteral("session.done"), 30'000).has_value() &&
           uplink.waitClosed(5000);
}

QStringList committedTexts(const QList<QJsonObject>& events) {
    QStringList out;
    for (const auto& e : events) {
        if (typeOf(e) == QLatin1String("transcript.committed"))
            out.append(e.value(QStringLiteral("segment"))
                           .toObject()
                           .value(QStringLiteral("text"))
                           .toString());
    }
    return out;
}

} // namespace

class TestServerFeed : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void eachReaderGetsItsLanguageAtEveryPosition();
    void snapshotAfterAPosition();
    void snapshotTranslatesOnDemand();
    void keepAlivesWhileLive();
    void feedsNeedAKeyAndARecording();
    void droppedDuplicatedAndDelayedEventsAreRepairable();
    void restRequestsRefusedByFault();

private:
    std::unique_ptr<ServerProcess> m_server;
    QByteArray m_audio;
    // From the first test, for the snapshot tests.
    Recording m_recording;
    QList<QJsonObject> m_spanishFeed;
};

void TestServerFeed::initTestCase() {
    QString error;
    m_audio = SpeechAudio::synthesize(kSentences, 1.0, &error);
    QVERIFY2(!m_audio.isEmpty(), qPrintable(error));
    m_server = std::make_unique<ServerProcess>(ServerProcess::withGrammar(
        QStringList{QStringLiteral("--noop-interval"), QStringLiteral("0.4")}));
    QVERIFY2(m_server->start(), qPrintable(m_server->error()));
    QVERIFY2(m_server->waitForRecognizer(), qPrintable(m_server->error()));
}

void TestServerFeed::cleanupTestCase() {
    if (m_server)
        QCOMPARE(m_server->stop(), 0);
}

void TestServerFeed::eachReaderGetsItsLanguageAtEveryPosition() {
    TestClient api(m_server->base(), m_server->key());
    m_recording = startRecording(api, QStringLiteral("Languages"));
    QVERIFY(!m_recording.id.isEmpty());
    const QString path =
        QStringLiteral("/v1/recordings/%1/subscribe?device=linux-feed").arg(m_recording.id);
    WsClient spanish, catalan, plain;
    QVERIFY(spanish.open(m_server->wsUrl(path + QStringLiteral("&lang=es")), m_server->key()));
    QVERIFY(catalan.open(m_server->wsUrl(path + QStringLiteral("&lang=ca")), m_server->key()));
    QVERIFY(plain.open(m_server->wsUrl(path), m_server->key()));
    for (WsClient* feed : {&spanish, &catalan, &plain}) {
        const auto ready = feed->waitForType(QStringLiteral("subscribe.ready"), 5000);
        QVERIFY(ready);
        QCOMPARE(ready->value(QStringLiteral("recordingId")).toString(), m_recording.id);
        QCOMPARE(cursorOf(*ready), 0);
    }
    QCOMPARE(spanish.frames.first().value(QStringLiteral("lang")).toString(), QStringLiteral("es"));
    QVERIFY(plain.frames.first().value(QStringLiteral("lang")).isNull());

    QVERIFY(record(api, m_recording, m_audio));
    QTest::qWait(200);

    // Every reader sees every position once, in order, from 1 on; noops fill the places of
    // events meant for other languages (and keep-alives).
    QMap<qint64, QString> typesAt[3];
    int n = 0;
    for (WsClient* feed : {&spanish, &catalan, &plain}) {
        qint64 expected = 1;
        for (const auto& e : feed->frames.mid(1)) {
            if (cursorOf(e) < 0) {
                QCOMPARE(typeOf(e), QStringLiteral("transcript.draft"));
                continue;
            }
            QCOMPARE(cursorOf(e), expected++);
            typesAt[n].insert(cursorOf(e), typeOf(e));
        }
        QCOMPARE(committedTexts(feed->frames), kSentences);
        ++n;
    }
    QCOMPARE(typesAt[0].lastKey(), typesAt[1].lastKey());
    QCOMPARE(typesAt[0].lastKey(), typesAt[2].lastKey());
    for (auto it = typesAt[0].cbegin(); it != typesAt[0].cend(); ++it) {
        const QString es = it.value();
        const QString ca = typesAt[1].value(it.key());
        const QString none = typesAt[2].value(it.key());
        if (es == QLatin1String("transcript.translated")) {
            QCOMPARE(ca, QStringLiteral("noop"));
            QCOMPARE(none, QStringLiteral("noop"));
        } else if (ca == QLatin1String("transcript.translated")) {
            QCOMPARE(es, QStringLiteral("noop"));
            QCOMPARE(none, QStringLiteral("noop"));
        } else {
            QCOMPARE(ca, es);
            QCOMPARE(none, es);
        }
    }
    // Committed segments: seq = cursor. Sentences carry only the reader's translation.
    for (const auto& e : spanish.ofType(QStringLiteral("transcript.committed")))
        QCOMPARE(
            e.value(QStringLiteral("segment")).toObject().value(QStringLiteral("seq")).toInteger(),
            cursorOf(e));
    const QList<QJsonObject> esSentences = spanish.ofType(QStringLiteral("transcript.sentence"));
    QCOMPARE(esSentences.size(), kSentences.size());
    for (const auto& e : esSentences) {
        const QJsonObject tr = e.value(QStringLiteral("sentence"))
                                   .toObject()
                                   .value(QStringLiteral("translations"))
                                   .toObject();
        QCOMPARE(tr.keys(), QStringList{QStringLiteral("es")});
    }
    for (const auto& e : plain.ofType(QStringLiteral("transcript.sentence")))
        QVERIFY(!e.value(QStringLiteral("sentence"))
                     .toObject()
                     .contains(QStringLiteral("translations")));
    const QList<QJsonObject> caTranslated = catalan.ofType(QStringLiteral("transcript.translated"));
    QCOMPARE(caTranslated.size(), kSentences.size());
    QCOMPARE(caTranslated.first().value(QStringLiteral("translations")).toObject().keys(),
             QStringList{QStringLiteral("ca")});
    QCOMPARE(caTranslated.first().value(QStringLiteral("seq")).toInteger(),
             catalan.ofType(QStringLiteral("transcript.committed"))
                 .first()
                 .value(QStringLiteral("cursor"))
                 .toInteger());
    // Drafts come with the reader's translation only.
    for (const auto& e : spanish.ofType(QStringLiteral("transcript.draft"))) {
        for (const auto& s : e.value(QStringLiteral("segments")).toArray()) {
            const QJsonObject tr = s.toObject().value(QStringLiteral("translations")).toObject();
            QVERIFY(tr.isEmpty() || tr.keys() == QStringList{QStringLiteral("es")});
        }
    }
    m_spanishFeed = spanish.frames;
}

void TestServerFeed::snapshotAfterAPosition() {
    QVERIFY(!m_spanishFeed.isEmpty());
    TestClient api(m_server->base(), m_server->key());
    const QString path = QStringLiteral("/v1/recordings/%1/transcript").arg(m_recording.id);
    const Answer full = api.get(path + QStringLiteral("?lang=es"));
    QCOMPARE(full.status, 200);
    const qint64 last = cursorOf(m_spanishFeed.last());
    QCOMPARE(full.json().value(QStringLiteral("lastSeq")).toInteger(), last);
    QCOMPARE(full.json().value(QStringLiteral("speakers")).toArray(), QJsonArray());

    // After each position: exactly what the feed changed after it.
    for (qint64 after : {qint64(0), qint64(2), qint64(5), last - 1, last}) {
        QSet<qint64> segments, sentences;
        for (const auto& e : m_spanishFeed) {
            if (cursorOf(e) <= after)
                continue;
            if (typeOf(e) == QLatin1String("transcript.committed"))
                segments.insert(cursorOf(e));
            else if (typeOf(e) == QLatin1String("transcript.translated"))
                segments.insert(e.value(QStringLiteral("seq")).toInteger());
            else if (typeOf(e) == QLatin1String("transcript.sentence"))
                sentences.insert(e.value(QStringLiteral("sentence"))
                                     .toObject()
                                     .value(QStringLiteral("sentenceId"))
                                     .toInteger());
        }
        const Answer a = api.get(path + QStringLiteral("?after=%1&lang=es").arg(after));
        QCOMPARE(a.status, 200);
        QSet<qint64> gotSegments, gotSentences;
        for (const auto& s : a.json().value(QStringLiteral("segments")).toArray())
            gotSegments.insert(s.toObject().value(QStringLiteral("seq")).toInteger());
        for (const auto& s : a.json().value(QStringLiteral("sentences")).toArray())
            gotSentences.insert(s.toObject().value(QStringLiteral("sentenceId")).toInteger());
        QCOMPARE(gotSegments, segments);
        QCOMPARE(gotSentences, sentences);
        QCOMPARE(a.json().value(QStringLiteral("lastSeq")).toInteger(), last);
    }
    // Without a language there are no translations; the keys are the snapshot's.
    const QJsonObject plain = api.get(path).json();
    QCOMPARE(plain.keys(), (QStringList{QStringLiteral("lastSeq"), QStringLiteral("recordingId"),
                                        QStringLiteral("segments"), QStringLiteral("sentences"),
                                        QStringLiteral("speakers"), QStringLiteral("state")}));
    const QJsonObject first = plain.value(QStringLiteral("segments")).toArray().first().toObject();
    QCOMPARE(first.keys(), (QStringList{QStringLiteral("end"), QStringLiteral("language"),
                                        QStringLiteral("seq"), QStringLiteral("speaker"),
                                        QStringLiteral("start"), QStringLiteral("text")}));
    QCOMPARE(first.value(QStringLiteral("language")).toString(), QStringLiteral("en"));
    const QJsonObject sentence =
        plain.value(QStringLiteral("sentences")).toArray().first().toObject();
    QCOMPARE(sentence.value(QStringLiteral("seqs")).toArray(),
             QJsonArray{first.value(QStringLiteral("seq"))});
    QCOMPARE(sentence.value(QStringLiteral("text")).toString(), kSentences.first());

    QCOMPARE(api.get(path + QStringLiteral("?after=abc")).status, 400);
    QCOMPARE(api.get(path + QStringLiteral("?after=-2")).status, 400);
    QCOMPARE(api.get(path + QStringLiteral("?lang=%3Cb%3E")).status, 400);
    QCOMPARE(api.get(QStringLiteral("/v1/recordings/rec_missing/transcript")).status, 404);
}

void TestServerFeed::snapshotTranslatesOnDemand() {
    QVERIFY(!m_recording.id.isEmpty());
    TestClient api(m_server->base(), m_server->key());
    const QString path = QStringLiteral("/v1/recordings/%1/transcript").arg(m_recording.id);
    // Nobody read Galician during the recording: the snapshot translates it now.
    const QJsonObject gl = api.get(path + QStringLiteral("?lang=gl")).json();
    const QJsonArray segments = gl.value(QStringLiteral("segments")).toArray();
    QCOMPARE(segments.size(), kSentences.size());
    for (const auto& s : segments)
        QVERIFY(!s.toObject()
                     .value(QStringLiteral("translations"))
                     .toObject()
                     .value(QStringLiteral("gl"))
                     .toString()
                     .isEmpty());
    for (const auto& s : gl.value(QStringLiteral("sentences")).toArray())
        QCOMPARE(s.toObject().value(QStringLiteral("translations")).toObject().keys(),
                 QStringList{QStringLiteral("gl")});
    // Translations made on demand do not move the positions.
    QCOMPARE(gl.value(QStringLiteral("lastSeq")).toInteger(), cursorOf(m_spanishFeed.last()));
    // A language without an engine: the transcript without translations.
    const QJsonObject de = api.get(path + QStringLiteral("?lang=de")).json();
    QCOMPARE(de.value(QStringLiteral("segments")).toArray().size(), kSentences.size());
    QVERIFY(!de.value(QStringLiteral("segments"))
                 .toArray()
                 .first()
                 .toObject()
                 .contains(QStringLiteral("translations")));
}

void TestServerFeed::keepAlivesWhileLive() {
    TestClient api(m_server->base(), m_server->key());
    const Recording r = startRecording(api, QStringLiteral("Quiet"));
    WsClient feed;
    QVERIFY(feed.open(m_server->wsUrl(QStringLiteral("/v1/recordings/%1/subscribe").arg(r.id)),
                      m_server->key()));
    QVERIFY(feed.waitFor([&] { return feed.ofType(QStringLiteral("noop")).size() >= 3; }, 5000));
    const QList<QJsonObject> noops = feed.ofType(QStringLiteral("noop"));
    QCOMPARE(cursorOf(noops[0]), 1);
    QCOMPARE(cursorOf(noops[1]), 2);
    QCOMPARE(cursorOf(noops[2]), 3);
    // Noops take positions: the snapshot covers them.
    QVERIFY(api.get(QStringLiteral("/v1/recordings/%1/transcript").arg(r.id))
                .json()
                .value(QStringLiteral("lastSeq"))
                .toInteger() >= 3);
    QCOMPARE(api.post(QStringLiteral("/v1/recordings/%1/stop").arg(r.id), {}).status, 200);
    QTest::qWait(200);
    const int count = feed.frames.size();
    QTest::qWait(1200);
    QCOMPARE(feed.frames.size(), count); // none once the recording ended
    QVERIFY(!feed.closed);

    // A reader can follow a finished recording: it starts at its last position.
    WsClient late;
    QVERIFY(late.open(m_server->wsUrl(QStringLiteral("/v1/recordings/%1/subscribe").arg(r.id)),
                      m_server->key()));
    const auto ready = late.waitForType(QStringLiteral("subscribe.ready"), 5000);
    QVERIFY(ready);
    QCOMPARE(cursorOf(*ready), cursorOf(feed.frames.last()));
}

void TestServerFeed::feedsNeedAKeyAndARecording() {
    TestClient api(m_server->base(), m_server->key());
    const QString path = QStringLiteral("/v1/recordings/%1/subscribe").arg(m_recording.id);
    WsClient noKey;
    QVERIFY(!noKey.open(m_server->wsUrl(path)));
    WsClient wrongKey;
    QVERIFY(!wrongKey.open(m_server->wsUrl(path),
                           QStringLiteral("pq_key_wrongwrongwrongwrongwrongwrong")));
    WsClient noRecording;
    QVERIFY(!noRecording.open(m_server->wsUrl(QStringLiteral("/v1/recordings/rec_none/subscribe")),
                              m_server->key()));
    WsClient nowhere;
    QVERIFY(!nowhere.open(m_server->wsUrl(QStringLiteral("/v1/elsewhere")), m_server->key()));
    WsClient badLang;
    QVERIFY(badLang.open(m_server->wsUrl(path + QStringLiteral("?lang=%3Cx%3E")), m_server->key()));
    QVERIFY(badLang.waitClosed(5000));
    QCOMPARE(badLang.closeCode, 1008);
    QVERIFY(badLang.frames.isEmpty());
    // The refusals are plain HTTP answers, and the server carries on.
    QCOMPARE(api.get(QStringLiteral("/v1/me")).status, 200);
}

void TestServerFeed::droppedDuplicatedAndDelayedEventsAreRepairable() {
    ServerProcess faulty(ServerProcess::withGrammar(
        {QStringLiteral("--noop-interval"), QStringLiteral("0.3"), QStringLiteral("--fault"),
         QStringLiteral("feed-drop=0.25,feed-duplicate=0.2"), QStringLiteral("--fault"),
         QStringLiteral("feed-delay=0.2,feed-delay-ms=400"), QStringLiteral("--fault-seed"),
         QStringLiteral("11")}));
    QVERIFY2(faulty.start(), qPrintable(faulty.error()));
    QVERIFY2(faulty.waitForRecognizer(), qPrintable(faulty.error()));
    QVERIFY(faulty.log().contains(QLatin1String("feed-drop=0.25")));
    TestClient api(faulty.base(), faulty.key());
    const Recording r = startRecording(api, QStringLiteral("Faulty"));
    WsClient feed;
    QVERIFY(feed.open(faulty.wsUrl(QStringLiteral("/v1/recordings/%1/subscribe?lang=es").arg(r.id)),
                      faulty.key()));
    QVERIFY(feed.waitForType(QStringLiteral("subscribe.ready"), 5000));
    QVERIFY(record(api, r, m_audio));
    QTest::qWait(800); // delayed events arrive

    // The feed alone is damaged: positions missing, repeated or out of order.
    QList<qint64> positions;
    for (const auto& e : feed.frames.mid(1)) {
        if (cursorOf(e) >= 0)
            positions.append(cursorOf(e));
    }
    const Answer full = api.get(QStringLiteral("/v1/recordings/%1/transcript?lang=es").arg(r.id));
    const qint64 last = full.json().value(QStringLiteral("lastSeq")).toInteger();
    QList<qint64> perfect;
    for (qint64 p = 1; p <= last; ++p)
        perfect.append(p);
    QVERIFY(positions != perfect);
    QVERIFY(QSet<qint64>(positions.begin(), positions.end()).size() < positions.size() ||
            positions.size() < perfect.size());

    // Repair as a reader would: take events in position order, once each; at the first gap,
    // a snapshot after the last good position supplies the rest.
    QMap<qint64, QJsonObject> byPosition;
    for (const auto& e : feed.frames.mid(1)) {
        if (cursorOf(e) >= 0 && !byPosition.contains(cursorOf(e)))
            byPosition.insert(cursorOf(e), e);
    }
    QMap<qint64, QString> segments; // seq -> text
    qint64 cursor = 0;
    for (auto it = byPosition.cbegin(); it != byPosition.cend() && it.key() == cursor + 1; ++it) {
        cursor = it.key();
        if (typeOf(*it) == QLatin1String("transcript.committed")) {
            const QJsonObject s = it->value(QStringLiteral("segment")).toObject();
            segments.insert(s.value(QStringLiteral("seq")).toInteger(),
                            s.value(QStringLiteral("text")).toString());
        }
    }
    const Answer repair = api.get(
        QStringLiteral("/v1/recordings/%1/transcript?after=%2&lang=es").arg(r.id).arg(cursor));
    QCOMPARE(repair.status, 200);
    for (const auto& v : repair.json().value(QStringLiteral("segments")).toArray())
        segments.insert(v.toObject().value(QStringLiteral("seq")).toInteger(),
                        v.toObject().value(QStringLiteral("text")).toString());
    QCOMPARE(segments.values(), kSentences);
    QCOMPARE(faulty.stop(), 0);
}

void TestServerFeed::restRequestsRefusedByFault() {
    ServerProcess faulty({QStringLiteral("--warm"), QStringLiteral("0"), QStringLiteral("--fault"),
                          QStringLiteral("rest-unavailable=0.5"), QStringLiteral("--fault-seed"),
                          QStringLiteral("5")});
    QVERIFY2(faulty.start(), qPrintable(faulty.error()));
    TestClient api(faulty.base(), faulty.key());
    int refused = 0;
    for (int i = 0; i < 40; ++i) {
        const Answer a = api.get(QStringLiteral("/v1/me"));
        if (a.status == 503) {
            ++refused;
            QCOMPARE(a.code(), QStringLiteral("unavailable"));
            QCOMPARE(a.json()
                         .value(QStringLiteral("data"))
                         .toObject()
                         .value(QStringLiteral("retryable")),
                     QJsonValue(true));
        } else {
            QCOMPARE(a.status, 200);
        }
    }
    QVERIFY2(refused >= 8 && refused <= 32, qPrintable(QString::number(refused)));
    // Health checks are not part of the API and are never refused.
    for (int i = 0; i < 10; ++i)
        QCOMPARE(api.send("GET", QStringLiteral("/health"), {}, false).status, 200);
    QCOMPARE(faulty.stop(), 0);

    ServerProcess wrong({QStringLiteral("--fault"), QStringLiteral("feed-drop=2")});
    QVERIFY(!wrong.start(5000));
    QVERIFY(wrong.log().contains(QLatin1String("--fault")));
}

QTEST_MAIN(TestServerFeed)
#include "tst_ServerFeed.moc"
