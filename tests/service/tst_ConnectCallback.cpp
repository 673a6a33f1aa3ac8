// What the sign-in listener makes of one request, and the pages it sends back.
#include "ConnectCallback.h"

#include <QTest>

using namespace pq;
using Kind = ConnectCallback::Kind;

Q_DECLARE_METATYPE(ConnectCallback::Kind)

class TestConnectCallback : public QObject {
    Q_OBJECT

private slots:
    void requestTarget_data();
    void requestTarget();
    void decisions_data();
    void decisions();
    void pageEscapesOnlyAmpersandAndLessThan();
};

void TestConnectCallback::requestTarget_data() {
    QTest::addColumn<QString>("request");
    QTest::addColumn<QString>("target");
    QTest::newRow("normal") << "GET /callback?a=1 HTTP/1.1\r\nHost: x\r\n\r\n"
                            << "/callback?a=1";
    QTest::newRow("no CRLF") << "GET /x"
                             << "/x";
    QTest::newRow("one word") << "GET\r\n"
                              << "";
    QTest::newRow("empty") << ""
                           << "";
    QTest::newRow("target only on a later line") << "GET\r\n/callback HTTP/1.1"
                                                 << "";
    QTest::newRow("double space") << "GET  /x HTTP/1.1\r\n"
                                  << "";
}

void TestConnectCallback::requestTarget() {
    QFETCH(QString, request);
    QFETCH(QString, target);
    QCOMPARE(ConnectCallback::target(request), target);
}

void TestConnectCallback::decisions_data() {
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<bool>("pending");
    QTest::addColumn<Kind>("kind");
    QTest::addColumn<QString>("code");
    const auto get = [](const char* target) {
        return QByteArray("GET ") + target + " HTTP/1.1\r\n\r\n";
    };
    QTest::newRow("code") << get("/callback?state=S&code=xyz") << true << Kind::code << "xyz";
    QTest::newRow("nothing pending")
        << get("/callback?state=S&code=xyz") << false << Kind::notWaiting << "";
    QTest::newRow("percent-encoded values")
        << get("/callback?state=%53&code=a%2Fb%20c") << true << Kind::code << "a/b c";
    QTest::newRow("plus stays a plus")
        << get("/callback?state=S&code=a+b") << true << Kind::code << "a+b";
    QTest::newRow("first code with a value")
        << get("/callback?code=&state=S&code=second") << true << Kind::code << "second";
    QTest::newRow("only the first state counts")
        << get("/callback?state=X&state=S&code=c") << true << Kind::wrongState << "";
    QTest::newRow("state is case-sensitive")
        << get("/callback?state=s&code=c") << true << Kind::wrongState << "";
    QTest::newRow("error without value is ignored")
        << get("/callback?state=S&error&code=c") << true << Kind::code << "c";
    QTest::newRow("error before a code")
        << get("/callback?state=S&code=c&error=denied") << true << Kind::refused << "";
    QTest::newRow("no code") << get("/callback?state=S") << true << Kind::noCode << "";
    QTest::newRow("path with a trailing slash")
        << get("/callback/?state=S&code=c") << true << Kind::notWaiting << "";
    QTest::newRow("fragment is no query")
        << get("/callback#state=S&code=c") << true << Kind::wrongState << "";
    QTest::newRow("target that breaks the address")
        << get("/callback?state=S&code=c%") << true << Kind::notWaiting << "";
    QTest::newRow("empty request") << QByteArray() << true << Kind::unreadable << "";
    QTest::newRow("not utf-8") << QByteArray("GET /callback?state=S&code=\xc3\x28 HTTP/1.1") << true
                               << Kind::unreadable << "";
    QTest::newRow("too long") << QByteArray(ConnectCallback::maxRequestBytes + 1, 'a') << true
                              << Kind::unreadable << "";
}

void TestConnectCallback::decisions() {
    QFETCH(QByteArray, request);
    QFETCH(bool, pending);
    QFETCH(Kind, kind);
    QFETCH(QString, code);
    const auto outcome = ConnectCallback::decide(
        request, pending ? std::optional(QStringLiteral("S")) : std::nullopt);
    QCOMPARE(outcome.kind, kind);
    QCOMPARE(outcome.code, code);
}

void TestConnectCallback::pageEscapesOnlyAmpersandAndLessThan() {
    const QString page = QString::fromUtf8(ConnectCallback::page("a < b & c > \"d\" &lt;", false));
    QVERIFY(page.contains("<p>a &lt; b &amp; c > \"d\" &amp;lt;</p></body>"));
    QVERIFY(!page.contains("<script>"));
    QVERIFY(ConnectCallback::page("x", true).endsWith(
        "<p>x</p><script>setTimeout(function(){window.close()},500)</script></body>"));
    const QByteArray response = ConnectCallback::response("é", false);
    const QByteArray body = response.mid(response.indexOf("\r\n\r\n") + 4);
    QVERIFY(response.contains("Content-Length: " + QByteArray::number(body.size()) + "\r\n"));
    QVERIFY(body.contains("<p>\xc3\xa9</p>"));
}

QTEST_APPLESS_MAIN(TestConnectCallback)
#include "tst_ConnectCallback.moc"
