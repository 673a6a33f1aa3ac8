// The pure parts behind uploads, the web application and browser sign-in, in process: the
// streaming multipart reader (fed in every possible split), form bodies, HTML escaping, CSRF
// tokens, sign-in grants (PKCE S256 with RFC 7636's own example, single use, expiry, bound
// redirect) and the TextRank summariser.
#include "ConnectGrants.h"
#include "CsrfGuard.h"
#include "FormData.h"
#include "Html.h"
#include "MultipartReader.h"
#include "Summarizer.h"

#include <QTest>
#include <QUrlQuery>

using namespace pq::server;

namespace {

struct Collected {
    QStringList names;
    QStringList fileNames;
    QList<QByteArray> data;
    int ended = 0;
};

MultipartReader::Handler collector(Collected& c) {
    MultipartReader::Handler h;
    h.begin = [&c](const MultipartReader::Part& p) {
        c.names.append(p.name);
        c.fileNames.append(p.fileName);
        c.data.append(QByteArray());
        return true;
    };
    h.data = [&c](const char* d, qsizetype n) {
        c.data.last().append(d, n);
        return true;
    };
    h.end = [&c] {
        ++c.ended;
        return true;
    };
    return h;
}

// The body the client writes for an upload, row by row.
QByteArray clientBody(const QByteArray& boundary, const QByteArray& options,
                      const QByteArray& fileName, const QByteArray& file) {
    return "--" + boundary + "\r\nContent-Disposition: form-data; name=\"options\"\r\n" +
           "Content-Type: application/json\r\n\r\n" + options + "\r\n--" + boundary +
           "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"" + fileName +
           "\"\r\nContent-Type: application/octet-stream\r\n\r\n" + file + "\r\n--" + boundary +
           "--\r\n";
}

QUrlQuery consentQuery() {
    QUrlQuery q;
    q.addQueryItem(QStringLiteral("response_type"), QStringLiteral("code"));
    q.addQueryItem(QStringLiteral("client_name"), QStringLiteral("Parloquent for Linux on box"));
    q.addQueryItem(QStringLiteral("redirect_uri"),
                   QStringLiteral("http://127.0.0.1:40123/callback"));
    q.addQueryItem(QStringLiteral("state"), QStringLiteral("s-123"));
    q.addQueryItem(QStringLiteral("code_challenge"),
                   QStringLiteral("E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM"));
    q.addQueryItem(QStringLiteral("code_challenge_method"), QStringLiteral("S256"));
    q.addQueryItem(QStringLiteral("scope"), QStringLiteral("read write recordings:publish"));
    q.addQueryItem(QStringLiteral("reach"), QStringLiteral("account"));
    return q;
}

const QString kVerifier = QStringLiteral("dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk");

} // namespace

class TestServerWebParts : public QObject {
    Q_OBJECT

private slots:
    void multipartInEverySplit();
    void multipartFraming_data();
    void multipartFraming();
    void multipartRefusals();
    void multipartBoundaries_data();
    void multipartBoundaries();
    void formBodies();
    void htmlEscaping();
    void csrfTokens();
    void pkceExampleOfRfc7636();
    void consentRequestsAreChecked_data();
    void consentRequestsAreChecked();
    void codesAreSingleUseBoundAndShortLived();
    void heldRequestsAreTakenOnce();
    void summariesPickCentralSentences();
    void tooLittleTextHasNoSummary();
};

void TestServerWebParts::multipartInEverySplit() {
    // Data that looks like the start of a delimiter must come through as data.
    const QByteArray file = "RIFF\r\n--pq-\r\n--pq-ABC\r\n-" + QByteArray(300, '\0') + "\r\n--";
    const QByteArray body = clientBody(
        "pq-ABCDEF", R"({"name":"a","settings":{"spokenLanguage":null}})", "a b.wav", file);
    for (qsizetype split = 0; split <= body.size(); ++split) {
        Collected c;
        MultipartReader reader("pq-ABCDEF", collector(c));
        QVERIFY(reader.feed(body.left(split)));
        QVERIFY(reader.feed(body.mid(split)));
        QVERIFY2(reader.finished(), qPrintable(QString::number(split)));
        QCOMPARE(c.names, (QStringList{QStringLiteral("options"), QStringLiteral("file")}));
        QCOMPARE(c.fileNames.last(), QStringLiteral("a b.wav"));
        QCOMPARE(c.data.first(), QByteArray(R"({"name":"a","settings":{"spokenLanguage":null}})"));
        QCOMPARE(c.data.last(), file);
        QCOMPARE(c.ended, 2);
    }
    // One byte at a time.
    Collected c;
    MultipartReader reader("pq-ABCDEF", collector(c));
    for (char ch : body)
        QVERIFY(reader.feed(&ch, 1));
    QVERIFY(reader.finished());
    QCOMPARE(c.data.last(), file);
}

void TestServerWebParts::multipartFraming_data() {
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("finished");
    QTest::addColumn<QByteArray>("file");
    QTest::newRow("preamble and epilogue") << QByteArray("ignore me\r\n--b\r\nContent-Disposition: "
                                                         "form-data; name=\"file\"\r\n\r\nxyz\r\n"
                                                         "--b--\r\nepilogue --b\r\n")
                                           << true << QByteArray("xyz");
    QTest::newRow("padding after the delimiter")
        << QByteArray("--b  \t\r\nContent-Disposition: form-data; name=file\r\n\r\nxyz\r\n--b--")
        << true << QByteArray("xyz");
    QTest::newRow("empty file part")
        << QByteArray("--b\r\nContent-Disposition: form-data; name=\"file\"; "
                      "filename=\"e\"\r\n\r\n\r\n--b--\r\n")
        << true << QByteArray();
    QTest::newRow("no closing delimiter")
        << QByteArray("--b\r\nContent-Disposition: form-data; name=\"file\"\r\n\r\nxyz\r\n--b")
        << false << QByteArray("xyz");
    QTest::newRow("cut inside the data")
        << QByteArray("--b\r\nContent-Disposition: form-data; name=\"file\"\r\n\r\nxyz123") << false
        << QByteArray("xy");
}

void TestServerWebParts::multipartFraming() {
    QFETCH(QByteArray, body);
    QFETCH(bool, finished);
    QFETCH(QByteArray, file);
    Collected c;
    MultipartReader reader("b", collector(c));
    QVERIFY(reader.feed(body));
    QCOMPARE(reader.finished(), finished);
    QVERIFY(!reader.failed());
    QCOMPARE(c.names.value(0), QStringLiteral("file"));
    // Unfinished data is held back only as far as it could still be a delimiter.
    QCOMPARE(c.data.value(0), file);
}

void TestServerWebParts::multipartRefusals() {
    {
        Collected c;
        MultipartReader reader("b", collector(c));
        QVERIFY(!reader.feed(QByteArray("--b\r\nContent-Type: text/plain\r\n\r\nx\r\n--b--")));
        QCOMPARE(reader.error(), QStringLiteral("An upload part has no form field name."));
    }
    {
        Collected c;
        MultipartReader reader("b", collector(c));
        QVERIFY(!reader.feed(QByteArray("--bX\r\n")));
        QCOMPARE(reader.error(), QStringLiteral("A boundary line of the upload is malformed."));
    }
    {
        Collected c;
        MultipartReader reader("b", collector(c));
        const QByteArray huge = "--b\r\nX-Big: " + QByteArray(MultipartReader::kMaxHeaders, 'a');
        QVERIFY(!reader.feed(huge));
        QCOMPARE(reader.error(), QStringLiteral("The headers of an upload part are too large."));
        // Once refused, nothing more is taken.
        QVERIFY(!reader.feed(QByteArray("\r\n\r\n")));
    }
    {
        // A handler stops the reading, with its own reason.
        MultipartReader* self = nullptr;
        MultipartReader::Handler h;
        h.begin = [&self](const MultipartReader::Part&) {
            self->fail(QStringLiteral("No more files."));
            return false;
        };
        MultipartReader reader("b", h);
        self = &reader;
        QVERIFY(
            !reader.feed(QByteArray("--b\r\nContent-Disposition: form-data; name=\"f\"\r\n\r\n")));
        QCOMPARE(reader.error(), QStringLiteral("No more files."));
    }
}

void TestServerWebParts::multipartBoundaries_data() {
    QTest::addColumn<QByteArray>("contentType");
    QTest::addColumn<QByteArray>("boundary");
    QTest::newRow("client's") << QByteArray("multipart/form-data; boundary=pq-6F1C0F5A")
                              << QByteArray("pq-6F1C0F5A");
    QTest::newRow("quoted") << QByteArray("Multipart/Form-Data; charset=x; boundary=\"a b:c\"")
                            << QByteArray("a b:c");
    QTest::newRow("missing") << QByteArray("multipart/form-data") << QByteArray();
    QTest::newRow("not form data") << QByteArray("multipart/mixed; boundary=x") << QByteArray();
    QTest::newRow("bad character")
        << QByteArray("multipart/form-data; boundary=a\"b") << QByteArray();
    QTest::newRow("too long") << "multipart/form-data; boundary=" + QByteArray(71, 'a')
                              << QByteArray();
    QTest::newRow("ends in a space")
        << QByteArray("multipart/form-data; boundary=\"ab \"") << QByteArray();
}

void TestServerWebParts::multipartBoundaries() {
    QFETCH(QByteArray, contentType);
    QFETCH(QByteArray, boundary);
    const auto found = MultipartReader::boundaryOf(contentType);
    QCOMPARE(found.value_or(QByteArray()), boundary);
}

void TestServerWebParts::formBodies() {
    const FormData f = FormData::parse("grant_type=authorization_code&code=a%2Bb+c&empty=&bare"
                                       "&code=second&n%C3%A4me=v%C3%A4lue&redirect_uri=http%3A%2F"
                                       "%2F127.0.0.1%3A5%2Fcallback");
    QCOMPARE(f.value(QStringLiteral("grant_type")), QStringLiteral("authorization_code"));
    QCOMPARE(f.value(QStringLiteral("code")), QStringLiteral("a+b c"));
    QCOMPARE(f.count(QStringLiteral("code")), 2);
    QCOMPARE(f.value(QStringLiteral("empty")), QString());
    QVERIFY(f.value(QStringLiteral("bare")).has_value());
    QVERIFY(!f.value(QStringLiteral("missing")).has_value());
    QCOMPARE(f.value(QStringLiteral("näme")), QStringLiteral("välue"));
    QCOMPARE(f.value(QStringLiteral("redirect_uri")),
             QStringLiteral("http://127.0.0.1:5/callback"));
}

void TestServerWebParts::htmlEscaping() {
    QCOMPARE(Html::escape(QStringLiteral("<script>alert(1)</script>")),
             QStringLiteral("&lt;script&gt;alert(1)&lt;/script&gt;"));
    QCOMPARE(Html::escape(QStringLiteral("\"a\" & 'b' %1")),
             QStringLiteral("&quot;a&quot; &amp; &#39;b&#39; %1"));
    // A title with an argument marker stays as written in the page.
    QVERIFY(Html::page(QStringLiteral("%2 <b>"), QStringLiteral("<p>x</p>"))
                .contains(QStringLiteral("<title>%2 &lt;b&gt; · Parloquent</title>")));
    QCOMPARE(Html::clock(65), QStringLiteral("01:05"));
    QCOMPARE(Html::clock(3725), QStringLiteral("1:02:05"));
}

void TestServerWebParts::csrfTokens() {
    CsrfGuard guard;
    CsrfGuard other;
    const QByteArray cookie = CsrfGuard::newCookie();
    QCOMPARE(CsrfGuard::cookieOf("a=1; pq_csrf=" + cookie + "; b=2"), cookie);
    QCOMPARE(CsrfGuard::cookieOf("pq_csrf=short"), QByteArray());
    QVERIFY(CsrfGuard::setCookie(cookie).contains("SameSite=Strict"));
    QVERIFY(CsrfGuard::setCookie(cookie).contains("HttpOnly"));
    const QString token = guard.token(cookie);
    QVERIFY(guard.verify(cookie, token));
    QVERIFY(!guard.verify(CsrfGuard::newCookie(), token)); // another browser
    QVERIFY(!other.verify(cookie, token));                 // another run of the service
    QVERIFY(!guard.verify(cookie, QString()));
    QVERIFY(!guard.verify(QByteArray(), token));
    QVERIFY(!token.contains(QString::fromLatin1(cookie)));
}

void TestServerWebParts::pkceExampleOfRfc7636() {
    // RFC 7636, Appendix B.
    QCOMPARE(ConnectGrants::challengeOf(kVerifier),
             QStringLiteral("E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM"));
    QVERIFY(ConnectGrants::isVerifier(kVerifier));
    QVERIFY(!ConnectGrants::isVerifier(kVerifier.left(42)));
    QVERIFY(!ConnectGrants::isVerifier(kVerifier + QStringLiteral("+")));
    QVERIFY(ConnectGrants::isVerifier(QString(128, QLatin1Char('~'))));
    QVERIFY(!ConnectGrants::isVerifier(QString(129, QLatin1Char('~'))));
}

void TestServerWebParts::consentRequestsAreChecked_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("redirectError"); // empty: shown on the page only
    QTest::newRow("https return") << "redirect_uri"
                                  << "https://127.0.0.1:5/callback"
                                  << "";
    QTest::newRow("other host") << "redirect_uri"
                                << "http://evil.example:5/callback"
                                << "";
    QTest::newRow("other path") << "redirect_uri"
                                << "http://127.0.0.1:5/steal"
                                << "";
    QTest::newRow("no port") << "redirect_uri"
                             << "http://127.0.0.1/callback"
                             << "";
    QTest::newRow("port too large") << "redirect_uri"
                                    << "http://127.0.0.1:70000/callback"
                                    << "";
    QTest::newRow("extra query") << "redirect_uri"
                                 << "http://127.0.0.1:5/callback?x=1"
                                 << "";
    QTest::newRow("token flow") << "response_type"
                                << "token"
                                << "unsupported_response_type";
    QTest::newRow("plain method") << "code_challenge_method"
                                  << "plain"
                                  << "invalid_request";
    QTest::newRow("short challenge") << "code_challenge"
                                     << "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-c"
                                     << "invalid_request";
    QTest::newRow("padded challenge") << "code_challenge"
                                      << "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-c="
                                      << "invalid_request";
    QTest::newRow("unknown scope") << "scope"
                                   << "read admin"
                                   << "invalid_scope";
    QTest::newRow("no state") << "state"
                              << ""
                              << "invalid_request";
}

void TestServerWebParts::consentRequestsAreChecked() {
    QFETCH(QString, name);
    QFETCH(QString, value);
    QFETCH(QString, redirectError);
    const auto good = ConnectGrants::check(consentQuery());
    QVERIFY(good.request);
    QCOMPARE(good.request->clientName, QStringLiteral("Parloquent for Linux on box"));
    QCOMPARE(good.request->scope, QStringLiteral("read write recordings:publish"));

    QUrlQuery q = consentQuery();
    q.removeAllQueryItems(name);
    q.addQueryItem(name, value);
    const auto checked = ConnectGrants::check(q);
    QVERIFY(!checked.request);
    QVERIFY(!checked.error.isEmpty());
    QCOMPARE(checked.redirectError, redirectError);

    // A parameter given twice is refused as well.
    QUrlQuery twice = consentQuery();
    twice.addQueryItem(QStringLiteral("state"), QStringLiteral("other"));
    QCOMPARE(ConnectGrants::check(twice).redirectError, QStringLiteral("invalid_request"));
}

void TestServerWebParts::codesAreSingleUseBoundAndShortLived() {
    qint64 now = 1'000'000;
    ConnectGrants grants(60, [&now] { return now; });
    const ConnectGrants::Request request = *ConnectGrants::check(consentQuery()).request;
    const QString redirect = request.redirectUri;

    QString code = grants.issue(request);
    QCOMPARE(code.size(), 43);
    auto r = grants.redeem(code, kVerifier, redirect);
    QVERIFY2(r.request, qPrintable(r.description));
    QCOMPARE(r.request->state, QStringLiteral("s-123"));
    grants.noteKey(code, QStringLiteral("key_first"));
    // Again: refused, and the key it gave is to be revoked (once).
    r = grants.redeem(code, kVerifier, redirect);
    QCOMPARE(r.error, QStringLiteral("invalid_grant"));
    QCOMPARE(r.revokeKey, QStringLiteral("key_first"));
    QCOMPARE(grants.redeem(code, kVerifier, redirect).revokeKey, QString());

    // A wrong verifier spends the code.
    code = grants.issue(request);
    r = grants.redeem(code, QString(64, QLatin1Char('a')), redirect);
    QCOMPARE(r.error, QStringLiteral("invalid_grant"));
    QCOMPARE(r.description, QStringLiteral("The code verifier does not match the challenge."));
    QCOMPARE(grants.redeem(code, kVerifier, redirect).error, QStringLiteral("invalid_grant"));

    // Another redirect address.
    code = grants.issue(request);
    r = grants.redeem(code, kVerifier, QStringLiteral("http://127.0.0.1:40124/callback"));
    QCOMPARE(r.error, QStringLiteral("invalid_grant"));

    // Just before and just after its lifetime.
    code = grants.issue(request);
    now += 59'999;
    QVERIFY(grants.redeem(code, kVerifier, redirect).request);
    code = grants.issue(request);
    now += 60'001;
    r = grants.redeem(code, kVerifier, redirect);
    QCOMPARE(r.error, QStringLiteral("invalid_grant"));
    QCOMPARE(r.description, QStringLiteral("This sign-in code has expired. Sign in again."));

    QCOMPARE(grants.redeem(QStringLiteral("nope"), kVerifier, redirect).error,
             QStringLiteral("invalid_grant"));
    QCOMPARE(grants.redeem(code, QString(), redirect).error, QStringLiteral("invalid_request"));
    QCOMPARE(grants.redeem(code, QStringLiteral("short"), redirect).error,
             QStringLiteral("invalid_request"));
}

void TestServerWebParts::heldRequestsAreTakenOnce() {
    qint64 now = 0;
    ConnectGrants grants(60, [&now] { return now; });
    const ConnectGrants::Request request = *ConnectGrants::check(consentQuery()).request;
    const QString id = grants.hold(request);
    QVERIFY(grants.take(id));
    QVERIFY(!grants.take(id));
    const QString late = grants.hold(request);
    now += ConnectGrants::kPageLifetimeS * 1000 + 1;
    QVERIFY(!grants.take(late));
    // Reloading the page forever keeps memory bounded.
    const QString first = grants.hold(request);
    for (int i = 0; i < ConnectGrants::kMaxHeld; ++i) {
        ++now;
        grants.hold(request);
    }
    QVERIFY(!grants.take(first));
}

void TestServerWebParts::summariesPickCentralSentences() {
    const QStringList sentences = {
        QStringLiteral("Good morning everyone and welcome to the harbour council meeting."),
        QStringLiteral("The harbour wall needs repairs before the winter storms arrive."),
        QStringLiteral("Fishing boats have reported damage near the old harbour wall."),
        QStringLiteral("The council budget can cover the harbour wall repairs this year."),
        QStringLiteral("My cat likes to sleep in the sun."),
        QStringLiteral("Contractors will inspect the harbour wall next Tuesday."),
        QStringLiteral("Yes."),
        QStringLiteral("The bakery on the corner sells excellent bread."),
        QStringLiteral("Storm damage to the harbour wall could close the fishing port."),
        QStringLiteral("We will vote on the harbour wall repairs at the next meeting."),
        QStringLiteral("Thank you all for coming today."),
        QStringLiteral("The harbour wall repairs are the council's first task."),
    };
    const Summarizer::Result r = Summarizer::summarize(sentences);
    QVERIFY(r.enough);
    QCOMPARE(r.sentences.size(), 2);
    QVERIFY(std::is_sorted(r.sentences.begin(), r.sentences.end()));
    for (int i : r.sentences) {
        QVERIFY2(sentences[i].contains(QStringLiteral("harbour wall")), qPrintable(sentences[i]));
    }
    QVERIFY(!r.summary.contains(QStringLiteral("cat")));
    QVERIFY2(r.title.startsWith(QStringLiteral("Harbour wall")), qPrintable(r.title));
    QVERIFY(r.title.size() <= 80);
    // The same text gives the same summary.
    QCOMPARE(Summarizer::summarize(sentences).summary, r.summary);
    QCOMPARE(Summarizer::summarize(sentences).title, r.title);
}

void TestServerWebParts::tooLittleTextHasNoSummary() {
    QVERIFY(!Summarizer::summarize({}).enough);
    QVERIFY(!Summarizer::summarize({QStringLiteral("Thank you very much."),
                                    QStringLiteral("Please open the window."),
                                    QStringLiteral("The train leaves at nine.")})
                 .enough);
    QCOMPARE(Summarizer::words(QStringLiteral("Don’t STOP, it's 9 o'clock!")),
             (QStringList{QStringLiteral("don't"), QStringLiteral("stop"), QStringLiteral("it's"),
                          QStringLiteral("9"), QStringLiteral("o'clock")}));
}

QTEST_GUILESS_MAIN(TestServerWebParts)
#include "tst_ServerWebParts.moc"
