// parloquent-cli transcribe: the upload, the wait for the job and the printed transcript against
// a scripted service (every job outcome), and end to end against the local service with speech
// made by espeak-ng.
#include "CliProcess.h"
#include "RecordingHttpServer.h"
#include "ServerProcess.h"
#include "SpeechPlayer.h"
#include "TestClient.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

using namespace pq::test;

namespace {

QByteArray compact(const QJsonObject& object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QJsonObject transcription(const QString& id, const QString& state, const QString& error = {}) {
    QJsonObject job{{"state", state},
                    {"recordingId", "rec-" + id},
                    {"progress", QJsonObject{{"pct", state == "transcribing" ? 50 : 0}}}};
    if (!error.isEmpty())
        job.insert("error", error);
    return QJsonObject{
        {"id", id}, {"name", "upload"}, {"createdAt", "2026-01-01T10:00:00Z"}, {"job", job}};
}

QJsonObject segment(int seq, const QString& text, int speaker = 0) {
    return QJsonObject{{"seq", seq},
                       {"speaker", speaker},
                       {"start", seq * 2.0},
                       {"end", seq * 2.0 + 1.5},
                       {"text", text}};
}

// A service that transcribes files: each upload gets the next job script.
struct FileService {
    RecordingHttpServer server;
    // Job states of each upload's transcription, polled in order; the last one stays.
    QList<QStringList> jobs;
    QString failure = QStringLiteral("The file holds no audio or video Parloquent can read.");
    QJsonArray segments{segment(1, "Please open the window."), segment(2, "Thank you very much.")};
    std::optional<ScriptedAnswer> uploadAnswer;
    QList<int> polls; // per upload

    FileService() {
        server.setHandler([this](const RecordedRequest& r) { return answer(r); });
    }

    ScriptedAnswer answer(const RecordedRequest& r) {
        if (r.method == "POST" && r.path == "/v1/transcriptions") {
            if (uploadAnswer)
                return *uploadAnswer;
            const int n = int(polls.size());
            polls.append(0);
            return ScriptedAnswer::json(
                201, compact(transcription(QString::number(n), jobs.value(n).value(0))));
        }
        if (r.method == "GET" && r.path.startsWith("/v1/transcriptions/")) {
            const int n = r.path.mid(19).toInt();
            const QStringList states = jobs.value(n);
            const int i = std::min(++polls[n], int(states.size()) - 1);
            const QString state = states.value(i);
            return ScriptedAnswer::json(
                200, compact(transcription(QString::number(n), state,
                                           state == "failed" ? failure : QString())));
        }
        if (r.method == "GET" && r.path.endsWith("/transcript"))
            return ScriptedAnswer::json(200, compact({{"recordingId", "rec"},
                                                      {"lastSeq", 2},
                                                      {"state", "ready"},
                                                      {"segments", segments},
                                                      {"sentences", QJsonArray()},
                                                      {"speakers", QJsonArray()}}));
        return ScriptedAnswer::json(404, R"({"code":"not_found","message":"No such route."})");
    }

    QList<RecordedRequest> uploads() const {
        QList<RecordedRequest> out;
        for (const auto& r : server.requests())
            if (r.method == "POST")
                out.append(r);
        return out;
    }
};

} // namespace

class TestCliTranscribe : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void uploadWaitAndPrint();
    void nameAndLanguageGoWithTheUpload();
    void jobThatFails();
    void uploadRefused();
    void filesThatCannotBeSent();
    void speakersAreNamedWhenThereAreSeveral();
    void localServiceTranscribesSpeech();
    void localServiceRefusesWhatIsNotMedia();

private:
    QString write(const QString& name, const QByteArray& bytes);

    QTemporaryDir m_dir;
};

void TestCliTranscribe::initTestCase() {
    QVERIFY(m_dir.isValid());
}

QString TestCliTranscribe::write(const QString& name, const QByteArray& bytes) {
    const QString path = m_dir.filePath(name);
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
        return {};
    return path;
}

void TestCliTranscribe::uploadWaitAndPrint() {
    FileService service;
    service.jobs = {{"queued", "transcribing", "transcribing", "ready"}};
    const QString file = write("meeting.wav", QByteArray(2000, 'x'));
    CliProcess cli(service.server.base().toString(), "key-1");
    QVERIFY(cli.run({"transcribe", file}));
    QCOMPARE(cli.exitCode(), 0);
    QCOMPARE(cli.out(), QStringLiteral("Please open the window. Thank you very much.\n"));
    QCOMPARE(service.polls, QList<int>{3}); // until the job was no longer pending
    const auto uploads = service.uploads();
    QCOMPARE(uploads.size(), 1);
    QCOMPARE(uploads[0].header("Authorization"), QByteArray("Bearer key-1"));
    QVERIFY(uploads[0].body.contains(R"(filename="meeting.wav")"));
    QVERIFY(uploads[0].body.contains(QByteArray(2000, 'x')));
    // Not a terminal: no progress bar.
    QVERIFY2(cli.err().isEmpty(), qPrintable(cli.err()));
}

void TestCliTranscribe::nameAndLanguageGoWithTheUpload() {
    FileService service;
    service.jobs = {{"ready"}, {"ready"}};
    const QString first = write("a.wav", "aaaa");
    const QString second = write("b.mp3", "bbbb");
    CliProcess cli(service.server.base().toString(), "key-1");
    QVERIFY(cli.run({"transcribe", first, second, "--name", "Interview", "--language", "en"}));
    QCOMPARE(cli.exitCode(), 0);
    const auto uploads = service.uploads();
    QCOMPARE(uploads.size(), 2);
    for (const auto& upload : uploads) {
        QVERIFY2(upload.body.contains(R"({"name":"Interview","settings":{"spokenLanguage":"en"}})"),
                 upload.body.left(400).constData());
    }
    QVERIFY(uploads[0].body.contains(R"(filename="Interview.wav")"));
    QVERIFY(uploads[1].body.contains(R"(filename="Interview.mp3")"));
    QVERIFY(uploads[1].body.contains("bbbb"));
    // Several files: each transcript under its file's name.
    QCOMPARE(cli.out(), QStringLiteral("== a.wav ==\nPlease open the window. Thank you very much.\n"
                                       "== b.mp3 ==\nPlease open the window. Thank you very "
                                       "much.\n"));
}

void TestCliTranscribe::jobThatFails() {
    FileService service;
    service.jobs = {{"queued", "failed"}, {"ready"}};
    const QString bad = write("notes.txt", "not sound at all");
    const QString good = write("good.wav", "pretend");
    CliProcess cli(service.server.base().toString(), "key-1");
    QVERIFY(cli.run({"transcribe", bad, good}));
    QCOMPARE(cli.exitCode(), 1);
    QCOMPARE(cli.err().trimmed(),
             QStringLiteral("notes.txt: The file holds no audio or video Parloquent can read."));
    QCOMPARE(cli.out(), QStringLiteral("== good.wav ==\nPlease open the window. Thank you very "
                                       "much.\n"));

    // A failed job without a reason still says which file.
    FileService quiet;
    quiet.jobs = {{"failed"}};
    quiet.failure.clear();
    CliProcess again(quiet.server.base().toString(), "key-1");
    QVERIFY(again.run({"transcribe", bad}));
    QCOMPARE(again.exitCode(), 1);
    QCOMPARE(again.err().trimmed(),
             QStringLiteral("notes.txt: Parloquent could not transcribe this file."));
}

void TestCliTranscribe::uploadRefused() {
    FileService service;
    service.uploadAnswer =
        ScriptedAnswer::json(413, R"({"code":"too_large","message":"The file is too large."})");
    const QString file = write("huge.wav", "x");
    CliProcess cli(service.server.base().toString(), "key-1");
    QVERIFY(cli.run({"transcribe", file}));
    QCOMPARE(cli.exitCode(), 1);
    QCOMPARE(cli.err().trimmed(), QStringLiteral("huge.wav: The file is too large."));
    QCOMPARE(service.server.requests().size(), 1); // never retried
    QCOMPARE(cli.out(), QString());
}

void TestCliTranscribe::filesThatCannotBeSent() {
    FileService service;
    service.jobs = {{"ready"}};
    const QString missing = m_dir.filePath("missing.wav");
    const QString good = write("present.wav", "pretend");
    CliProcess cli(service.server.base().toString(), "key-1");
    QVERIFY(cli.run({"transcribe", missing, m_dir.path(), good}));
    QCOMPARE(cli.exitCode(), 1);
    const QStringList errors = cli.err().trimmed().split('\n');
    QCOMPARE(errors, (QStringList{missing + ": no such file.",
                                  m_dir.path() + ": is a folder, not a file."}));
    QCOMPARE(service.uploads().size(), 1);
    QVERIFY(cli.out().contains("Please open the window."));

    CliProcess none(service.server.base().toString(), "key-1");
    QVERIFY(none.run({"transcribe"}));
    QCOMPARE(none.exitCode(), 2);
    QVERIFY(none.err().startsWith("Name at least one file to transcribe."));

    CliProcess withoutKey(service.server.base().toString(), "key-1");
    withoutKey.environment().remove("PARLOQUENT_KEY");
    QVERIFY(withoutKey.run({"transcribe", good}));
    QCOMPARE(withoutKey.exitCode(), 1);
    QVERIFY(withoutKey.err().startsWith("You are not signed in."));
}

void TestCliTranscribe::speakersAreNamedWhenThereAreSeveral() {
    FileService service;
    service.jobs = {{"ready"}};
    service.segments = {segment(1, "Hello."), segment(2, "Hi there.", 1)};
    const QString file = write("call.wav", "pretend");
    CliProcess cli(service.server.base().toString(), "key-1");
    QVERIFY(cli.run({"transcribe", file}));
    QCOMPARE(cli.out(), QStringLiteral("Speaker 1: Hello.\nSpeaker 2: Hi there.\n"));

    FileService silent;
    silent.jobs = {{"ready"}};
    silent.segments = {};
    CliProcess nothing(silent.server.base().toString(), "key-1");
    QVERIFY(nothing.run({"transcribe", file}));
    QCOMPARE(nothing.exitCode(), 0);
    QCOMPARE(nothing.err().trimmed(), QStringLiteral("call.wav: no speech was heard."));
}

void TestCliTranscribe::localServiceTranscribesSpeech() {
    ServerProcess server({"--grammar", PQ_TEST_DATA "/server/sentences.jsgf"});
    QVERIFY2(server.start() && server.waitForRecognizer(), qPrintable(server.error()));
    QString error;
    const QString first = m_dir.filePath("window.wav");
    const QString second = m_dir.filePath("station.wav");
    QVERIFY2(SpeechPlayer::writeWav("please open the window", first, &error), qPrintable(error));
    QVERIFY2(SpeechPlayer::writeWav("where is the nearest station", second, &error),
             qPrintable(error));
    CliProcess cli(server.base().toString(), server.key());
    QVERIFY(cli.run({"transcribe", first, second}, 120'000));
    QCOMPARE(cli.exitCode(), 0);
    QCOMPARE(cli.out(), QStringLiteral("== window.wav ==\nPlease open the window.\n"
                                       "== station.wav ==\nWhere is the nearest station?\n"));
    TestClient api(server.base(), server.key());
    const QJsonArray list = api.get("/v1/transcriptions").json().value("transcriptions").toArray();
    QCOMPARE(list.size(), 2);
    QCOMPARE(server.stop(), 0);
}

void TestCliTranscribe::localServiceRefusesWhatIsNotMedia() {
    ServerProcess server({"--grammar", PQ_TEST_DATA "/server/sentences.jsgf"});
    QVERIFY2(server.start() && server.waitForRecognizer(), qPrintable(server.error()));
    const QString text = write("notes.txt", "These are my notes, not a recording.\n");
    CliProcess cli(server.base().toString(), server.key());
    QVERIFY(cli.run({"transcribe", text}, 120'000));
    QCOMPARE(cli.exitCode(), 1);
    QCOMPARE(
        cli.err().trimmed(),
        QStringLiteral("notes.txt: This file is not audio or video that Parloquent can read."));
    QCOMPARE(cli.out(), QString());
    QCOMPARE(server.stop(), 0);
}

QTEST_GUILESS_MAIN(TestCliTranscribe)
#include "tst_CliTranscribe.moc"
