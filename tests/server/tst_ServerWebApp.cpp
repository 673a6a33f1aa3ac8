// The web application of a running server, in headless Chromium: a broadcast started with the
// button on a transcription's page follows the live recording without reloading (measured
// against the feed, in English and in Spanish, across recordings, with its listeners counted);
// a transcription, key, voice and application named "<script>alert(1)</script>" show as text on
// every page; keys are made and revoked on the developers page; voices are made on the voices
// page; missing pages and the sound of recordings.
#include "HeadlessBrowser.h"
#include "ServerProcess.h"
#include "SpeechAudio.h"
#include "TestClient.h"
#include "WsClient.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>
#include <QUrlQuery>
#include <QUuid>

using namespace pq::test;

namespace {

const QString kPayload = QStringLiteral("<script>alert(1)</script>");

QString js(const QString& text) {
    QString out = text;
    out.replace(QLatin1Char('\\'), QStringLiteral("\\\\"))
        .replace(QLatin1Char('\''), QStringLiteral("\\'"));
    return QLatin1Char('\'') + out + QLatin1Char('\'');
}

int listenersOf(TestClient& api, const QString& code) {
    for (const auto& v : api.get(QStringLiteral("/v1/broadcasts?lifecycle=active"))
                             .json()
                             .value(QStringLiteral("broadcasts"))
                             .toArray()) {
        if (v.toObject().value(QStringLiteral("code")).toString() == code)
            return v.toObject().value(QStringLiteral("listenersNow")).toInt(-1);
    }
    return -1;
}

QByteArray multipartUpload(const QByteArray& boundary, const QString& name,
                           const QByteArray& file) {
    const QJsonObject options{{QStringLiteral("name"), name},
                              {QStringLiteral("settings"),
                               QJsonObject{{QStringLiteral("spokenLanguage"), QJsonValue()}}}};
    return "--" + boundary + "\r\nContent-Disposition: form-data; name=\"options\"\r\n" +
           "Content-Type: application/json\r\n\r\n" +
           QJsonDocument(options).toJson(QJsonDocument::Compact) + "\r\n--" + boundary +
           "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"s.wav\"\r\n" +
           "Content-Type: application/octet-stream\r\n\r\n" + file + "\r\n--" + boundary + "--\r\n";
}

} // namespace

class TestServerWebApp : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void broadcastFollowsTheLiveRecording();
    void namesAreTextOnEveryPage();
    void keysOnTheDevelopersPage();
    void voicesOnTheVoicesPage();
    void missingPages();

private:
    // Fills a form field and submits its form, then waits for the next page.
    bool submit(const QString& selector, const QString& fieldsJs = {});
    // What the page shows is text: the payload is in it, and no script of it runs.
    void verifyInert(const QUrl& url, bool payloadShown = true);

    HeadlessBrowser m_browser;
    std::unique_ptr<ServerProcess> m_server;
    std::unique_ptr<TestClient> m_api;
};

void TestServerWebApp::initTestCase() {
    m_server = std::make_unique<ServerProcess>(ServerProcess::withGrammar());
    QVERIFY2(m_server->start(), qPrintable(m_server->error()));
    QVERIFY2(m_server->waitForRecognizer(), qPrintable(m_server->error()));
    m_api = std::make_unique<TestClient>(m_server->base(), m_server->key());
    QVERIFY2(m_browser.start(), qPrintable(m_browser.error()));
}

void TestServerWebApp::cleanupTestCase() {
    if (m_server)
        QCOMPARE(m_server->stop(), 0);
}

bool TestServerWebApp::submit(const QString& selector, const QString& fieldsJs) {
    const QString before =
        m_browser.evaluate(QStringLiteral("String(performance.timeOrigin)")).toString();
    m_browser.evaluate(fieldsJs +
                       QStringLiteral(";document.querySelector(%1).click()").arg(js(selector)));
    // A new document has loaded once its time origin differs.
    return m_browser.waitFor(QStringLiteral("String(performance.timeOrigin) !== %1 && "
                                            "document.readyState === 'complete'")
                                 .arg(js(before)));
}

void TestServerWebApp::verifyInert(const QUrl& url, bool payloadShown) {
    QVERIFY(m_browser.navigate(url));
    if (payloadShown)
        QVERIFY2(m_browser.text().contains(kPayload), qPrintable(url.toString()));
    // No element came from the payload: no inline script, no script mentioning alert.
    QCOMPARE(m_browser
                 .evaluate(QStringLiteral("[...document.scripts].filter(s => !s.src || "
                                          "s.textContent.includes('alert')).length"))
                 .toInt(-1),
             0);
    QVERIFY(
        m_browser.evaluate(QStringLiteral("document.querySelector('script:not([src])') === null"))
            .toBool());
}

void TestServerWebApp::broadcastFollowsTheLiveRecording() {
    QString error;
    const QByteArray first =
        SpeechAudio::synthesize({QStringLiteral("Please open the window.")}, 1.0, &error);
    QVERIFY2(!first.isEmpty(), qPrintable(error));
    const QByteArray second =
        SpeechAudio::synthesize({QStringLiteral("My sister likes green apples.")}, 1.0, &error);
    QVERIFY2(!second.isEmpty(), qPrintable(error));

    // The button on the transcription's page makes the broadcast.
    const QString transcription = m_api->createLive(QStringLiteral("Town hall"));
    QVERIFY(m_browser.navigate(
        m_server->appBase().resolved(QUrl(QStringLiteral("/transcriptions/") + transcription))));
    QVERIFY(submit(QStringLiteral("#broadcast")));
    const QString link = m_browser
                             .evaluate(QStringLiteral(
                                 "document.querySelector('a[href^=\"/s/\"]').getAttribute('href')"))
                             .toString();
    QVERIFY2(link.startsWith(QStringLiteral("/s/")), qPrintable(m_browser.text()));
    const QString code = link.mid(3);
    QCOMPARE(listenersOf(*m_api, code), 0);

    LiveStart rec = m_api->startRecording(transcription, QStringLiteral("linux-web"), true);
    WsClient uplink;
    QVERIFY(uplink.open(QUrl(rec.streamUrl)));
    QVERIFY(uplink.waitForType(QStringLiteral("session.ready"), 30'000));
    // A reader of the feed tells when the service has each sentence.
    WsClient feed;
    QVERIFY(
        feed.open(m_server->wsUrl(QStringLiteral("/v1/recordings/%1/subscribe").arg(rec.recording)),
                  m_server->key()));
    QList<qint64> published;
    connect(&feed.socket, &QWebSocket::textMessageReceived, this,
            [&published](const QString& text) {
                if (text.contains(QLatin1String("\"transcript.sentence\"")))
                    published.append(QDateTime::currentMSecsSinceEpoch());
            });

    // The page, in English; it notes when each line appears.
    const QUrl page = m_server->appBase().resolved(QUrl(QStringLiteral("/s/%1?lang=en").arg(code)));
    QVERIFY(m_browser.navigate(page));
    QVERIFY(m_browser.waitFor(
        QStringLiteral("document.getElementById('status').textContent === 'Live now'")));
    QTRY_COMPARE(listenersOf(*m_api, code), 1);
    m_browser.evaluate(QStringLiteral(
        "window.seen = {}; new MutationObserver(() => { for (const p of "
        "document.querySelectorAll('#lines p')) if (!(p.id in seen)) seen[p.id] = Date.now(); })"
        ".observe(document.getElementById('lines'), {childList: true, subtree: true})"));
    const qint64 streamStart = QDateTime::currentMSecsSinceEpoch();
    SpeechAudio::stream(uplink, first, 1.0);
    QVERIFY(
        m_browser.waitFor(QStringLiteral("document.querySelectorAll('#lines p').length === 1")));
    QCOMPARE(m_browser.evaluate(QStringLiteral("document.querySelector('#lines p').textContent"))
                 .toString(),
             QStringLiteral("Please open the window."));
    QTRY_COMPARE(published.size(), 1);
    const qint64 shown = qint64(m_browser.evaluate(QStringLiteral("seen['s1']")).toDouble());
    const double speechEnd = double(first.size()) / 4 / SpeechAudio::kRate - 1.0;
    qInfo("/s/{code}: sentence on the page %lld ms after the service published it, %lld ms after "
          "the end of its speech",
          shown - published.first(), shown - streamStart - qint64(speechEnd * 1000));
    QVERIFY2(shown - published.first() < 2000,
             qPrintable(QString::number(shown - published.first())));

    // In Spanish: the next sentence comes translated, with the original below.
    QVERIFY(m_browser.navigate(
        m_server->appBase().resolved(QUrl(QStringLiteral("/s/%1?lang=es").arg(code)))));
    QVERIFY(m_browser.waitFor(
        QStringLiteral("document.getElementById('status').textContent === 'Live now'")));
    QCOMPARE(
        m_browser.evaluate(QStringLiteral("document.querySelectorAll('#lines p').length")).toInt(),
        1);
    // What was said before anyone read Spanish is translated when the page comes.
    QVERIFY(m_browser.waitFor(QStringLiteral("!!document.querySelector('#s1 .original')")));
    QCOMPARE(
        m_browser.evaluate(QStringLiteral("document.querySelector('#s1 .original').textContent"))
            .toString(),
        QStringLiteral("Please open the window."));
    QTRY_COMPARE(listenersOf(*m_api, code), 1);
    SpeechAudio::stream(uplink, second, 1.0);
    QVERIFY(
        m_browser.waitFor(QStringLiteral("document.querySelectorAll('#lines p').length === 2")));
    QCOMPARE(m_browser
                 .evaluate(QStringLiteral(
                     "document.querySelector('#lines p:last-child .original').textContent"))
                 .toString(),
             QStringLiteral("My sister likes green apples."));
    const QString spanish =
        m_browser
            .evaluate(
                QStringLiteral("document.querySelector('#lines p:last-child .text').textContent"))
            .toString();
    QVERIFY2(!spanish.isEmpty() && spanish != QLatin1String("My sister likes green apples."),
             qPrintable(spanish));
    const QString shot = QCoreApplication::applicationDirPath() + QStringLiteral("/broadcast.png");
    QVERIFY(m_browser.screenshot(shot));
    qInfo("screenshot: %s", qPrintable(shot));

    // The recording ends: the page says so. The next one takes its place.
    QCOMPARE(m_api->post(QStringLiteral("/v1/recordings/%1/stop").arg(rec.recording), {}).status,
             200);
    QVERIFY(uplink.waitForType(QStringLiteral("session.done"), 30'000));
    QVERIFY(m_browser.waitFor(
        QStringLiteral("document.getElementById('status').textContent === 'Not live right now'")));
    // The recording's sound is kept: what was streamed, as 16-bit samples.
    const Answer sound = TestClient(m_server->appBase(), QString())
                             .get(QStringLiteral("/media/%1.wav").arg(rec.recording));
    QCOMPARE(sound.status, 200);
    QVERIFY(sound.body.startsWith("RIFF"));
    QCOMPARE(sound.body.size(), 44 + (first.size() + second.size()) / 2);
    rec = m_api->startRecording(transcription, QStringLiteral("linux-web"), true);
    QVERIFY(m_browser.waitFor(
        QStringLiteral("document.getElementById('status').textContent === 'Live now' && "
                       "document.querySelectorAll('#lines p').length === 0")));
    QCOMPARE(
        m_browser.evaluate(QStringLiteral("document.getElementById('broadcast').dataset.recording"))
            .toString(),
        rec.recording);
    QCOMPARE(m_api->post(QStringLiteral("/v1/recordings/%1/stop").arg(rec.recording), {}).status,
             200);

    // Leaving the page ends its listening; stopping the broadcast ends the link.
    QVERIFY(m_browser.navigate(
        m_server->appBase().resolved(QUrl(QStringLiteral("/transcriptions/") + transcription))));
    QTRY_COMPARE(listenersOf(*m_api, code), 0);
    QVERIFY(submit(QStringLiteral("button.danger")));
    QCOMPARE(listenersOf(*m_api, code), -1);
    TestClient app(m_server->appBase(), QString());
    QCOMPARE(app.get(QStringLiteral("/s/") + code).status, 404);
}

void TestServerWebApp::namesAreTextOnEveryPage() {
    // A live transcription with a broadcast and a recording, a file transcription with words, a
    // key, a voice and an application, all named with the payload.
    const QString live = m_api->createLive(kPayload);
    QString out;
    QCOMPARE(m_server->command(
                 {QStringLiteral("broadcasts"), QStringLiteral("create"), kPayload, live}, &out),
             0);
    const QString code = out.trimmed().section(QLatin1Char(' '), 1);
    const LiveStart rec = m_api->startRecording(live, QStringLiteral("linux-web"), true);
    QCOMPARE(m_api->post(QStringLiteral("/v1/recordings/%1/stop").arg(rec.recording), {}).status,
             200);
    QCOMPARE(m_server->command({QStringLiteral("keys"), QStringLiteral("create"), kPayload}), 0);

    QString error;
    const QByteArray speech =
        SpeechAudio::wavFile({QStringLiteral("My sister likes green apples.")}, 0.8, &error);
    QVERIFY2(!speech.isEmpty(), qPrintable(error));
    const QByteArray b =
        "pq-" + QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper().toLatin1();
    const Answer uploaded = m_api->send("POST", QStringLiteral("/v1/transcriptions"),
                                        multipartUpload(b, kPayload, speech), true,
                                        "multipart/form-data; boundary=" + b);
    QCOMPARE(uploaded.status, 201);
    const QString file = uploaded.json().value(QStringLiteral("id")).toString();
    const QString fileRecording = uploaded.json()
                                      .value(QStringLiteral("job"))
                                      .toObject()
                                      .value(QStringLiteral("recordingId"))
                                      .toString();
    QTRY_COMPARE_WITH_TIMEOUT(m_api->get(QStringLiteral("/v1/transcriptions/") + file)
                                  .json()
                                  .value(QStringLiteral("job"))
                                  .toObject()
                                  .value(QStringLiteral("state"))
                                  .toString(),
                              QStringLiteral("done"), 60'000);

    QVERIFY(m_browser.navigate(m_server->appBase().resolved(QUrl(QStringLiteral("/voices")))));
    QVERIFY(submit(
        QStringLiteral("form[method=post][action=\"/voices\"] button"),
        QStringLiteral("document.querySelector('input[name=name]').value = %1").arg(js(kPayload))));

    const QUrl app = m_server->appBase();
    verifyInert(app.resolved(QUrl(QStringLiteral("/"))));
    verifyInert(app.resolved(QUrl(QStringLiteral("/?q=apples"))));
    QVERIFY(m_browser.evaluate(QStringLiteral("!!document.querySelector('mark')")).toBool());
    verifyInert(app.resolved(QUrl(QStringLiteral("/transcriptions/") + live)));
    verifyInert(
        app.resolved(QUrl(QStringLiteral("/transcriptions/%1/r/%2").arg(live, rec.recording))));
    verifyInert(app.resolved(QUrl(QStringLiteral("/transcriptions/") + file)));
    verifyInert(
        app.resolved(QUrl(QStringLiteral("/transcriptions/%1/r/%2").arg(file, fileRecording))));
    verifyInert(app.resolved(QUrl(QStringLiteral("/s/") + code)));
    verifyInert(app.resolved(QUrl(QStringLiteral("/developers"))));
    verifyInert(app.resolved(QUrl(QStringLiteral("/voices"))));
    // The search text itself is shown back in its field, not as markup.
    QUrl search = app.resolved(QUrl(QStringLiteral("/")));
    search.setQuery(QStringLiteral("q=") + QString::fromLatin1(QUrl::toPercentEncoding(
                                               kPayload + QStringLiteral("\"><b>x"))));
    verifyInert(search, false);
    QCOMPARE(m_browser.evaluate(QStringLiteral("document.querySelector('input[name=q]').value"))
                 .toString(),
             kPayload + QStringLiteral("\"><b>x"));
    // An application asking to sign in under the payload's name.
    QUrlQuery q;
    q.addQueryItem(QStringLiteral("response_type"), QStringLiteral("code"));
    q.addQueryItem(QStringLiteral("client_name"), kPayload);
    q.addQueryItem(QStringLiteral("redirect_uri"), QStringLiteral("http://127.0.0.1:9/callback"));
    q.addQueryItem(QStringLiteral("state"), QStringLiteral("s"));
    q.addQueryItem(QStringLiteral("code_challenge"),
                   QStringLiteral("E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM"));
    q.addQueryItem(QStringLiteral("code_challenge_method"), QStringLiteral("S256"));
    q.addQueryItem(QStringLiteral("scope"), QStringLiteral("read"));
    QUrl connectPage = app.resolved(QUrl(QStringLiteral("/connect")));
    connectPage.setQuery(q);
    verifyInert(connectPage);
}

void TestServerWebApp::keysOnTheDevelopersPage() {
    QVERIFY(m_browser.navigate(m_server->appBase().resolved(QUrl(QStringLiteral("/developers")))));
    QVERIFY(m_browser.text().contains(m_server->base().toString() + QStringLiteral("/v1/")));
    QVERIFY(
        submit(QStringLiteral("form[action=\"/developers/keys\"] button"),
               QStringLiteral("document.querySelector('input[name=name]').value = 'Script key'")));
    const QString key =
        m_browser.evaluate(QStringLiteral("document.getElementById('new-key').textContent"))
            .toString();
    QVERIFY2(key.startsWith(QStringLiteral("pq_key_")), qPrintable(m_browser.text()));
    TestClient api(m_server->base(), key);
    const Answer me = api.get(QStringLiteral("/v1/me"));
    QCOMPARE(me.status, 200);
    const QString id = me.json().value(QStringLiteral("apiKeyId")).toString();
    // Shown once: the list has its id, never the key.
    QVERIFY(m_browser.navigate(m_server->appBase().resolved(QUrl(QStringLiteral("/developers")))));
    QVERIFY(m_browser.text().contains(id));
    QVERIFY(!m_browser.text().contains(key));
    QVERIFY(submit(QStringLiteral("form[action=\"/developers/keys/%1/revoke\"] button").arg(id)));
    QCOMPARE(api.get(QStringLiteral("/v1/me")).status, 401);
    QVERIFY(m_browser.text().contains(QStringLiteral("Revoked")));
}

void TestServerWebApp::voicesOnTheVoicesPage() {
    QVERIFY(
        m_browser.navigate(m_server->appBase().resolved(QUrl(QStringLiteral("/voices?lang=es")))));
    QVERIFY(m_browser.evaluate(QStringLiteral("document.querySelectorAll('audio').length > 0"))
                .toBool());
    QVERIFY(submit(QStringLiteral("form[method=post][action=\"/voices\"] button"),
                   QStringLiteral("document.querySelector('input[name=name]').value = 'Narrator';"
                                  "document.querySelector('select[name=base]').value = 'roa/es';"
                                  "document.querySelector('input[name=pitch]').value = '70';"
                                  "document.querySelector('input[name=rate]').value = '150'")));
    QJsonObject narrator;
    for (const auto& v : m_api->get(QStringLiteral("/v1/voices"))
                             .json()
                             .value(QStringLiteral("voices"))
                             .toArray()) {
        if (v.toObject().value(QStringLiteral("name")).toString() == QLatin1String("Narrator"))
            narrator = v.toObject();
    }
    QCOMPARE(narrator.value(QStringLiteral("state")).toString(), QStringLiteral("ready"));
    QCOMPARE(narrator.value(QStringLiteral("enabled")).toBool(), true);
    QCOMPARE(narrator.value(QStringLiteral("draft")).toBool(), false);
    QVERIFY(narrator.value(QStringLiteral("color")).toString().startsWith(QLatin1Char('#')));
    const QString id = narrator.value(QStringLiteral("id")).toString();
    // It is in the Spanish catalogue as the account's own, and it speaks.
    bool listed = false;
    for (const auto& v : m_api->get(QStringLiteral("/v1/voices/available?lang=es"))
                             .json()
                             .value(QStringLiteral("voices"))
                             .toArray())
        listed = listed || (v.toObject().value(QStringLiteral("id")).toString() == id &&
                            v.toObject().value(QStringLiteral("cloned")).toBool());
    QVERIFY(listed);
    TestClient app(m_server->appBase(), QString());
    const Answer sample = app.get(QStringLiteral("/voices/%1/sample.wav").arg(id));
    QCOMPARE(sample.status, 200);
    QVERIFY(sample.body.startsWith("RIFF"));
    // Turned off on the page: no longer offered.
    QVERIFY(submit(QStringLiteral("form[action=\"/voices/%1\"] button").arg(id)));
    for (const auto& v : m_api->get(QStringLiteral("/v1/voices"))
                             .json()
                             .value(QStringLiteral("voices"))
                             .toArray()) {
        if (v.toObject().value(QStringLiteral("id")).toString() == id)
            QCOMPARE(v.toObject().value(QStringLiteral("enabled")).toBool(), false);
    }
    for (const auto& v : m_api->get(QStringLiteral("/v1/voices/available?lang=es"))
                             .json()
                             .value(QStringLiteral("voices"))
                             .toArray())
        QVERIFY(v.toObject().value(QStringLiteral("id")).toString() != id);
}

void TestServerWebApp::missingPages() {
    TestClient app(m_server->appBase(), QString());
    Answer a = app.get(QStringLiteral("/transcriptions/tr_missing"));
    QCOMPARE(a.status, 404);
    QCOMPARE(a.header("Content-Type"), QByteArray("text/html; charset=utf-8"));
    QVERIFY(a.body.contains("There is no such transcription."));
    QCOMPARE(app.get(QStringLiteral("/nothing")).status, 404);
    QCOMPARE(app.get(QStringLiteral("/s/ZZZZZZ")).status, 404);
    QCOMPARE(app.get(QStringLiteral("/media/rec_missing.wav")).status, 404);
    QCOMPARE(app.get(QStringLiteral("/media/..%2Fservice.db")).status, 404);
    QCOMPARE(app.send("PATCH", QStringLiteral("/developers")).status, 405);
    a = app.get(QStringLiteral("/static/broadcast.js"));
    QCOMPARE(a.status, 200);
    QCOMPARE(a.header("Content-Type"), QByteArray("text/javascript; charset=utf-8"));
    QVERIFY(!a.body.contains("innerHTML"));
    QCOMPARE(app.get(QStringLiteral("/s/ZZZZZZ/live")).status, 426);
}

QTEST_GUILESS_MAIN(TestServerWebApp)
#include "tst_ServerWebApp.moc"
