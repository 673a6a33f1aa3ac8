// The WebSocket wrapper against a real WebSocket server on loopback: headers, frames that are
// and are not objects, sends, every way a connection ends (reported once), the opening time-out,
// the message size limit, and use from another thread.
#include "API.h"
#include "LoopbackServer.h"
#include "Socket.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>
#include <QTimer>
#include <QWebSocket>

#include <thread>

using namespace pq;
using namespace pq::test;
using namespace std::chrono_literals;

namespace {

// What a socket reported, collected through ordinary connections.
struct Reports {
    QList<QJsonObject> frames;
    QList<std::optional<QString>> ends;

    explicit Reports(Socket& socket) {
        QObject::connect(&socket, &Socket::frameReceived,
                         [this](const QJsonObject& f) { frames.append(f); });
        QObject::connect(&socket, &Socket::closed,
                         [this](const std::optional<QString>& r) { ends.append(r); });
    }
};

// The server side of the latest connection, with what it received.
struct Peer {
    QWebSocket* socket = nullptr;
    QList<QByteArray> texts;
    QList<QByteArray> binaries;
    bool disconnected = false;
    QWebSocketProtocol::CloseCode closeCode = QWebSocketProtocol::CloseCodeNormal;

    explicit Peer(LoopbackServer& server) {
        QObject::connect(&server, &LoopbackServer::accepted, [this](QWebSocket* client) {
            socket = client;
            QObject::connect(client, &QWebSocket::textMessageReceived,
                             [this](const QString& t) { texts.append(t.toUtf8()); });
            QObject::connect(client, &QWebSocket::binaryMessageReceived,
                             [this](const QByteArray& b) { binaries.append(b); });
            QObject::connect(client, &QWebSocket::disconnected, [this, client] {
                disconnected = true;
                closeCode = client->closeCode();
            });
        });
    }
};

QByteArray compact(const QJsonObject& o) {
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

bool settleFor(std::chrono::milliseconds quiet) {
    QTest::qWait(static_cast<int>(quiet.count()));
    return true;
}

} // namespace

class TestSocket : public QObject {
    Q_OBJECT

private slots:
    void headersOnTheUpgrade();
    void deliversOnlyObjectsAndKeepsReceiving();
    void sendsTextAndBinaryWhileOpen();
    void closeTwiceReportsOnce();
    void peerCloseReason();
    void peerCloseWithoutReason();
    void connectionDropped();
    void connectionRefused();
    void upgradeRefused();
    void openingTimesOut();
    void closeBeforeOpenOpensNothing();
    void messageSizeLimit();
    void sendAndCloseFromAnotherThread();
};

void TestSocket::headersOnTheUpgrade() {
    LoopbackServer server;
    Socket withKey(server.wsURL("/v1/x?a=1"), QStringLiteral("pq_key_1"));
    withKey.open();
    QTRY_COMPARE(server.upgrades().size(), 1);
    const RecordedRequest first = server.upgrades().first();
    QCOMPARE(first.target, QByteArray("/v1/x?a=1"));
    QCOMPARE(first.header("Authorization"), QByteArray("Bearer pq_key_1"));
    QCOMPARE(first.header("User-Agent"), API::userAgent().toUtf8());
    QVERIFY(first.header("User-Agent").startsWith("Parloquent-Linux/"));

    Socket anonymous(server.wsURL("/v1/y"), std::nullopt);
    anonymous.open();
    QTRY_COMPARE(server.upgrades().size(), 2);
    QVERIFY(!server.upgrades().last().hasHeader("Authorization"));
    QCOMPARE(server.upgrades().last().header("User-Agent"), API::userAgent().toUtf8());
}

void TestSocket::deliversOnlyObjectsAndKeepsReceiving() {
    LoopbackServer server;
    connect(&server, &LoopbackServer::accepted, this, [](QWebSocket* client) {
        client->sendTextMessage(R"({"type":"first","n":1})");
        client->sendTextMessage(R"([{"type":"array"}])");
        client->sendTextMessage("not json at all");
        client->sendTextMessage(R"("a string")");
        client->sendTextMessage("");
        client->sendBinaryMessage(R"({"type":"binary"})");
        client->sendTextMessage(R"({"type":"second","nested":{"a":[1,2]}})");
    });
    Socket socket(server.wsURL("/feed"), std::nullopt);
    Reports reports(socket);
    socket.open();
    QTRY_COMPARE(reports.frames.size(), 2);
    QCOMPARE(reports.frames[0].value("type").toString(), QStringLiteral("first"));
    QCOMPARE(reports.frames[1].value("type").toString(), QStringLiteral("second"));
    QCOMPARE(reports.frames[1].value("nested").toObject().value("a").toArray().size(), 2);
    QVERIFY(settleFor(100ms));
    QCOMPARE(reports.frames.size(), 2);
    QVERIFY(reports.ends.isEmpty());
    QVERIFY(socket.isRunning());
}

void TestSocket::sendsTextAndBinaryWhileOpen() {
    LoopbackServer server;
    Peer peer(server);
    Socket socket(server.wsURL("/up"), std::nullopt);
    // Before the connection is up nothing can go out.
    socket.send(QJsonObject{{"type", "early"}});
    socket.open();
    socket.send(QJsonObject{{"type", "connecting"}});
    QTRY_VERIFY(peer.socket);
    QTRY_VERIFY(socket.isRunning());
    QTest::qWait(20);

    const QJsonObject message{{"type", "clock"}, {"pcm", 16000}, {"wall", 1.5}};
    socket.send(message);
    socket.sendBinary(QByteArray("\x00\x01\x02\xff", 4));
    QTRY_COMPARE(peer.texts.size(), 1);
    QTRY_COMPARE(peer.binaries.size(), 1);
    QCOMPARE(QJsonDocument::fromJson(peer.texts[0]).object(), message);
    QCOMPARE(peer.binaries[0], QByteArray("\x00\x01\x02\xff", 4));

    socket.close();
    socket.send(message);
    socket.sendBinary("late");
    QTRY_VERIFY(peer.disconnected);
    QVERIFY(settleFor(50ms));
    QCOMPARE(peer.texts.size(), 1);
    QCOMPARE(peer.binaries.size(), 1);
}

void TestSocket::closeTwiceReportsOnce() {
    LoopbackServer server;
    Peer peer(server);
    Socket socket(server.wsURL("/up"), std::nullopt);
    Reports reports(socket);
    socket.open();
    QTRY_VERIFY(peer.socket);
    QVERIFY(socket.isRunning());
    QVERIFY(!socket.isClosed());
    socket.close();
    socket.close();
    QCOMPARE(reports.ends.size(), 1);
    QCOMPARE(reports.ends[0], std::nullopt);
    QVERIFY(socket.isClosed());
    QVERIFY(!socket.isRunning());
    QTRY_VERIFY(peer.disconnected);
    QCOMPARE(peer.closeCode, QWebSocketProtocol::CloseCodeNormal);
    QVERIFY(settleFor(50ms));
    QCOMPARE(reports.ends.size(), 1);
}

void TestSocket::peerCloseReason() {
    LoopbackServer server;
    connect(&server, &LoopbackServer::accepted, this, [](QWebSocket* client) {
        client->sendTextMessage(R"({"type":"last"})");
        client->close(QWebSocketProtocol::CloseCodeGoingAway, QStringLiteral("Wartung – bye"));
    });
    Socket socket(server.wsURL("/up"), std::nullopt);
    Reports reports(socket);
    socket.open();
    QTRY_COMPARE(reports.ends.size(), 1);
    QCOMPARE(reports.ends[0], std::optional<QString>(QStringLiteral("Wartung – bye")));
    QCOMPARE(reports.frames.size(), 1);
    QVERIFY(!socket.isRunning());
    socket.close();
    QVERIFY(settleFor(50ms));
    QCOMPARE(reports.ends.size(), 1);
}

void TestSocket::peerCloseWithoutReason() {
    LoopbackServer server;
    connect(&server, &LoopbackServer::accepted, this, [](QWebSocket* client) { client->close(); });
    Socket socket(server.wsURL("/up"), std::nullopt);
    Reports reports(socket);
    socket.open();
    QTRY_COMPARE(reports.ends.size(), 1);
    QCOMPARE(reports.ends[0], std::nullopt);
}

void TestSocket::connectionDropped() {
    LoopbackServer server;
    connect(&server, &LoopbackServer::accepted, this, [](QWebSocket* client) {
        QTimer::singleShot(30, client, [client] { client->abort(); });
    });
    Socket socket(server.wsURL("/up"), std::nullopt);
    Reports reports(socket);
    socket.open();
    QTRY_COMPARE(reports.ends.size(), 1);
    QVERIFY(reports.ends[0]);
    QVERIFY(!reports.ends[0]->isEmpty());
    QVERIFY(settleFor(100ms));
    QCOMPARE(reports.ends.size(), 1);
}

void TestSocket::connectionRefused() {
    quint16 port = 0;
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        port = probe.serverPort();
    }
    Socket socket(QUrl(QStringLiteral("ws://127.0.0.1:%1/up").arg(port)), std::nullopt);
    Reports reports(socket);
    socket.open();
    QTRY_COMPARE(reports.ends.size(), 1);
    QVERIFY(reports.ends[0] && !reports.ends[0]->isEmpty());
    QVERIFY(!socket.isRunning());
    QVERIFY(settleFor(100ms));
    QCOMPARE(reports.ends.size(), 1);
}

void TestSocket::upgradeRefused() {
    LoopbackServer server;
    server.setUpgrade(LoopbackServer::Upgrade::refuse, 401);
    Socket socket(server.wsURL("/up"), QStringLiteral("bad"));
    Reports reports(socket);
    socket.open();
    QTRY_COMPARE(reports.ends.size(), 1);
    QVERIFY(reports.ends[0] && !reports.ends[0]->isEmpty());
    QVERIFY(settleFor(100ms));
    QCOMPARE(reports.ends.size(), 1);
    QVERIFY(reports.frames.isEmpty());
}

void TestSocket::openingTimesOut() {
    LoopbackServer server;
    server.setUpgrade(LoopbackServer::Upgrade::hang);
    Socket socket(server.wsURL("/up"), std::nullopt, nullptr, 300ms);
    Reports reports(socket);
    QElapsedTimer clock;
    clock.start();
    socket.open();
    QTRY_COMPARE(reports.ends.size(), 1);
    QVERIFY(clock.elapsed() >= 280);
    QCOMPARE(reports.ends[0],
             std::optional<QString>(QStringLiteral("The connection to Parloquent timed out.")));
    QVERIFY(!socket.isRunning());
    QVERIFY(settleFor(100ms));
    QCOMPARE(reports.ends.size(), 1);
}

void TestSocket::closeBeforeOpenOpensNothing() {
    LoopbackServer server;
    Socket socket(server.wsURL("/up"), std::nullopt);
    Reports reports(socket);
    socket.close();
    socket.open();
    QVERIFY(settleFor(100ms));
    QCOMPARE(reports.ends.size(), 1);
    QVERIFY(server.upgrades().isEmpty());
}

void TestSocket::messageSizeLimit() {
    LoopbackServer server;
    // A JSON object of exactly the limit, then one byte more.
    const QByteArray head = R"({"type":"big","pad":")";
    const QByteArray tail = R"("})";
    QByteArray fits =
        head + QByteArray(Socket::maxMessageBytes - head.size() - tail.size(), 'x') + tail;
    QCOMPARE(fits.size(), Socket::maxMessageBytes);
    QByteArray tooBig = head + QByteArray(fits.size() - head.size() - tail.size() + 1, 'y') + tail;
    connect(&server, &LoopbackServer::accepted, this, [&](QWebSocket* client) {
        client->sendTextMessage(QString::fromLatin1(fits));
        client->sendTextMessage(QString::fromLatin1(tooBig));
        client->sendTextMessage(R"({"type":"after"})");
    });
    Socket socket(server.wsURL("/up"), std::nullopt);
    Reports reports(socket);
    socket.open();
    QTRY_COMPARE_WITH_TIMEOUT(reports.ends.size(), 1, 30000);
    QCOMPARE(reports.frames.size(), 1);
    QCOMPARE(reports.frames[0].value("pad").toString().size(),
             Socket::maxMessageBytes - head.size() - tail.size());
}

void TestSocket::sendAndCloseFromAnotherThread() {
    LoopbackServer server;
    Peer peer(server);
    Socket socket(server.wsURL("/up"), std::nullopt);
    Reports reports(socket);
    socket.open();
    QTRY_VERIFY(peer.socket);
    QTRY_VERIFY(socket.isRunning());

    std::thread sender([&socket] {
        for (int i = 0; i < 50; ++i) {
            socket.send(QJsonObject{{"n", i}});
            socket.sendBinary(QByteArray::number(i));
        }
        socket.close();
        socket.close();
    });
    sender.join();
    QTRY_VERIFY(socket.isClosed());
    QTRY_COMPARE(reports.ends.size(), 1);
    QTRY_VERIFY(peer.disconnected);
    // Everything sent before the close went out, in order.
    QCOMPARE(peer.texts.size(), 50);
    QCOMPARE(peer.binaries.size(), 50);
    for (int i = 0; i < 50; ++i) {
        QCOMPARE(peer.texts[i], compact(QJsonObject{{"n", i}}));
        QCOMPARE(peer.binaries[i], QByteArray::number(i));
    }
    QVERIFY(settleFor(50ms));
    QCOMPARE(reports.ends.size(), 1);
}

QTEST_GUILESS_MAIN(TestSocket)
#include "tst_Socket.moc"
