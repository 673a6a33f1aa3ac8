// The transcript feed against a loopback server that serves both the feed's WebSocket and the
// snapshot endpoint: the go-ahead, positions and repeats, gap repairs and their replays, repairs
// that fail and are retried, the loss of an open feed, and a randomised run with repeats, drops
// and reorderings that must leave the owner with exactly the service's transcript.
#include "API.h"
#include "APIError.h"
#include "Await.h"
#include "LoopbackServer.h"
#include "Subscription.h"
#include "Transcript.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUrlQuery>
#include <QWebSocket>

#include <mutex>

using namespace pq;
using namespace pq::test;
using namespace std::chrono_literals;

namespace {

const Subscription::Timing fast{.goAhead = 2s, .firstRetry = 60ms, .maxRetry = 240ms};

QByteArray compact(const QJsonObject& o) {
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

QJsonObject frameAt(qint64 cursor, const QString& type = QStringLiteral("transcript.draft")) {
    return {{"type", type}, {"cursor", cursor}};
}

QByteArray snapshotJson(qint64 lastSeq) {
    return compact({{"recordingId", "rec-1"},
                    {"lastSeq", lastSeq},
                    {"state", "live"},
                    {"segments", QJsonArray{}},
                    {"sentences", QJsonArray{}},
                    {"speakers", QJsonArray{}}});
}

std::optional<qint64> afterOf(const RecordedRequest& request) {
    const QUrlQuery query(QString::fromUtf8(request.query));
    if (!query.hasQueryItem("after"))
        return std::nullopt;
    return query.queryItemValue("after").toLongLong();
}

// What the owner received, in order: "S<lastSeq>" for a snapshot, "<position>" for a positioned
// frame, the type for any other. It takes deliveries on the feed's thread and hands them to the
// test's thread under its own lock, as an owner on another thread does.
class Owner {
public:
    void follow(Subscription& feed) {
        QObject::connect(&feed, &Subscription::snapshotReceived,
                         [this](const TranscriptSnapshot& s) {
                             const std::lock_guard lock(m_mutex);
                             m_log.append(QStringLiteral("S%1").arg(s.lastSeq));
                             m_transcript.apply(s);
                         });
        QObject::connect(&feed, &Subscription::frameReceived, [this](const QJsonObject& f) {
            const std::lock_guard lock(m_mutex);
            const QJsonValue cursor = f.value("cursor");
            const QJsonValue seq = f.value("seq");
            m_log.append(cursor.isDouble() ? QString::number(cursor.toInteger())
                         : seq.isDouble()  ? QString::number(seq.toInteger())
                                           : f.value("type").toString());
            m_frames.append(f);
            m_transcript.apply(f);
        });
        QObject::connect(&feed, &Subscription::lost, [this](const std::optional<QString>& r) {
            const std::lock_guard lock(m_mutex);
            m_losses.append(r);
        });
    }

    QStringList log() const {
        const std::lock_guard lock(m_mutex);
        return m_log;
    }
    QList<QJsonObject> frames() const {
        const std::lock_guard lock(m_mutex);
        return m_frames;
    }
    QList<std::optional<QString>> losses() const {
        const std::lock_guard lock(m_mutex);
        return m_losses;
    }
    Transcript transcript() const {
        const std::lock_guard lock(m_mutex);
        return m_transcript;
    }

private:
    mutable std::mutex m_mutex;
    QStringList m_log;
    QList<QJsonObject> m_frames;
    QList<std::optional<QString>> m_losses;
    Transcript m_transcript{QStringLiteral("es")};
};

// A service for one recording: the feed socket (the test scripts it through `client`) and the
// snapshot endpoint (answered by `snapshots`).
struct Service {
    LoopbackServer server;
    QWebSocket* client = nullptr;
    int disconnects = 0;
    std::function<ScriptedAnswer(std::optional<qint64> after)> snapshots = [](auto) {
        return ScriptedAnswer::json(200, snapshotJson(0));
    };
    // Sent as soon as a client connects.
    QList<QByteArray> greeting{R"({"type":"subscribe.ready"})"};

    Service() {
        QObject::connect(&server, &LoopbackServer::accepted, [this](QWebSocket* c) {
            client = c;
            QObject::connect(c, &QWebSocket::disconnected, [this] { ++disconnects; });
            for (const QByteArray& frame : std::as_const(greeting))
                c->sendTextMessage(QString::fromUtf8(frame));
        });
        server.setHttpHandler([this](const RecordedRequest& r) { return snapshots(afterOf(r)); });
    }

    void send(const QJsonObject& frame) {
        client->sendTextMessage(QString::fromUtf8(compact(frame)));
    }
    void send(const QList<QJsonObject>& frames) {
        for (const QJsonObject& f : frames)
            send(f);
    }
    QList<std::optional<qint64>> snapshotAfters() const {
        QList<std::optional<qint64>> out;
        for (const RecordedRequest& r : server.httpRequests())
            out.append(afterOf(r));
        return out;
    }
};

Env envFor(const LoopbackServer& server) {
    return Env{Env::Name::local, server.base(), QUrl(QStringLiteral("http://127.0.0.1:5176"))};
}

} // namespace

class TestSubscription : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();

    void openAddressesTheFeedAndLoadsTheWholeTranscript();
    void withoutLanguageOrKey();
    void goAheadTimesOut();
    void feedClosesBeforeTheGoAhead();
    void firstSnapshotFails();
    void repeatsAreDropped();
    void gapRepair_data();
    void gapRepair();
    void positionPrefersCursorOverSeq();
    void noopWithAndWithoutPosition();
    void eventsBeforeGoAheadAndFirstSnapshotAreReplayedInOrder();
    void unpositionedEventDuringARepairIsHeld();
    void gapAmongHeldEventsStartsTheNextRepair();
    void failedRepairIsRetriedWithTheSameAfter();
    void closeStopsRetriesAndDeliveries();
    void lossOfAnOpenFeedIsReported();
    void closeByTheOwnerIsNoLoss();
    void randomRepeatsDropsAndReorderings();

private:
    QTemporaryDir m_config;
};

void TestSubscription::initTestCase() {
    QVERIFY(m_config.isValid());
    qputenv("XDG_CONFIG_HOME", m_config.path().toUtf8());
}

void TestSubscription::openAddressesTheFeedAndLoadsTheWholeTranscript() {
    Service service;
    // The go-ahead comes twice; neither is passed on.
    service.greeting = {R"({"type":"subscribe.ready"})", R"({"type":"subscribe.ready"})"};
    service.snapshots = [](auto) {
        return ScriptedAnswer::json(200, R"({"recordingId":"rec/1","lastSeq":3,"state":"live",
            "segments":[{"seq":3,"text":"Hello.","start":0,"end":1,"speaker":0,
                         "translations":{"es":"Hola."}}],
            "sentences":[],"speakers":[{"speaker":0,"name":"Ada"}]})");
    };
    API api(envFor(service.server), QStringLiteral("pq_key_s"));
    Subscription feed(&api, QStringLiteral("rec/1"), QStringLiteral("es"), fast);
    QCOMPARE(feed.recordingId(), QStringLiteral("rec/1"));
    QCOMPARE(feed.lang(), std::optional<QString>("es"));
    Owner owner;
    owner.follow(feed);
    auto out = await(feed.open());
    QVERIFY(out->finished);
    QVERIFY2(!out->error, qPrintable(describe(out->error)));

    QCOMPARE(service.server.upgrades().size(), 1);
    const RecordedRequest upgrade = service.server.upgrades().first();
    QCOMPARE(upgrade.target,
             "/v1/recordings/rec%2F1/subscribe?device=" + API::deviceId().toUtf8() + "&lang=es");
    QCOMPARE(upgrade.header("Authorization"), QByteArray("Bearer pq_key_s"));
    QCOMPARE(upgrade.header("User-Agent"), API::userAgent().toUtf8());
    QCOMPARE(service.server.httpRequests().size(), 1);
    const RecordedRequest snapshot = service.server.httpRequests().first();
    QCOMPARE(snapshot.method, QByteArray("GET"));
    QCOMPARE(snapshot.target, QByteArray("/v1/recordings/rec%2F1/transcript?lang=es"));
    QCOMPARE(snapshot.header("Authorization"), QByteArray("Bearer pq_key_s"));

    // open() returns once the snapshot is delivered.
    QTRY_COMPARE(owner.log(), QStringList{"S3"});
    const Transcript got = owner.transcript();
    QCOMPARE(got.lines(60).first().translation, std::optional<QString>("Hola."));
    QCOMPARE(got.name(0), QStringLiteral("Ada"));
    QTest::qWait(50);
    QCOMPARE(owner.log(), QStringList{"S3"});
}

void TestSubscription::withoutLanguageOrKey() {
    Service service;
    API api(envFor(service.server), std::nullopt);
    Subscription feed(&api, QStringLiteral("rec-2"), std::nullopt, fast);
    auto out = await(feed.open());
    QVERIFY2(!out->error, qPrintable(describe(out->error)));
    const RecordedRequest upgrade = service.server.upgrades().first();
    QCOMPARE(upgrade.target, "/v1/recordings/rec-2/subscribe?device=" + API::deviceId().toUtf8());
    QVERIFY(!upgrade.hasHeader("Authorization"));
    QCOMPARE(service.server.httpRequests().first().target,
             QByteArray("/v1/recordings/rec-2/transcript"));
    // A feed opens once.
    const auto again = await(feed.open())->errorAs<APIError>();
    QVERIFY(again);
    QCOMPARE(again->code(), QStringLiteral("invalid_state"));
    QCOMPARE(service.server.upgrades().size(), 1);
}

void TestSubscription::goAheadTimesOut() {
    Service service;
    service.greeting = {R"({"type":"transcript.draft","cursor":1})"};
    API api(envFor(service.server), QStringLiteral("k"));
    Subscription::Timing timing = fast;
    timing.goAhead = 250ms;
    Subscription feed(&api, QStringLiteral("rec-1"), QStringLiteral("es"), timing);
    Owner owner;
    owner.follow(feed);
    QElapsedTimer clock;
    clock.start();
    auto out = await(feed.open());
    const auto error = out->errorAs<APIError>();
    QVERIFY(error);
    QCOMPARE(error->code(), QStringLiteral("engine_unavailable"));
    QCOMPARE(error->message(), QStringLiteral("The transcript feed did not open."));
    QVERIFY(error->retryable());
    QCOMPARE(error->status(), std::nullopt);
    QVERIFY(clock.elapsed() >= 235);
    // A feed that did not open is closed, and delivered nothing.
    QTRY_COMPARE(service.disconnects, 1);
    QVERIFY(service.server.httpRequests().isEmpty());
    QTest::qWait(50);
    QVERIFY(owner.log().isEmpty());
    QVERIFY(owner.losses().isEmpty());
}

void TestSubscription::feedClosesBeforeTheGoAhead() {
    for (const bool refuse : {false, true}) {
        Service service;
        service.greeting = {};
        if (refuse)
            service.server.setUpgrade(LoopbackServer::Upgrade::refuse, 404);
        connect(&service.server, &LoopbackServer::accepted, this, [](QWebSocket* c) {
            c->close(QWebSocketProtocol::CloseCodePolicyViolated, QStringLiteral("not yours"));
        });
        API api(envFor(service.server), QStringLiteral("k"));
        Subscription feed(&api, QStringLiteral("rec-1"), QStringLiteral("es"), fast);
        Owner owner;
        owner.follow(feed);
        auto out = await(feed.open());
        const auto error = out->errorAs<APIError>();
        QVERIFY(error);
        QCOMPARE(error->code(), QStringLiteral("engine_unavailable"));
        QCOMPARE(error->message(), QStringLiteral("The transcript feed closed before it opened."));
        QVERIFY(error->retryable());
        QTest::qWait(50);
        QVERIFY(owner.losses().isEmpty());
    }
}

void TestSubscription::firstSnapshotFails() {
    Service service;
    service.snapshots = [](auto) {
        return ScriptedAnswer::json(403, R"({"code":"forbidden","message":"Not yours."})");
    };
    API api(envFor(service.server), QStringLiteral("k"));
    Subscription feed(&api, QStringLiteral("rec-1"), QStringLiteral("es"), fast);
    Owner owner;
    owner.follow(feed);
    auto out = await(feed.open());
    const auto error = out->errorAs<APIError>();
    QVERIFY(error);
    QCOMPARE(error->code(), QStringLiteral("forbidden"));
    QCOMPARE(error->status(), std::optional<int>(403));
    QTRY_COMPARE(service.disconnects, 1);
    QTest::qWait(50);
    QVERIFY(owner.log().isEmpty());
    QVERIFY(owner.losses().isEmpty());
}

void TestSubscription::repeatsAreDropped() {
    Service service;
    service.snapshots = [](auto) { return ScriptedAnswer::json(200, snapshotJson(4)); };
    API api(envFor(service.server), QStringLiteral("k"));
    Subscription feed(&api, QStringLiteral("rec-1"), QStringLiteral("es"), fast);
    Owner owner;
    owner.follow(feed);
    QVERIFY(!await(feed.open())->error);
    service.send(
        {frameAt(3), frameAt(5), frameAt(6), frameAt(6), frameAt(4), frameAt(7), frameAt(5)});
    QTRY_COMPARE(owner.log(), (QStringList{"S4", "5", "6", "7"}));
    QTest::qWait(50);
    QCOMPARE(owner.log().size(), 4);
    QCOMPARE(service.server.httpRequests().size(), 1);
}

void TestSubscription::gapRepair_data() {
    QTest::addColumn<qint64>("repairedTo");
    QTest::addColumn<QStringList>("expected");
    // The repair snapshot covers 8: the held 8 is dropped.
    QTest::newRow("snapshot reaches the held event")
        << qint64(8) << QStringList{"S4", "5", "S8", "9"};
    // It stops short of 8: the held 8 follows it.
    QTest::newRow("snapshot stops before it")
        << qint64(7) << QStringList{"S4", "5", "S7", "8", "9"};
}

void TestSubscription::gapRepair() {
    QFETCH(qint64, repairedTo);
    QFETCH(QStringList, expected);
    Service service;
    service.snapshots = [repairedTo](std::optional<qint64> after) {
        return ScriptedAnswer::json(200, snapshotJson(after ? repairedTo : 4));
    };
    API api(envFor(service.server), QStringLiteral("k"));
    Subscription feed(&api, QStringLiteral("rec-1"), QStringLiteral("es"), fast);
    Owner owner;
    owner.follow(feed);
    QVERIFY(!await(feed.open())->error);
    service.send({frameAt(5), frameAt(8)});
    QTRY_COMPARE(service.server.httpRequests().size(), 2);
    QCOMPARE(service.snapshotAfters(), (QList<std::optional<qint64>>{std::nullopt, 5}));
    QCOMPARE(service.server.httpRequests().last().target,
             QByteArray("/v1/recordings/rec-1/transcript?after=5&lang=es"));
    QTRY_COMPARE(owner.log().size(), expected.size() - 1);
    service.send(frameAt(9));
    QTRY_COMPARE(owner.log(), expected);
    QCOMPARE(service.server.httpRequests().size(), 2);
}

void TestSubscription::positionPrefersCursorOverSeq() {
    Service service;
    service.snapshots = [](auto) { return ScriptedAnswer::json(200, snapshotJson(2)); };
    API api(envFor(service.server), QStringLiteral("k"));
    Subscription feed(&api, QStringLiteral("rec-1"), QStringLiteral("es"), fast);
    Owner owner;
    owner.follow(feed);
    QVERIFY(!await(feed.open())->error);
    service.send(QJsonObject{{"type", "transcript.translated"}, {"seq", 3}}); // at 3 by its seq
    service.send(QJsonObject{{"type", "a"}, {"cursor", 4}, {"seq", 1}});      // at 4, not 1
    service.send(QJsonObject{{"type", "b"}, {"seq", 4}});                     // 4 again: dropped
    service.send(QJsonObject{{"type", "c"}, {"cursor", "5"}, {"seq", 5}});    // by its seq
    service.send(QJsonObject{{"type", "d"}, {"cursor", 6.0}});                // whole number
    QTRY_COMPARE(owner.frames().size(), 4);
    QStringList types;
    for (const QJsonObject& f : owner.frames())
        types.append(f.value("type").toString());
    QCOMPARE(types, (QStringList{"transcript.translated", "a", "c", "d"}));
    QTest::qWait(50);
    QCOMPARE(owner.frames().size(), 4);
    QCOMPARE(service.server.httpRequests().size(), 1);
}

void TestSubscription::noopWithAndWithoutPosition() {
    Service service;
    service.snapshots = [](auto) { return ScriptedAnswer::json(200, snapshotJson(4)); };
    API api(envFor(service.server), QStringLiteral("k"));
    Subscription feed(&api, QStringLiteral("rec-1"), QStringLiteral("es"), fast);
    Owner owner;
    owner.follow(feed);
    QVERIFY(!await(feed.open())->error);
    // The positioned keep-alive moves the cursor (6 is next, no repair) without being delivered.
    service.send(
        {frameAt(5, "noop"), QJsonObject{{"type", "noop"}}, frameAt(6), frameAt(5, "noop")});
    QTRY_COMPARE(owner.log(), (QStringList{"S4", "noop", "6"}));
    QTest::qWait(50);
    QCOMPARE(owner.log().size(), 3);
    QCOMPARE(service.server.httpRequests().size(), 1);
}

void TestSubscription::eventsBeforeGoAheadAndFirstSnapshotAreReplayedInOrder() {
    Service service;
    service.greeting = {compact(frameAt(1)), compact(QJsonObject{{"type", "unplaced"}}),
                        compact(frameAt(2)), R"({"type":"subscribe.ready"})"};
    service.snapshots = [](auto) { return ScriptedAnswer::json(200, snapshotJson(1)); };
    // While the first snapshot is on its way, more events come.
    service.server.setHttpDelay([](const RecordedRequest&) { return 300ms; });
    connect(&service.server, &LoopbackServer::httpRequestReceived, this, [&service] {
        service.send({frameAt(3), frameAt(2), frameAt(4)});
    });
    API api(envFor(service.server), QStringLiteral("k"));
    Subscription feed(&api, QStringLiteral("rec-1"), QStringLiteral("es"), fast);
    Owner owner;
    owner.follow(feed);
    auto out = await(feed.open());
    QVERIFY2(!out->error, qPrintable(describe(out->error)));
    QTRY_COMPARE(owner.log(), (QStringList{"S1", "unplaced", "2", "3", "4"}));
    QCOMPARE(service.server.httpRequests().size(), 1);
}

void TestSubscription::unpositionedEventDuringARepairIsHeld() {
    Service service;
    service.snapshots = [](std::optional<qint64> after) {
        return ScriptedAnswer::json(200, snapshotJson(after ? 5 : 4));
    };
    service.server.setHttpDelay([](const RecordedRequest& r) { return afterOf(r) ? 300ms : 0ms; });
    API api(envFor(service.server), QStringLiteral("k"));
    Subscription feed(&api, QStringLiteral("rec-1"), QStringLiteral("es"), fast);
    Owner owner;
    owner.follow(feed);
    QVERIFY(!await(feed.open())->error);
    service.send(frameAt(6));
    QTRY_COMPARE(service.server.httpRequests().size(), 2);
    service.send({QJsonObject{{"type", "unplaced"}}, frameAt(7)});
    QTest::qWait(100);
    QCOMPARE(owner.log(), QStringList{"S4"});
    QTRY_COMPARE(owner.log(), (QStringList{"S4", "S5", "6", "unplaced", "7"}));
}

void TestSubscription::gapAmongHeldEventsStartsTheNextRepair() {
    Service service;
    service.snapshots = [](std::optional<qint64> after) {
        if (!after)
            return ScriptedAnswer::json(200, snapshotJson(4));
        return ScriptedAnswer::json(200, snapshotJson(*after == 4 ? 5 : 8));
    };
    service.server.setHttpDelay([](const RecordedRequest& r) { return afterOf(r) ? 200ms : 0ms; });
    API api(envFor(service.server), QStringLiteral("k"));
    Subscription feed(&api, QStringLiteral("rec-1"), QStringLiteral("es"), fast);
    Owner owner;
    owner.follow(feed);
    QVERIFY(!await(feed.open())->error);
    // 6 opens a repair; 9 waits behind it with 7 and 8 still missing when it ends.
    service.send({frameAt(6), frameAt(9)});
    QTRY_COMPARE(owner.log(), (QStringList{"S4", "S5", "6", "S8", "9"}));
    QCOMPARE(service.snapshotAfters(), (QList<std::optional<qint64>>{std::nullopt, 4, 6}));
}

void TestSubscription::failedRepairIsRetriedWithTheSameAfter() {
    Service service;
    int repairs = 0;
    service.snapshots = [&repairs](std::optional<qint64> after) {
        if (!after)
            return ScriptedAnswer::json(200, snapshotJson(4));
        if (++repairs <= 2)
            return ScriptedAnswer::json(500, R"({"code":"internal","message":"Try later."})");
        return ScriptedAnswer::json(200, snapshotJson(6));
    };
    API api(envFor(service.server), QStringLiteral("k"));
    Subscription feed(&api, QStringLiteral("rec-1"), QStringLiteral("es"), fast);
    Owner owner;
    owner.follow(feed);
    QVERIFY(!await(feed.open())->error);
    service.send({frameAt(5), frameAt(7)});
    QTRY_COMPARE(service.server.httpRequests().size(), 2);
    // Held meanwhile, repeats included.
    service.send(
        {frameAt(8), frameAt(7), QJsonObject{{"type", "unplaced"}}, frameAt(8), frameAt(9)});
    QTRY_COMPARE(owner.log(), (QStringList{"S4", "5", "S6", "7", "8", "unplaced", "9"}));
    QCOMPARE(service.snapshotAfters(), (QList<std::optional<qint64>>{std::nullopt, 5, 5, 5}));
    // Waits of 60 ms, then 120 ms.
    const QList<RecordedRequest> requests = service.server.httpRequests();
    QVERIFY(requests[2].receivedAtMs - requests[1].receivedAtMs >= 55);
    QVERIFY(requests[3].receivedAtMs - requests[2].receivedAtMs >= 110);
    QTest::qWait(100);
    QCOMPARE(owner.log().size(), 7);
    QVERIFY(owner.losses().isEmpty());
}

void TestSubscription::closeStopsRetriesAndDeliveries() {
    Service service;
    service.snapshots = [](std::optional<qint64> after) {
        if (!after)
            return ScriptedAnswer::json(200, snapshotJson(4));
        return ScriptedAnswer::json(503, R"({"code":"internal","message":"Down."})");
    };
    API api(envFor(service.server), QStringLiteral("k"));
    Subscription feed(&api, QStringLiteral("rec-1"), QStringLiteral("es"), fast);
    Owner owner;
    owner.follow(feed);
    QVERIFY(!await(feed.open())->error);
    service.send({frameAt(5), frameAt(7)});
    QTRY_VERIFY(service.server.httpRequests().size() >= 3);
    feed.close();
    QTRY_COMPARE(service.disconnects, 1);
    const qsizetype requests = service.server.httpRequests().size();
    QTest::qWait(600);
    QVERIFY(service.server.httpRequests().size() <= requests + 1);
    QCOMPARE(owner.log(), (QStringList{"S4", "5"}));
    QVERIFY(owner.losses().isEmpty());
}

void TestSubscription::lossOfAnOpenFeedIsReported() {
    Service service;
    service.snapshots = [](std::optional<qint64> after) {
        if (!after)
            return ScriptedAnswer::json(200, snapshotJson(4));
        return ScriptedAnswer::json(500, R"({"code":"internal","message":"Down."})");
    };
    API api(envFor(service.server), QStringLiteral("k"));
    Subscription feed(&api, QStringLiteral("rec-1"), QStringLiteral("es"), fast);
    Owner owner;
    owner.follow(feed);
    QVERIFY(!await(feed.open())->error);
    service.send({frameAt(5), frameAt(7)}); // a repair that keeps failing
    QTRY_VERIFY(service.server.httpRequests().size() >= 2);
    service.client->close(QWebSocketProtocol::CloseCodeGoingAway,
                          QStringLiteral("Recording moved to another server."));
    QTRY_COMPARE(owner.losses().size(), 1);
    QCOMPARE(owner.losses()[0], std::optional<QString>("Recording moved to another server."));
    // The lost feed stops repairing; nothing more is delivered.
    const qsizetype requests = service.server.httpRequests().size();
    QTest::qWait(500);
    QVERIFY(service.server.httpRequests().size() <= requests + 1);
    QCOMPARE(owner.log(), (QStringList{"S4", "5"}));
    feed.close();
    QTest::qWait(50);
    QCOMPARE(owner.losses().size(), 1);

    // A dropped connection is a loss too.
    Service dropping;
    API api2(envFor(dropping.server), QStringLiteral("k"));
    Subscription third(&api2, QStringLiteral("rec-1"), std::nullopt, fast);
    Owner owner3;
    owner3.follow(third);
    QVERIFY(!await(third.open())->error);
    dropping.client->abort();
    QTRY_COMPARE(owner3.losses().size(), 1);
    QVERIFY(owner3.losses()[0] && !owner3.losses()[0]->isEmpty());
}

void TestSubscription::closeByTheOwnerIsNoLoss() {
    Service service;
    API api(envFor(service.server), QStringLiteral("k"));
    auto feed =
        std::make_unique<Subscription>(&api, QStringLiteral("rec-1"), QStringLiteral("es"), fast);
    Owner owner;
    owner.follow(*feed);
    QVERIFY(!await(feed->open())->error);
    feed->close();
    QTRY_COMPARE(service.disconnects, 1);
    QTest::qWait(50);
    QVERIFY(owner.losses().isEmpty());

    // Destroying an open feed closes it without a word, too.
    auto other =
        std::make_unique<Subscription>(&api, QStringLiteral("rec-1"), QStringLiteral("es"), fast);
    Owner owner2;
    owner2.follow(*other);
    QVERIFY(!await(other->open())->error);
    other.reset();
    QTRY_COMPARE(service.disconnects, 2);
    QTest::qWait(50);
    QVERIFY(owner2.losses().isEmpty());
}

namespace {

// The service's side of the randomised run: the true event sequence, and snapshots of the true
// transcript at any position.
struct Truth {
    QList<QJsonObject> events; // events[i] is at position i + 1

    static Truth make(quint32 seed, int count) {
        QRandomGenerator random(seed);
        Truth truth;
        qint64 nextSeq = 1;
        qint64 nextSentence = 1;
        const QStringList vocabulary{"we",   "ship", "it",   "on",   "monday", "budget",
                                     "plan", "and",  "then", "team", "review", "numbers"};
        const auto phrase = [&](int words) {
            QStringList out;
            for (int i = 0; i < words; ++i)
                out.append(vocabulary.at(random.bounded(vocabulary.size())));
            return out.join(' ');
        };
        for (int i = 1; i <= count; ++i) {
            QJsonObject e;
            const int kind = (i == count) ? 0 : random.bounded(10);
            const qint64 known = nextSeq > 1 ? random.bounded(qint64(1), nextSeq) : 1;
            switch (kind) {
            case 0:
            case 1:
            case 2: {
                const qint64 seq = (random.bounded(8) == 0 && nextSeq > 1) ? known : nextSeq++;
                e = {{"type", "transcript.committed"},
                     {"segment",
                      QJsonObject{{"seq", seq},
                                  {"speaker", random.bounded(3)},
                                  {"start", double(seq) * 1.5},
                                  {"end", double(seq) * 1.5 + 1},
                                  {"text", phrase(random.bounded(1, 9))},
                                  {"translations", QJsonObject{{"es", phrase(3)}, {"fr", "x"}}}}}};
                break;
            }
            case 3:
            case 4:
                e = {{"type", "transcript.draft"},
                     {"segments",
                      QJsonArray{QJsonObject{{"text", phrase(random.bounded(0, 5))},
                                             {"translations", QJsonObject{{"es", phrase(2)}}}}}}};
                break;
            case 5:
                e = {{"type", "transcript.translated"},
                     {"seq", known},
                     {"translations", QJsonObject{{"es", phrase(2)}}}};
                break;
            case 6: {
                const qint64 first = known;
                e = {{"type", "transcript.sentence"},
                     {"sentence",
                      QJsonObject{{"sentenceId", random.bounded(4) == 0 ? 1 : nextSentence++},
                                  {"seqs", QJsonArray{first, first + 1}},
                                  {"text", "source"},
                                  {"speaker", 0},
                                  {"translations", QJsonObject{{"es", phrase(4)}}}}}};
                break;
            }
            case 7:
                e = {{"type", "transcript.amended"},
                     {"segment", QJsonObject{{"seq", known}, {"text", phrase(3)}}}};
                break;
            case 8:
                e = {{"type", "transcript.speakerNamed"},
                     {"speaker", random.bounded(3)},
                     {"name", phrase(1)}};
                break;
            default:
                e = {{"type", "noop"}};
                break;
            }
            e.insert("cursor", i);
            truth.events.append(e);
        }
        return truth;
    }

    Transcript at(qint64 position) const {
        Transcript t(QStringLiteral("es"));
        for (qint64 i = 0; i < position && i < events.size(); ++i)
            t.apply(events[i]);
        return t;
    }

    // The transcript at `lastSeq`: everything touched after `after` (all without it).
    QByteArray snapshot(std::optional<qint64> after, qint64 lastSeq) const {
        const Transcript t = at(lastSeq);
        QSet<qint64> segments, sentences, speakers;
        const bool all = !after;
        for (qint64 i = after.value_or(0); i < lastSeq; ++i) {
            const QJsonObject e = events[i];
            const QJsonObject inner = e.value("segment").toObject();
            if (inner.contains("seq"))
                segments.insert(inner.value("seq").toInteger());
            if (e.contains("seq"))
                segments.insert(e.value("seq").toInteger());
            if (e.contains("sentence"))
                sentences.insert(e.value("sentence").toObject().value("sentenceId").toInteger());
            if (e.contains("speaker") && e.contains("name"))
                speakers.insert(e.value("speaker").toInteger());
        }
        QJsonArray segmentViews, sentenceViews, speakerViews;
        for (const auto& [seq, s] : t.segments()) {
            if (!all && !segments.contains(seq))
                continue;
            QJsonObject view{{"seq", seq},
                             {"text", s.text},
                             {"start", s.start},
                             {"end", s.start + 1},
                             {"speaker", s.speaker}};
            if (s.translation)
                view.insert("translations", QJsonObject{{"es", *s.translation}});
            segmentViews.append(view);
        }
        for (const auto& [id, s] : t.sentences()) {
            if (!all && !sentences.contains(id))
                continue;
            QJsonArray seqs;
            for (qint64 seq : s.seqs)
                seqs.append(seq);
            sentenceViews.append(QJsonObject{{"sentenceId", id},
                                             {"seqs", seqs},
                                             {"text", "source"},
                                             {"speaker", 0},
                                             {"translations", QJsonObject{{"es", s.text}}}});
        }
        for (const auto& [speaker, name] : t.names())
            if (all || speakers.contains(speaker))
                speakerViews.append(QJsonObject{{"speaker", speaker}, {"name", name}});
        return compact({{"recordingId", "rec-1"},
                        {"lastSeq", lastSeq},
                        {"state", "live"},
                        {"segments", segmentViews},
                        {"sentences", sentenceViews},
                        {"speakers", speakerViews}});
    }
};

} // namespace

void TestSubscription::randomRepeatsDropsAndReorderings() {
    for (quint32 seed = 1; seed <= 8; ++seed) {
        const int count = 250;
        const Truth truth = Truth::make(seed, count);
        QRandomGenerator random(seed * 7919);

        // The delivery plan: each event once in order, then faults: drops, repeats (at once or
        // much later), swaps with the next one, and now and then an event long before its
        // time. The last five go out cleanly, so the end of the run is not left to a gap
        // nobody can see.
        QList<qint64> faulty;
        QList<std::pair<qint64, qint64>> later; // (send once this position has gone, position)
        const qint64 tailFrom = count - 4;
        for (qint64 p = 1; p < tailFrom; ++p) {
            const int roll = random.bounded(100);
            if (roll < 10) {
                // dropped
            } else if (roll < 20) {
                faulty.append({p, p});
            } else if (roll < 25) {
                faulty.append(p);
                later.append({std::min(tailFrom - 1, p + random.bounded(5, 40)), p});
            } else if (roll < 35 && p + 1 < tailFrom) {
                faulty.append({p + 1, p});
                ++p;
            } else if (roll < 37) {
                faulty.append(std::min(tailFrom - 1, p + random.bounded(10, 60)));
                faulty.append(p);
            } else {
                faulty.append(p);
            }
            for (qsizetype i = 0; i < later.size();) {
                if (later[i].first <= p) {
                    faulty.append(later[i].second);
                    later.removeAt(i);
                } else {
                    ++i;
                }
            }
        }
        for (const auto& [due, p] : std::as_const(later))
            faulty.append(p);
        for (qint64 p = tailFrom; p <= count; ++p)
            faulty.append(p);

        Service service;
        qint64 emitted = 0; // the highest position the service has produced so far
        service.greeting = {};
        service.snapshots = [&](std::optional<qint64> after) {
            // Now and then a repair fails and must be retried.
            if (after && random.bounded(100) < 20)
                return ScriptedAnswer::json(500, R"({"code":"internal","message":"Busy."})");
            return ScriptedAnswer::json(200, truth.snapshot(after, emitted));
        };
        service.server.setHttpDelay([&random](const RecordedRequest&) {
            return std::chrono::milliseconds(random.bounded(30));
        });

        API api(envFor(service.server), QStringLiteral("k"));
        Subscription feed(
            &api, QStringLiteral("rec-1"), QStringLiteral("es"),
            Subscription::Timing{.goAhead = 5s, .firstRetry = 10ms, .maxRetry = 40ms});
        Owner owner;
        owner.follow(feed);

        // Some events come before the go-ahead; the rest in bursts while the feed runs, and the
        // clean tail one at a time once the bursts are over.
        const qsizetype tail = faulty.size() - (count - tailFrom + 1);
        qsizetype next = 0;
        const auto sendSome = [&](qsizetype n, qsizetype until) {
            for (; n > 0 && next < until; --n, ++next) {
                const qint64 p = faulty[next];
                emitted = std::max(emitted, p);
                service.send(truth.events[p - 1]);
            }
        };
        connect(&service.server, &LoopbackServer::accepted, this, [&] {
            sendSome(10, tail);
            service.client->sendTextMessage(R"({"type":"subscribe.ready"})");
        });
        bool tailGo = false;
        QTimer pump;
        connect(&pump, &QTimer::timeout, this, [&] {
            if (!service.client)
                return;
            if (next < tail)
                sendSome(random.bounded(1, 4), tail);
            else if (tailGo)
                sendSome(1, faulty.size());
        });
        pump.start(5);
        auto out = await(feed.open(), 20s);
        QVERIFY2(out->finished && !out->error, qPrintable(describe(out->error)));
        QTRY_VERIFY_WITH_TIMEOUT(next == tail, 30000);
        pump.setInterval(100);
        tailGo = true;
        QTRY_VERIFY_WITH_TIMEOUT(next == faulty.size(), 30000);
        pump.stop();

        // The owner has everything once a delivery or a snapshot reaches the last position.
        const auto reached = [&owner] {
            qint64 top = -1;
            const QStringList log = owner.log();
            for (const QString& entry : log)
                top = std::max(top, entry.startsWith('S') ? entry.mid(1).toLongLong()
                                                          : entry.toLongLong());
            return top;
        };
        QTRY_COMPARE_WITH_TIMEOUT(reached(), qint64(count), 20000);
        QTest::qWait(50);

        const Transcript expected = truth.at(count);
        const Transcript got = owner.transcript();
        const QStringList log = owner.log();
        const QList<QJsonObject> frames = owner.frames();
        QCOMPARE(got.segments(), expected.segments());
        QCOMPARE(got.sentences(), expected.sentences());
        QCOMPARE(got.names(), expected.names());
        // A snapshot carries no draft: when the last event (a commit) came as a snapshot, an
        // older draft may still show. Delivered as an event, it leaves the very same transcript.
        if (log.last() == QString::number(count)) {
            QVERIFY(got == expected);
            QCOMPARE(got.lines(60), expected.lines(60));
            QCOMPARE(got.lines(40), expected.lines(40));
        } else {
            QCOMPARE(got.linesFromScratch(60).size(), expected.lines(60).size());
        }

        // Every event reached the owner at most once, in order, as the service made it.
        qint64 last = -1;
        qsizetype frameIndex = 0;
        for (const QString& entry : log) {
            if (entry.startsWith('S')) {
                last = std::max(last, entry.mid(1).toLongLong());
                continue;
            }
            const qint64 p = entry.toLongLong();
            QVERIFY2(p > last,
                     qPrintable(QStringLiteral("seed %1: %2 after %3").arg(seed).arg(p).arg(last)));
            QCOMPARE(frames[frameIndex++], truth.events[p - 1]);
            last = p;
        }
        QCOMPARE(last, qint64(count));
        QVERIFY(owner.losses().isEmpty());
        QVERIFY(service.server.httpRequests().size() >= 2); // some repairs really happened
    }
}

QTEST_GUILESS_MAIN(TestSubscription)
#include "tst_Subscription.moc"
