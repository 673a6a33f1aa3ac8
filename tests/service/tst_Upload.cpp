// File upload: the multipart body byte for byte, progress, no retry, and the temporary file gone
// on every path.
#include "API.h"
#include "APIError.h"
#include "Await.h"
#include "FileError.h"
#include "RecordingHttpServer.h"
#include "TransportError.h"
#include "UploadBody.h"

#include <QDir>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

using namespace pq;
using namespace pq::test;

namespace {

const QByteArray created = R"({"id":"t9","name":"n","createdAt":"c","job":{"state":"queued",
    "recordingId":"r9","progress":{"pct":0}}})";

QByteArray expectedBody(const QByteArray& boundary, const QByteArray& options,
                        const QByteArray& fileName, const QByteArray& content) {
    return "--" + boundary + "\r\n" + "Content-Disposition: form-data; name=\"options\"\r\n" +
           "Content-Type: application/json\r\n\r\n" + options + "\r\n--" + boundary + "\r\n" +
           "Content-Disposition: form-data; name=\"file\"; filename=\"" + fileName + "\"\r\n" +
           "Content-Type: application/octet-stream\r\n\r\n" + content + "\r\n--" + boundary +
           "--\r\n";
}

} // namespace

class TestUpload : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void bodyByteForByte_data();
    void bodyByteForByte();
    void namesFromTheFile_data();
    void namesFromTheFile();
    void headersAndAnswer();
    void progressFractions();
    void progressNeverDividesByZero();
    void failureAnswersAreNotRetried();
    void noTemporaryFileAfterTransportFailure();
    void missingFileFailsAndLeavesNothing();
    void largeFileCrossesBlockBoundaries();
    void cancelledBeforeSending();
    void cancelledWhileWaitingForTheAnswer();
    void destroyingTheClientEndsTheUpload();

private:
    QString write(const QString& name, const QByteArray& content);
    QStringList leftovers() const;
    QByteArray boundaryOf(const RecordedRequest& r) const;

    QTemporaryDir m_files;
    QTemporaryDir m_tmp;
};

void TestUpload::initTestCase() {
    QVERIFY(m_files.isValid() && m_tmp.isValid());
    // A private temporary directory, so leftovers are ours alone.
    qputenv("TMPDIR", m_tmp.path().toUtf8());
    QCOMPARE(QDir::tempPath(), QDir(m_tmp.path()).canonicalPath());
    qputenv("XDG_CONFIG_HOME", m_tmp.path().toUtf8() + "/config");
}

void TestUpload::init() {
    QVERIFY(leftovers().isEmpty());
}

void TestUpload::cleanup() {
    QVERIFY2(leftovers().isEmpty(), qPrintable(leftovers().join(", ")));
}

QString TestUpload::write(const QString& name, const QByteArray& content) {
    const QString path = m_files.filePath(name);
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(content) != content.size())
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

QStringList TestUpload::leftovers() const {
    return QDir(QDir::tempPath()).entryList({"pq-upload-*"}, QDir::Files | QDir::Hidden);
}

QByteArray TestUpload::boundaryOf(const RecordedRequest& r) const {
    const QByteArray type = r.header("Content-Type");
    const QByteArray prefix = "multipart/form-data; boundary=";
    return type.startsWith(prefix) ? type.mid(prefix.size()) : QByteArray();
}

void TestUpload::bodyByteForByte_data() {
    // NUL bytes, CRLF and something that looks like a boundary line must pass through untouched.
    static const char raw[] = "\x00\x01"
                              "binary\r\n--not-a-boundary"
                              "\xff";
    const QByteArray binaryContent(raw, sizeof raw - 1);
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QByteArray>("options");
    QTest::addColumn<QByteArray>("headerName");
    QTest::newRow("plain") << "meeting.m4a" << binaryContent
                           << QByteArray(R"({"name":"meeting","settings":{"spokenLanguage":"en"}})")
                           << QByteArray("meeting.m4a");
    QTest::newRow("empty file") << "silence.wav" << QByteArray()
                                << QByteArray(
                                       R"({"name":"silence","settings":{"spokenLanguage":"en"}})")
                                << QByteArray("silence.wav");
    QTest::newRow("quotes removed")
        << "say \"hi\".mp3" << QByteArray("abc")
        << QByteArray(R"({"name":"say \"hi\"","settings":{"spokenLanguage":"en"}})")
        << QByteArray("say hi.mp3");
    QTest::newRow("two dots") << "talk.final.ogg" << QByteArray("xyz")
                              << QByteArray(
                                     R"({"name":"talk.final","settings":{"spokenLanguage":"en"}})")
                              << QByteArray("talk.final.ogg");
    QTest::newRow("unicode") << "Réunion 会議.flac" << QByteArray("u")
                             << QByteArray(
                                    R"({"name":"Réunion 会議","settings":{"spokenLanguage":"en"}})")
                             << QByteArray("Réunion 会議.flac");
    QTest::newRow("line break in the name")
        << "evil\r\nX-Injected: 1.wav" << QByteArray("e")
        << QByteArray(R"({"name":"evil\r\nX-Injected: 1","settings":{"spokenLanguage":"en"}})")
        << QByteArray("evilX-Injected: 1.wav");
}

void TestUpload::bodyByteForByte() {
    QFETCH(QString, name);
    QFETCH(QByteArray, content);
    QFETCH(QByteArray, options);
    QFETCH(QByteArray, headerName);
    RecordingHttpServer server;
    server.enqueue(ScriptedAnswer::json(201, created));
    API api(Env{Env::Name::local, server.base(), server.base()}, QStringLiteral("k"));
    const QString path = write(name, content);
    const auto out = await(api.upload(path, SettingsPatch(QStringLiteral("en"), std::nullopt)));
    QVERIFY(out->value);

    const RecordedRequest r = server.last();
    const QByteArray boundary = boundaryOf(r);
    static const QRegularExpression shape(
        "^pq-[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$");
    QVERIFY2(shape.match(QString::fromLatin1(boundary)).hasMatch(), boundary.constData());
    QCOMPARE(r.body, expectedBody(boundary, options, headerName, content));
    QVERIFY(r.body.endsWith("--" + boundary + "--\r\n"));
}

void TestUpload::namesFromTheFile_data() {
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("optionsName");
    QTest::addColumn<QString>("headerName");
    QTest::newRow("extension") << "/a/b/clip.mp4"
                               << "clip"
                               << "clip.mp4";
    QTest::newRow("two dots") << "/x/a.b.wav"
                              << "a.b"
                              << "a.b.wav";
    QTest::newRow("no extension") << "/x/README"
                                  << "README"
                                  << "README";
    QTest::newRow("hidden file") << "/x/.profile"
                                 << ".profile"
                                 << ".profile";
    QTest::newRow("quotes") << "/x/\"q\".mp3"
                            << "\"q\""
                            << "q.mp3";
}

void TestUpload::namesFromTheFile() {
    QFETCH(QString, path);
    QFETCH(QString, optionsName);
    QFETCH(QString, headerName);
    QCOMPARE(UploadBody::optionsName(path), optionsName);
    QCOMPARE(UploadBody::headerFileName(path), headerName);
}

void TestUpload::headersAndAnswer() {
    RecordingHttpServer server;
    server.enqueue(ScriptedAnswer::json(200, created));
    API api(Env{Env::Name::local, server.base(), server.base()}, QStringLiteral("pq_key_x"));
    const auto out = await(api.upload(write("a.wav", "RIFF"), SettingsPatch()));
    QVERIFY(out->value);
    QCOMPARE(out->value->id, QStringLiteral("t9"));
    QCOMPARE(out->value->job->state, QStringLiteral("queued"));
    const RecordedRequest r = server.last();
    QCOMPARE(r.method, QByteArray("POST"));
    QCOMPARE(r.path, QByteArray("/v1/transcriptions"));
    QVERIFY(!r.hasQuery);
    QCOMPARE(r.header("Authorization"), QByteArray("Bearer pq_key_x"));
    QCOMPARE(r.header("Accept"), QByteArray("application/json"));
    QCOMPARE(r.header("Content-Length").toLongLong(), r.body.size());
    QVERIFY(r.body.contains(R"({"name":"a","settings":{"spokenLanguage":null}})"));
}

void TestUpload::progressFractions() {
    RecordingHttpServer server;
    server.enqueue(ScriptedAnswer::json(200, created));
    API api(Env{Env::Name::local, server.base(), server.base()}, std::nullopt);
    QList<double> reports;
    const QByteArray content(3 * 1024 * 1024 + 17, 'p');
    const auto out = await(api.upload(write("big.raw", content), SettingsPatch(),
                                      [&reports](double fraction) { reports.append(fraction); }));
    QVERIFY(out->value);
    QVERIFY(!reports.isEmpty());
    for (qsizetype i = 0; i < reports.size(); ++i) {
        QVERIFY(reports[i] >= 0.0 && reports[i] <= 1.0);
        if (i > 0)
            QVERIFY(reports[i] >= reports[i - 1]);
    }
    QCOMPARE(reports.last(), 1.0);
}

void TestUpload::progressNeverDividesByZero() {
    QList<double> reports;
    const UploadProgress progress([&reports](double f) { reports.append(f); });
    progress.sent(10, 0);
    progress.sent(0, -1); // unknown total
    QVERIFY(reports.isEmpty());
    progress.sent(0, 1);
    progress.sent(5, 10);
    QCOMPARE(reports, QList<double>({0.0, 0.5}));
    const UploadProgress silent({}); // no report function: nothing to call
    silent.sent(1, 2);
}

void TestUpload::failureAnswersAreNotRetried() {
    RecordingHttpServer server;
    server.setDefault(ScriptedAnswer::json(
        503, R"({"code":"unavailable","message":"Busy.","data":{"retryable":true}})"));
    API api(Env{Env::Name::local, server.base(), server.base()}, std::nullopt);
    const auto out = await(api.upload(write("a.wav", "x"), SettingsPatch()));
    const auto error = out->errorAs<APIError>();
    QVERIFY(error);
    QCOMPARE(error->code(), QStringLiteral("unavailable"));
    QCOMPARE(error->status(), 503);
    QTest::qWait(2500);
    QCOMPARE(server.requests().size(), 1);

    server.setDefault(ScriptedAnswer::json(413, "<html>too big</html>"));
    const auto tooBig = await(api.upload(write("b.wav", "x"), SettingsPatch()));
    QCOMPARE(tooBig->errorAs<APIError>()->message(), QStringLiteral("Parloquent answered 413."));

    server.setDefault(ScriptedAnswer::json(200, R"({"id":"t"})"));
    QVERIFY(await(api.upload(write("c.wav", "x"), SettingsPatch()))->errorAs<DecodeError>());
}

void TestUpload::noTemporaryFileAfterTransportFailure() {
    RecordingHttpServer server;
    server.setDefault(ScriptedAnswer::drop());
    API api(Env{Env::Name::local, server.base(), server.base()}, std::nullopt);
    const auto out = await(api.upload(write("a.wav", QByteArray(100000, 'a')), SettingsPatch()));
    QVERIFY(out->errorAs<TransportError>());
}

void TestUpload::missingFileFailsAndLeavesNothing() {
    RecordingHttpServer server;
    API api(Env{Env::Name::local, server.base(), server.base()}, std::nullopt);
    const auto out = await(api.upload(m_files.filePath("nope.wav"), SettingsPatch()));
    const auto error = out->errorAs<FileError>();
    QVERIFY(error);
    QVERIFY2(error->description().contains("nope.wav"), qPrintable(error->description()));
    QVERIFY(server.requests().isEmpty());

    // A directory cannot be read as a file either.
    QVERIFY(await(api.upload(m_files.path(), SettingsPatch()))->errorAs<FileError>());
    QVERIFY(server.requests().isEmpty());
}

void TestUpload::largeFileCrossesBlockBoundaries() {
    // Just over two copy blocks: the file part must come through whole and in order.
    QByteArray content(2 * UploadBody::blockSize + 3, Qt::Uninitialized);
    for (qsizetype i = 0; i < content.size(); ++i)
        content[i] = static_cast<char>((i * 131) % 251);
    const QString file = write("blocks.bin", content);
    const QString target = m_tmp.filePath("pq-upload-direct");
    UploadBody(file, "B", "{}").write(target);
    QFile out(target);
    QVERIFY(out.open(QIODevice::ReadOnly));
    QCOMPARE(out.readAll(), expectedBody("B", "{}", "blocks.bin", content));
    out.remove();
}

void TestUpload::cancelledBeforeSending() {
    RecordingHttpServer server;
    API api(Env{Env::Name::local, server.base(), server.base()}, std::nullopt);
    std::stop_source stop;
    stop.request_stop();
    const auto out = await(api.upload(write("a.wav", "x"), SettingsPatch(), {}, stop.get_token()));
    QVERIFY(out->errorAs<TransportError>());
    QVERIFY(out->errorAs<TransportError>()->cancelled());
    QVERIFY(server.requests().isEmpty());
}

void TestUpload::cancelledWhileWaitingForTheAnswer() {
    RecordingHttpServer server;
    server.setDefault(ScriptedAnswer::hang());
    API api(Env{Env::Name::local, server.base(), server.base()}, std::nullopt);
    std::stop_source stop;
    connect(&server, &RecordingHttpServer::requestReceived, this, [&] { stop.request_stop(); });
    const auto out = await(
        api.upload(write("a.wav", QByteArray(300000, 'a')), SettingsPatch(), {}, stop.get_token()),
        std::chrono::seconds(10));
    QVERIFY(out->finished);
    QVERIFY(out->errorAs<TransportError>());
    QVERIFY(out->errorAs<TransportError>()->cancelled());
    QCOMPARE(server.requests().size(), 1);
}

void TestUpload::destroyingTheClientEndsTheUpload() {
    RecordingHttpServer server;
    server.setDefault(ScriptedAnswer::hang());
    auto api =
        std::make_unique<API>(Env{Env::Name::local, server.base(), server.base()}, std::nullopt);
    auto out = std::make_shared<Outcome<Transcription>>();
    detail::drive(api->upload(write("a.wav", "x"), SettingsPatch()), out);
    QTRY_COMPARE(server.requests().size(), 1);
    api.reset();
    QTRY_VERIFY_WITH_TIMEOUT(out->finished, 10000);
    QVERIFY(out->errorAs<TransportError>());
    QVERIFY(out->errorAs<TransportError>()->cancelled());
}

QTEST_GUILESS_MAIN(TestUpload)
#include "tst_Upload.moc"
