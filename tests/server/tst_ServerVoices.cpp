// Voices of a running server: espeak-ng's catalogue per language, samples that libsndfile reads
// back as CAF (and WAV), the account's own voices made on the web application with their own
// pitch and speed, and the refusals.
#include "ServerProcess.h"
#include "TestClient.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QRegularExpression>
#include <QTemporaryFile>
#include <QTest>

#include <sndfile.h>

#include <cmath>

using namespace pq::test;

namespace {

struct Sound {
    int format = 0;
    int channels = 0;
    int rate = 0;
    std::vector<short> samples;
    double seconds() const { return rate ? double(samples.size()) / rate : 0; }
    double rms() const {
        double sum = 0;
        for (short s : samples)
            sum += double(s) * s;
        return samples.empty() ? 0 : std::sqrt(sum / double(samples.size()));
    }
};

// Reads a sound with libsndfile, as the client does.
Sound decode(const QByteArray& bytes) {
    Sound out;
    QTemporaryFile file;
    if (!file.open())
        return out;
    file.write(bytes);
    file.flush();
    SF_INFO info{};
    SNDFILE* sf = sf_open(file.fileName().toUtf8().constData(), SFM_READ, &info);
    if (!sf)
        return out;
    out.format = info.format;
    out.channels = info.channels;
    out.rate = info.samplerate;
    out.samples.resize(size_t(info.frames) * size_t(info.channels));
    out.samples.resize(
        size_t(sf_read_short(sf, out.samples.data(), sf_count_t(out.samples.size()))));
    sf_close(sf);
    return out;
}

// Posts a form of the web application the way a browser does: with the page's cookie and token.
int postForm(const ServerProcess& server, const QString& page, const QString& action,
             const QByteArray& fields) {
    QNetworkAccessManager net;
    std::unique_ptr<QNetworkReply> reply(
        net.get(QNetworkRequest(server.appBase().resolved(QUrl(page)))));
    QElapsedTimer clock;
    clock.start();
    while (!reply->isFinished() && clock.elapsed() < 10'000)
        QTest::qWait(10);
    static const QRegularExpression csrf(QStringLiteral("name=\"csrf\" value=\"([^\"]+)\""));
    const QString token = csrf.match(QString::fromUtf8(reply->readAll())).captured(1);
    QNetworkRequest post(server.appBase().resolved(QUrl(action)));
    post.setHeader(QNetworkRequest::ContentTypeHeader, "application/x-www-form-urlencoded");
    post.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                      QNetworkRequest::ManualRedirectPolicy);
    std::unique_ptr<QNetworkReply> answer(net.post(post, fields + "&csrf=" + token.toUtf8()));
    clock.restart();
    while (!answer->isFinished() && clock.elapsed() < 10'000)
        QTest::qWait(10);
    return answer->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
}

Answer preview(TestClient& api, const QString& pathAndQuery) {
    // The client asks for any type.
    return api.send("GET", pathAndQuery, {}, true, {});
}

} // namespace

class TestServerVoices : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void catalogueOfEspeakVoices();
    void previewsAreCaf();
    void ownVoicesHaveTheirPitchAndSpeed();
    void refusals();

private:
    QString makeVoice(const QString& name, const QString& base, int pitch, int rate, bool draft);
    std::unique_ptr<ServerProcess> m_server;
    std::unique_ptr<TestClient> m_api;
};

void TestServerVoices::initTestCase() {
    m_server =
        std::make_unique<ServerProcess>(QStringList{QStringLiteral("--warm"), QStringLiteral("0")});
    QVERIFY2(m_server->start(), qPrintable(m_server->error()));
    m_api = std::make_unique<TestClient>(m_server->base(), m_server->key());
}

void TestServerVoices::cleanupTestCase() {
    if (m_server)
        QCOMPARE(m_server->stop(), 0);
}

QString TestServerVoices::makeVoice(const QString& name, const QString& base, int pitch, int rate,
                                    bool draft) {
    const QByteArray fields = "name=" + QUrl::toPercentEncoding(name) +
                              "&base=" + QUrl::toPercentEncoding(base) +
                              "&pitch=" + QByteArray::number(pitch) +
                              "&rate=" + QByteArray::number(rate) + (draft ? "&draft=1" : "");
    if (postForm(*m_server, QStringLiteral("/voices"), QStringLiteral("/voices"), fields) != 303)
        return {};
    for (const auto& v : m_api->get(QStringLiteral("/v1/voices"))
                             .json()
                             .value(QStringLiteral("voices"))
                             .toArray()) {
        if (v.toObject().value(QStringLiteral("name")).toString() == name)
            return v.toObject().value(QStringLiteral("id")).toString();
    }
    return {};
}

void TestServerVoices::catalogueOfEspeakVoices() {
    const QJsonObject en = m_api->get(QStringLiteral("/v1/voices/available?lang=en")).json();
    QCOMPARE(en.value(QStringLiteral("lang")).toString(), QStringLiteral("en"));
    const QJsonArray voices = en.value(QStringLiteral("voices")).toArray();
    QVERIFY(voices.size() >= 3);
    QStringList ids;
    for (int i = 0; i < voices.size(); ++i) {
        const QJsonObject v = voices[i].toObject();
        ids.append(v.value(QStringLiteral("id")).toString());
        QCOMPARE(v.value(QStringLiteral("default")).toBool(), i == 0);
        QCOMPARE(v.value(QStringLiteral("cloned")).toBool(true), false);
        QVERIFY(!v.value(QStringLiteral("name")).toString().isEmpty());
        QVERIFY(!v.value(QStringLiteral("name")).toString().contains(QLatin1Char('_')));
        const QString gender = v.value(QStringLiteral("gender")).toString();
        QVERIFY(gender.isEmpty() || gender == QLatin1String("male") ||
                gender == QLatin1String("female"));
    }
    QVERIFY2(ids.contains(QStringLiteral("gmw/en-US")), qPrintable(ids.join(QLatin1Char(' '))));
    // mbrola voices need data that is not installed: not offered.
    QVERIFY(std::none_of(ids.begin(), ids.end(),
                         [](const QString& id) { return id.startsWith(QLatin1String("mb/")); }));
    // Spanish: the voice made for "es" itself comes first.
    const QJsonArray es = m_api->get(QStringLiteral("/v1/voices/available?lang=es"))
                              .json()
                              .value(QStringLiteral("voices"))
                              .toArray();
    QCOMPARE(es.first().toObject().value(QStringLiteral("id")).toString(),
             QStringLiteral("roa/es"));
    // A language without voices has an empty catalogue.
    QCOMPARE(m_api->get(QStringLiteral("/v1/voices/available?lang=xx")).json(),
             (QJsonObject{{QStringLiteral("lang"), QStringLiteral("xx")},
                          {QStringLiteral("voices"), QJsonArray()}}));
    // The language list says which languages have voices.
    for (const auto& l : m_api->get(QStringLiteral("/v1/languages"))
                             .json()
                             .value(QStringLiteral("languages"))
                             .toArray()) {
        const QString code = l.toObject().value(QStringLiteral("code")).toString();
        if (code == QLatin1String("en") || code == QLatin1String("es"))
            QVERIFY(l.toObject().value(QStringLiteral("voice")).toBool());
    }
}

void TestServerVoices::previewsAreCaf() {
    const Answer caf =
        preview(*m_api, QStringLiteral("/v1/voices/preview?format=caf&lang=en&voice=gmw/en-US"));
    QCOMPARE(caf.status, 200);
    QCOMPARE(caf.header("Content-Type"), QByteArray("audio/x-caf"));
    QVERIFY(caf.body.startsWith("caff"));
    const Sound s = decode(caf.body);
    QCOMPARE(s.format & SF_FORMAT_TYPEMASK, SF_FORMAT_CAF);
    QCOMPARE(s.format & SF_FORMAT_SUBMASK, SF_FORMAT_PCM_16);
    QCOMPARE(s.channels, 1);
    QCOMPARE(s.rate, 22050);
    QVERIFY2(s.seconds() > 1.0 && s.seconds() < 10.0, qPrintable(QString::number(s.seconds())));
    QVERIFY(s.rms() > 300); // speech, not silence

    const Answer wav =
        preview(*m_api, QStringLiteral("/v1/voices/preview?format=wav&lang=es&voice=roa/es"));
    QCOMPARE(wav.status, 200);
    QCOMPARE(decode(wav.body).format & SF_FORMAT_TYPEMASK, SF_FORMAT_WAV);
    // Without a language, the voice's own.
    QCOMPARE(preview(*m_api, QStringLiteral("/v1/voices/preview?voice=roa/es")).status, 200);
}

void TestServerVoices::ownVoicesHaveTheirPitchAndSpeed() {
    const QString slow = makeVoice(QStringLiteral("Slow"), QStringLiteral("gmw/en"), 20, 90, false);
    const QString fast =
        makeVoice(QStringLiteral("Fast"), QStringLiteral("gmw/en"), 80, 400, false);
    const QString draft =
        makeVoice(QStringLiteral("Sketch"), QStringLiteral("gmw/en"), 50, 175, true);
    QVERIFY(!slow.isEmpty() && !fast.isEmpty() && !draft.isEmpty());
    QJsonObject sketch;
    for (const auto& v : m_api->get(QStringLiteral("/v1/voices"))
                             .json()
                             .value(QStringLiteral("voices"))
                             .toArray()) {
        const QJsonObject o = v.toObject();
        QCOMPARE(o.keys(), (QStringList{QStringLiteral("color"), QStringLiteral("draft"),
                                        QStringLiteral("enabled"), QStringLiteral("id"),
                                        QStringLiteral("name"), QStringLiteral("state")}));
        if (o.value(QStringLiteral("id")).toString() == draft)
            sketch = o;
    }
    QCOMPARE(sketch.value(QStringLiteral("draft")).toBool(), true);
    QCOMPARE(sketch.value(QStringLiteral("state")).toString(), QStringLiteral("draft"));

    const Sound s = decode(
        preview(*m_api, QStringLiteral("/v1/voices/%1/preview?lang=en&format=caf").arg(slow)).body);
    const Sound f = decode(
        preview(*m_api, QStringLiteral("/v1/voices/%1/preview?lang=en&format=caf").arg(fast)).body);
    QCOMPARE(s.format & SF_FORMAT_TYPEMASK, SF_FORMAT_CAF);
    QVERIFY2(s.seconds() > 2.5 * f.seconds(),
             qPrintable(QStringLiteral("%1 s against %2 s").arg(s.seconds()).arg(f.seconds())));
    // Own voices are found by the catalogue's preview address too.
    QCOMPARE(
        preview(*m_api, QStringLiteral("/v1/voices/preview?format=caf&lang=en&voice=%1").arg(fast))
            .status,
        200);
    // Drafts are not offered in the catalogue; finished ones are, as the account's own.
    QStringList own;
    for (const auto& v : m_api->get(QStringLiteral("/v1/voices/available?lang=en"))
                             .json()
                             .value(QStringLiteral("voices"))
                             .toArray()) {
        if (v.toObject().value(QStringLiteral("cloned")).toBool())
            own.append(v.toObject().value(QStringLiteral("id")).toString());
    }
    QCOMPARE(own, (QStringList{slow, fast}));
    // Finishing the draft on the page.
    QCOMPARE(postForm(*m_server, QStringLiteral("/voices"), QStringLiteral("/voices/") + draft,
                      "draft=0"),
             303);
    for (const auto& v : m_api->get(QStringLiteral("/v1/voices"))
                             .json()
                             .value(QStringLiteral("voices"))
                             .toArray()) {
        if (v.toObject().value(QStringLiteral("id")).toString() == draft)
            QCOMPARE(v.toObject().value(QStringLiteral("state")).toString(),
                     QStringLiteral("ready"));
    }
}

void TestServerVoices::refusals() {
    Answer a =
        preview(*m_api, QStringLiteral("/v1/voices/preview?format=caf&lang=en&voice=gmw/nope"));
    QCOMPARE(a.status, 404);
    QCOMPARE(a.code(), QStringLiteral("voice_not_found"));
    QCOMPARE(
        preview(*m_api, QStringLiteral("/v1/voices/vo_missing/preview?format=caf&lang=en")).code(),
        QStringLiteral("voice_not_found"));
    QCOMPARE(
        preview(*m_api, QStringLiteral("/v1/voices/mb%2Fmb-us1/preview?format=caf&lang=en")).status,
        404);
    a = preview(*m_api, QStringLiteral("/v1/voices/preview?format=mp3&lang=en&voice=gmw/en"));
    QCOMPARE(a.status, 400);
    QCOMPARE(
        a.json().value(QStringLiteral("data")).toObject().value(QStringLiteral("field")).toString(),
        QStringLiteral("format"));
    QCOMPARE(m_api->get(QStringLiteral("/v1/voices/available?lang=%3Cb%3E")).status, 400);
    // The web form checks what it is given.
    QCOMPARE(postForm(*m_server, QStringLiteral("/voices"), QStringLiteral("/voices"),
                      "name=x&base=gmw/en&pitch=500&rate=175"),
             400);
    QCOMPARE(postForm(*m_server, QStringLiteral("/voices"), QStringLiteral("/voices"),
                      "name=x&base=mb/mb-us1&pitch=50&rate=175"),
             400);
    QCOMPARE(postForm(*m_server, QStringLiteral("/voices"), QStringLiteral("/voices"),
                      "name=&base=gmw/en"),
             400);
    TestClient anonymous(m_server->base(), QString());
    QCOMPARE(anonymous.get(QStringLiteral("/v1/voices")).status, 401);
}

QTEST_GUILESS_MAIN(TestServerVoices)
#include "tst_ServerVoices.moc"
