// Bad input never crashes the service: malformed and oversized HTTP (413 past the body limit,
// for both framings), malformed JSON and wrong types on every route that reads a body, hostile
// search text, garbage on both WebSockets, and hundreds of idle connections. The server must
// still answer afterwards and exit cleanly (so sanitizer builds report nothing).
#include "ServerProcess.h"
#include "SpeechAudio.h"
#include "TestClient.h"
#include "WsClient.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QTcpSocket>
#include <QTest>

using namespace pq::test;

namespace {

// Sends raw bytes on a new connection and returns everything the server sent until it closed.
QByteArray rawExchange(quint16 port, const QByteArray& head, qint64 bodyBytes = 0,
                       const QByteArray& bodyChunk = {}, int timeoutMs = 10'000) {
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(5000))
        return "no connection";
    socket.write(head);
    QByteArray answer;
    qint64 sent = 0;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < timeoutMs) {
        if (sent < bodyBytes && socket.state() == QAbstractSocket::ConnectedState &&
            socket.bytesToWrite() < (1 << 20)) {
            const QByteArray chunk = bodyChunk.isEmpty() ? QByteArray(64 * 1024, 'x') : bodyChunk;
            socket.write(chunk);
            sent += chunk.size();
        }
        socket.waitForReadyRead(20);
        answer += socket.readAll();
        if (socket.state() == QAbstractSocket::UnconnectedState)
            break;
    }
    answer += socket.readAll();
    return answer;
}

int statusOf(const QByteArray& answer) {
    if (!answer.startsWith("HTTP/1.1 "))
        return 0;
    return answer.mid(9, 3).toInt();
}

QJsonObject bodyOf(const QByteArray& answer) {
    const qsizetype split = answer.indexOf("\r\n\r\n");
    return QJsonDocument::fromJson(answer.mid(split + 4)).object();
}

} // namespace

class TestServerHostile : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void oversizedBodyWithLength();
    void oversizedChunkedBody();
    void bodyUpToTheLimitIsRead();
    void oversizedBodyThroughQt();
    void malformedHttp_data();
    void malformedHttp();
    void malformedBodies_data();
    void malformedBodies();
    void searchFindsAndQuotesHostileText_data();
    void searchFindsAndQuotesHostileText();
    void garbageOnTheUplink();
    void garbageOnTheFeed();
    void fiveHundredIdleSockets();

private:
    QByteArray head(const QByteArray& method, const QByteArray& path,
                    const QByteArray& extra) const;
    std::unique_ptr<ServerProcess> m_server;
    std::unique_ptr<TestClient> m_api;
    QString m_recording;
};

void TestServerHostile::initTestCase() {
    m_server = std::make_unique<ServerProcess>(QStringList{
        QStringLiteral("--grammar"), QStringLiteral(PQ_TEST_DATA "/server/sentences.jsgf")});
    QVERIFY2(m_server->start(), qPrintable(m_server->error()));
    QVERIFY2(m_server->waitForRecognizer(), qPrintable(m_server->error()));
    m_api = std::make_unique<TestClient>(m_server->base(), m_server->key());

    // One recording with two known sentences, for search.
    const LiveStart grant = m_api->startRecording(
        m_api->createLive(QStringLiteral("Travel <notes> & plans")), QStringLiteral("linux-h"));
    QCOMPARE(grant.status, 201);
    m_recording = grant.recording;
    QString error;
    const QByteArray audio =
        SpeechAudio::synthesize({QStringLiteral("Where is the nearest station?"),
                                 QStringLiteral("Please open the window.")},
                                1.0, &error);
    QVERIFY2(!audio.isEmpty(), qPrintable(error));
    WsClient uplink;
    QVERIFY(uplink.open(QUrl(grant.streamUrl)));
    QVERIFY(uplink.waitForType(QStringLiteral("session.ready"), 30'000));
    SpeechAudio::stream(uplink, audio, 4.0);
    QCOMPARE(m_api->post(QStringLiteral("/v1/recordings/%1/stop").arg(m_recording), {}).status,
             200);
    QVERIFY(uplink.waitForType(QStringLiteral("session.done"), 30'000));
}

void TestServerHostile::cleanupTestCase() {
    m_api.reset();
    if (m_server) {
        QVERIFY(m_server->running());
        QCOMPARE(m_server->stop(), 0);
    }
}

QByteArray TestServerHostile::head(const QByteArray& method, const QByteArray& path,
                                   const QByteArray& extra) const {
    return method + ' ' + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer " +
           m_server->key().toUtf8() + "\r\nContent-Type: application/json\r\n" + extra + "\r\n";
}

void TestServerHostile::oversizedBodyWithLength() {
    // The answer comes as soon as the head is read, and the connection is closed.
    const QByteArray answer = rawExchange(
        m_server->port(), head("POST", "/v1/transcriptions/live", "Content-Length: 5000000\r\n"),
        5'000'000);
    QCOMPARE(statusOf(answer), 413);
    QCOMPARE(bodyOf(answer).value(QStringLiteral("code")).toString(), QStringLiteral("too_large"));
    QVERIFY(answer.contains("Connection: close"));
    // A length that is not a number.
    QCOMPARE(statusOf(rawExchange(m_server->port(), head("POST", "/v1/transcriptions/live",
                                                         "Content-Length: 12abc\r\n"))),
             400);
    QCOMPARE(statusOf(rawExchange(m_server->port(),
                                  head("POST", "/v1/transcriptions/live",
                                       "Content-Length: 99999999999999999999999\r\n"))),
             400);
    QCOMPARE(
        statusOf(rawExchange(m_server->port(), head("POST", "/v1/transcriptions/live",
                                                    "Content-Length: 2\r\nContent-Length: 3\r\n"))),
        400);
    QCOMPARE(statusOf(rawExchange(m_server->port(),
                                  head("POST", "/v1/transcriptions/live",
                                       "Content-Length: 2\r\nTransfer-Encoding: chunked\r\n"))),
             400);
    QCOMPARE(statusOf(rawExchange(m_server->port(), head("POST", "/v1/transcriptions/live",
                                                         "Transfer-Encoding: gzip\r\n"))),
             501);
}

void TestServerHostile::oversizedChunkedBody() {
    const QByteArray chunk =
        QByteArray::number(60000, 16) + "\r\n" + QByteArray(60000, ' ') + "\r\n";
    const QByteArray answer = rawExchange(
        m_server->port(), head("POST", "/v1/transcriptions/live", "Transfer-Encoding: chunked\r\n"),
        3'000'000, chunk);
    QCOMPARE(statusOf(answer), 413);
    // A chunk size that is not hexadecimal.
    QCOMPARE(statusOf(rawExchange(m_server->port(), head("POST", "/v1/transcriptions/live",
                                                         "Transfer-Encoding: chunked\r\n") +
                                                        "zz\r\n")),
             400);
    // A small chunked body is read normally.
    const QByteArray json = R"({"name":"Chunked","settings":{},"source":{}})";
    const QByteArray body = QByteArray::number(json.size(), 16) + "\r\n" + json + "\r\n0\r\n\r\n";
    const QByteArray ok =
        rawExchange(m_server->port(), head("POST", "/v1/transcriptions/live",
                                           "Transfer-Encoding: chunked\r\nConnection: close\r\n") +
                                          body);
    QCOMPARE(statusOf(ok), 201);
    QCOMPARE(bodyOf(ok).value(QStringLiteral("name")).toString(), QStringLiteral("Chunked"));
}

void TestServerHostile::bodyUpToTheLimitIsRead() {
    // 1 MiB exactly: parsed (and refused for its content, not its size).
    QByteArray json = R"({"settings":{},"source":{},"name":")";
    json += QByteArray((1 << 20) - json.size() - 2, 'a') + "\"}";
    QCOMPARE(json.size(), 1 << 20);
    const Answer a = m_api->send("POST", QStringLiteral("/v1/transcriptions/live"), json);
    QCOMPARE(a.status, 400);
    QCOMPARE(
        a.json().value(QStringLiteral("data")).toObject().value(QStringLiteral("field")).toString(),
        QStringLiteral("name"));
    // And the connection goes on serving.
    QCOMPARE(m_api->get(QStringLiteral("/v1/me")).status, 200);
}

void TestServerHostile::oversizedBodyThroughQt() {
    const Answer a =
        m_api->send("POST", QStringLiteral("/v1/realtime/sessions"), QByteArray(3 << 20, ' '));
    QCOMPARE(a.status, 413);
    QCOMPARE(a.code(), QStringLiteral("too_large"));
    QCOMPARE(m_api->get(QStringLiteral("/v1/me")).status, 200);
}

void TestServerHostile::malformedHttp_data() {
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<int>("status");
    QTest::newRow("not http") << QByteArray("HELLO THERE\r\n\r\n") << 400;
    QTest::newRow("bad version") << QByteArray("GET /v1/me HTTP/9.9\r\nHost: x\r\n\r\n") << 400;
    QTest::newRow("no slash") << QByteArray("GET v1/me HTTP/1.1\r\nHost: x\r\n\r\n") << 400;
    QTest::newRow("space in target")
        << QByteArray("GET /v1/m e HTTP/1.1\r\nHost: x\r\n\r\n") << 400;
    QTest::newRow("header without colon")
        << QByteArray("GET /v1/me HTTP/1.1\r\nHost x\r\n\r\n") << 400;
    QTest::newRow("folded header")
        << QByteArray("GET /v1/me HTTP/1.1\r\nHost: x\r\n continued\r\n\r\n") << 400;
    QTest::newRow("huge header") << (QByteArray("GET /v1/me HTTP/1.1\r\nX-Big: ") +
                                     QByteArray(40'000, 'b') + "\r\n\r\n")
                                 << 431;
    QTest::newRow("other upgrade")
        << QByteArray(
               "GET /v1/me HTTP/1.1\r\nHost: x\r\nUpgrade: h2c\r\nConnection: Upgrade\r\n\r\n")
        << 400;
    QByteArray garbage(4000, '\0');
    auto* rng = QRandomGenerator::global();
    for (auto& c : garbage)
        c = char(rng->bounded(256));
    QTest::newRow("random bytes") << (garbage + "\r\n\r\n") << 400;
}

void TestServerHostile::malformedHttp() {
    QFETCH(QByteArray, request);
    QFETCH(int, status);
    const QByteArray answer = rawExchange(m_server->port(), request);
    QCOMPARE(statusOf(answer), status);
    QCOMPARE(
        bodyOf(answer).value(QStringLiteral("data")).toObject().value(QStringLiteral("retryable")),
        QJsonValue(false));
    QCOMPARE(m_api->get(QStringLiteral("/v1/me")).status, 200);
}

void TestServerHostile::malformedBodies_data() {
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("body");
    const QString live = QStringLiteral("/v1/transcriptions/live");
    const QString rt = QStringLiteral("/v1/realtime/sessions");
    const QString settings = QStringLiteral("/v1/recordings/%1/settings");
    const QString recordings = QStringLiteral("/v1/transcriptions/tr_x/recordings");
    const QByteArray deep = QByteArray(5000, '[') + QByteArray(5000, ']');
    const QList<QPair<const char*, QByteArray>> junk = {
        {"null", "null"},
        {"string", "\"text\""},
        {"number", "42"},
        {"truncated", "{\"a\":"},
        {"deep", deep},
        {"bad utf-8", "{\"name\":\"\xff\xfe\"}"},
        {"nul", QByteArray("{\"a\":\0}", 8)},
    };
    for (const auto& [name, body] : junk) {
        QTest::newRow(qPrintable(QStringLiteral("live %1").arg(QLatin1String(name))))
            << QByteArray("POST") << live << body;
        QTest::newRow(qPrintable(QStringLiteral("realtime %1").arg(QLatin1String(name))))
            << QByteArray("POST") << rt << body;
        QTest::newRow(qPrintable(QStringLiteral("settings %1").arg(QLatin1String(name))))
            << QByteArray("PATCH") << settings << body;
        QTest::newRow(qPrintable(QStringLiteral("stop %1").arg(QLatin1String(name))))
            << QByteArray("POST") << QStringLiteral("/v1/recordings/%1/stop") << body;
    }
    QTest::newRow("realtime types")
        << QByteArray("POST") << rt
        << QByteArray(R"({"spokenLanguage":["en"],"translate":{"es":1}})");
    QTest::newRow("realtime labels")
        << QByteArray("POST") << rt << QByteArray(R"({"speakerLabels":7})");
    QTest::newRow("settings types")
        << QByteArray("PATCH") << settings << QByteArray(R"({"spokenLanguage":{"x":1}})");
    QTest::newRow("start types") << QByteArray("POST") << recordings
                                 << QByteArray(R"({"takeover":1,"deviceId":[]})");
}

void TestServerHostile::malformedBodies() {
    QFETCH(QByteArray, method);
    QFETCH(QString, path);
    QFETCH(QByteArray, body);
    const Answer a = m_api->send(
        method, path.contains(QLatin1String("%1")) ? path.arg(m_recording) : path, body);
    if (path.contains(QLatin1String("tr_x")))
        QCOMPARE(a.status, 404); // the transcription is looked up first
    else
        QCOMPARE(a.status, 400);
    QVERIFY(!a.json().value(QStringLiteral("message")).toString().isEmpty());
}

void TestServerHostile::searchFindsAndQuotesHostileText_data() {
    QTest::addColumn<QString>("q");
    QTest::addColumn<int>("hits");
    QTest::newRow("word") << QStringLiteral("window") << 1;
    QTest::newRow("two words anywhere") << QStringLiteral("WINDOW open") << 1;
    QTest::newRow("accents folded") << QStringLiteral("wíndow") << 1;
    QTest::newRow("operator as a word") << QStringLiteral("open AND") << 0;
    QTest::newRow("dangling operator") << QStringLiteral("foo AND") << 0;
    QTest::newRow("NOT") << QStringLiteral("NOT window") << 0;
    QTest::newRow("a quote") << QStringLiteral("\"") << 0;
    QTest::newRow("quotes around") << QStringLiteral("\"nearest station\"") << 1;
    QTest::newRow("unbalanced quote") << QStringLiteral("\"nearest") << 1;
    QTest::newRow("NEAR group") << QStringLiteral("NEAR(open window)") << 0;
    QTest::newRow("prefix star") << QStringLiteral("win*") << 0;
    QTest::newRow("column filter") << QStringLiteral("text:window") << 0;
    QTest::newRow("caret is punctuation") << QStringLiteral("^window") << 1;
    QTest::newRow("parens") << QStringLiteral("( ) - + *") << 0;
    QTest::newRow("emoji") << QStringLiteral("😀") << 0;
    QTest::newRow("emoji and word") << QStringLiteral("😀 window") << 1;
    QTest::newRow("sql") << QStringLiteral("'; DROP TABLE sentences; --") << 0;
    QTest::newRow("blank") << QStringLiteral("   ") << 0;
    QTest::newRow("long") << QString(500, QLatin1Char('a')) << 0;
}

void TestServerHostile::searchFindsAndQuotesHostileText() {
    QFETCH(QString, q);
    QFETCH(int, hits);
    const Answer a = m_api->get(QStringLiteral("/v1/search?limit=20&q=") +
                                QString::fromLatin1(QUrl::toPercentEncoding(q)));
    QCOMPARE(a.status, 200);
    const QJsonArray list = a.json().value(QStringLiteral("hits")).toArray();
    QCOMPARE(list.size(), hits);
    if (hits == 0)
        return;
    QJsonObject hit = list.first().toObject();
    QVERIFY(
        hit.take(QStringLiteral("transcriptionId")).toString().startsWith(QLatin1String("tr_")));
    const double start = hit.take(QStringLiteral("mediaStart")).toDouble();
    QVERIFY(start > 0.5);
    const QString text = hit.value(QStringLiteral("text")).toString();
    QVERIFY(text == QLatin1String("Please open the window.") ||
            text == QLatin1String("Where is the nearest station?"));
    QCOMPARE(hit.value(QStringLiteral("recordingId")).toString(), m_recording);
    QCOMPARE(hit.value(QStringLiteral("linkName")).toString(),
             QStringLiteral("Travel <notes> & plans"));
    QVERIFY(hit.value(QStringLiteral("sentenceId")).toInteger() >= 1);
    if (q == QLatin1String("window")) {
        QCOMPARE(hit.value(QStringLiteral("rendered")).toString(),
                 QStringLiteral("Please open the <mark>window</mark>."));
        QCOMPARE(hit.value(QStringLiteral("sentenceId")).toInteger(), 2);
    }
    if (q == QLatin1String("WINDOW open"))
        QCOMPARE(hit.value(QStringLiteral("rendered")).toString(),
                 QStringLiteral("Please <mark>open</mark> the <mark>window</mark>."));
}

void TestServerHostile::garbageOnTheUplink() {
    auto* rng = QRandomGenerator::global();
    const Answer created = m_api->post(QStringLiteral("/v1/realtime/sessions"), QJsonObject());
    WsClient uplink;
    QVERIFY(uplink.open(QUrl(created.json().value(QStringLiteral("streamUrl")).toString())));
    QVERIFY(uplink.waitForType(QStringLiteral("session.ready"), 30'000));
    // Samples that are not numbers, infinities and huge values are audio too, just loud.
    QByteArray weird;
    for (float f : {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                    -std::numeric_limits<float>::infinity(), 1e30f, -1e30f, 0.5f})
        weird.append(reinterpret_cast<const char*>(&f), 4);
    uplink.sendBinary(weird.repeated(700));
    for (int i = 0; i < 60; ++i) {
        QByteArray frame(int(rng->bounded(1, 20000)), '\0');
        for (auto& c : frame)
            c = char(rng->bounded(256));
        uplink.sendBinary(frame);
        if (i % 5 == 0)
            uplink.sendText(QString::fromLatin1(frame.left(200).toBase64()));
    }
    // Over a megabyte in one frame: the socket is closed (1009), the session ends.
    uplink.sendBinary(QByteArray(2 << 20, '\0'));
    QVERIFY(uplink.waitClosed(10'000));
    QCOMPARE(m_api->get(QStringLiteral("/v1/me")).status, 200);

    // Raw bytes after the handshake, not framed at all.
    const Answer second = m_api->post(QStringLiteral("/v1/realtime/sessions"), QJsonObject());
    const QUrl url(second.json().value(QStringLiteral("streamUrl")).toString());
    QTcpSocket raw;
    raw.connectToHost(QHostAddress::LocalHost, m_server->port());
    QVERIFY(raw.waitForConnected(5000));
    raw.write("GET " + url.path().toUtf8() + "?" + url.query().toUtf8() +
              " HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
              "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n");
    QVERIFY(raw.waitForReadyRead(5000));
    QVERIFY(raw.readAll().startsWith("HTTP/1.1 101"));
    QByteArray junk(8192, '\0');
    for (auto& c : junk)
        c = char(rng->bounded(256));
    raw.write(junk);
    QTRY_VERIFY_WITH_TIMEOUT(
        raw.state() == QAbstractSocket::UnconnectedState || !raw.waitForReadyRead(50), 10'000);
    raw.abort();
    QCOMPARE(m_api->get(QStringLiteral("/v1/me")).status, 200);
}

void TestServerHostile::garbageOnTheFeed() {
    WsClient feed;
    QVERIFY(
        feed.open(m_server->wsUrl(QStringLiteral("/v1/recordings/%1/subscribe").arg(m_recording)),
                  m_server->key()));
    QVERIFY(feed.waitForType(QStringLiteral("subscribe.ready"), 5000));
    feed.sendText(QStringLiteral("{\"type\":\"subscribe.ready\"}"));
    feed.sendText(QStringLiteral("nonsense"));
    feed.sendBinary(QByteArray(1000, '\x7f'));
    QTest::qWait(300);
    QVERIFY(!feed.closed); // readers' messages are ignored
    QCOMPARE(feed.frames.size(), 1);
    feed.sendBinary(QByteArray(200'000, 'x'));
    QVERIFY(feed.waitClosed(5000));
    QCOMPARE(feed.closeCode, 1009);
    QCOMPARE(m_api->get(QStringLiteral("/v1/me")).status, 200);
}

void TestServerHostile::fiveHundredIdleSockets() {
    std::vector<std::unique_ptr<WsClient>> feeds;
    std::vector<std::unique_ptr<QTcpSocket>> idle;
    const QUrl feedUrl =
        m_server->wsUrl(QStringLiteral("/v1/recordings/%1/subscribe").arg(m_recording));
    for (int i = 0; i < 250; ++i) {
        auto socket = std::make_unique<QTcpSocket>();
        socket->connectToHost(QHostAddress::LocalHost, m_server->port());
        idle.push_back(std::move(socket));
        auto feed = std::make_unique<WsClient>();
        QNetworkRequest request(feedUrl);
        request.setRawHeader("Authorization", "Bearer " + m_server->key().toUtf8());
        feed->socket.open(request);
        feeds.push_back(std::move(feed));
    }
    QTRY_VERIFY_WITH_TIMEOUT(
        std::all_of(
            feeds.begin(), feeds.end(),
            [](const auto& f) { return !f->ofType(QStringLiteral("subscribe.ready")).isEmpty(); }),
        60'000);
    for (const auto& s : idle)
        QCOMPARE(s->state(), QAbstractSocket::ConnectedState);

    // With all of them open the service still answers, and starts live sessions.
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(m_api->get(QStringLiteral("/v1/me")).status, 200);
    QVERIFY(clock.elapsed() < 5000);
    const Answer created = m_api->post(QStringLiteral("/v1/realtime/sessions"), QJsonObject());
    QCOMPARE(created.status, 201);
    WsClient uplink;
    QVERIFY(uplink.open(QUrl(created.json().value(QStringLiteral("streamUrl")).toString())));
    QVERIFY(uplink.waitForType(QStringLiteral("session.ready"), 30'000));
    uplink.sendJson(QJsonObject{{QStringLiteral("type"), QStringLiteral("eof")}});
    QVERIFY(uplink.waitForType(QStringLiteral("session.done"), 10'000));

    for (auto& f : feeds)
        f->socket.abort();
    for (auto& s : idle)
        s->abort();
    feeds.clear();
    idle.clear();
    QTest::qWait(300);
    QCOMPARE(m_api->get(QStringLiteral("/v1/me")).status, 200);
}

QTEST_MAIN(TestServerHostile)
#include "tst_ServerHostile.moc"
