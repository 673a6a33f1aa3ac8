// What the command line prints: transcript lines on a terminal (the live line rewritten in place)
// and in a pipe (done lines only), notes that keep the live line, upload bars and the names of
// recordings.
#include "FileCommands.h"
#include "LiveCommands.h"
#include "TranscriptPrinter.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QTemporaryFile>
#include <QTest>

#include <cstdio>
#include <unistd.h>

using namespace pq;
using namespace pq::cli;

namespace {

// Standard output and standard error sent to files while the object lives.
class Captured {
public:
    Captured() {
        m_out.open();
        m_err.open();
        std::fflush(stdout);
        std::fflush(stderr);
        m_savedOut = ::dup(STDOUT_FILENO);
        m_savedErr = ::dup(STDERR_FILENO);
        ::dup2(m_out.handle(), STDOUT_FILENO);
        ::dup2(m_err.handle(), STDERR_FILENO);
    }
    ~Captured() {
        std::fflush(stdout);
        std::fflush(stderr);
        ::dup2(m_savedOut, STDOUT_FILENO);
        ::dup2(m_savedErr, STDERR_FILENO);
        ::close(m_savedOut);
        ::close(m_savedErr);
    }
    // Everything written so far, from the start.
    QString out() { return read(m_out, stdout); }
    QString err() { return read(m_err, stderr); }

private:
    static QString read(QTemporaryFile& file, FILE* stream) {
        std::fflush(stream);
        QFile copy(file.fileName());
        copy.open(QIODevice::ReadOnly);
        return QString::fromUtf8(copy.readAll());
    }

    QTemporaryFile m_out;
    QTemporaryFile m_err;
    int m_savedOut = -1;
    int m_savedErr = -1;
};

QJsonObject committed(qint64 seq, const QString& text, qint64 speaker = 0,
                      const QString& translation = {}) {
    QJsonObject segment{{"seq", seq}, {"text", text}, {"start", double(seq)}, {"speaker", speaker}};
    if (!translation.isEmpty())
        segment.insert("translations", QJsonObject{{"es", translation}});
    return {{"type", "transcript.committed"}, {"cursor", seq}, {"segment", segment}};
}

QJsonObject draft(const QString& text) {
    return {{"type", "transcript.draft"}, {"segments", QJsonArray{QJsonObject{{"text", text}}}}};
}

const QString clear = QStringLiteral("\r\x1b[2K");

} // namespace

class TestTranscriptPrinter : public QObject {
    Q_OBJECT

private slots:
    void pipedPrintsDoneLinesOnly();
    void terminalRewritesTheLiveLine();
    void translationsAndSpeakerNames();
    void notesKeepTheLiveLine();
    void tailOfALongLine();
    void progressBar();
    void recordingNames();
};

void TestTranscriptPrinter::pipedPrintsDoneLinesOnly() {
    Captured captured;
    TranscriptPrinter printer(60, false);
    Transcript t;
    t.apply(draft("please open"));
    printer.show(t, false);
    t.apply(committed(1, "Please open the window."));
    printer.show(t, false);
    t.apply(committed(2, "Thank you very much."));
    printer.show(t, false);
    QCOMPARE(captured.out(), QString()); // one speaker, one line: still growing
    t.apply(committed(3, "Where is the station?", 1));
    printer.show(t, false);
    QCOMPARE(captured.out(), QStringLiteral("Please open the window. Thank you very much.\n"));
    t.apply(draft("the train"));
    printer.show(t, false);
    printer.show(t, false);
    // At the end the last line is printed, without the words not committed.
    printer.finish(t, false);
    QCOMPARE(captured.out(), QStringLiteral("Please open the window. Thank you very much.\n"
                                            "Where is the station?\n"));
    QCOMPARE(captured.err(), QString());
}

void TestTranscriptPrinter::terminalRewritesTheLiveLine() {
    Captured captured;
    TranscriptPrinter printer(60, true);
    Transcript t;
    t.apply(draft("please"));
    printer.show(t, false);
    t.apply(draft("please open"));
    printer.show(t, false);
    printer.show(t, false); // unchanged: nothing written
    QCOMPARE(captured.out(), clear + "please" + clear + "please open");
    t.apply(committed(1, "Please open the window."));
    printer.show(t, false);
    t.apply(committed(2, "Hello.", 1));
    printer.show(t, false);
    QCOMPARE(captured.out(), clear + "please" + clear + "please open" + clear +
                                 "Please open the window." + clear + "Please open the window.\n" +
                                 clear + "Hello.");
    printer.finish(t, false);
    QVERIFY(captured.out().endsWith("Please open the window.\n" + clear + "Hello." + clear +
                                    "Hello.\n"));
}

void TestTranscriptPrinter::translationsAndSpeakerNames() {
    Transcript t(QStringLiteral("es"));
    t.apply(committed(1, "Thank you.", 0, "Gracias."));
    t.apply(committed(2, "Hello.", 1));
    const auto lines = t.lines(60);
    QCOMPARE(TranscriptPrinter::format(lines[0], t, false),
             QStringLiteral("Thank you.\n    Gracias."));
    QCOMPARE(TranscriptPrinter::format(lines[1], t, true), QStringLiteral("Speaker 2: Hello."));
    t.apply(QJsonObject{{"type", "transcript.speakerNamed"}, {"speaker", 0}, {"name", "Ada"}});
    QCOMPARE(TranscriptPrinter::format(t.lines(60)[0], t, true),
             QStringLiteral("Ada: Thank you.\n    Gracias."));
}

void TestTranscriptPrinter::notesKeepTheLiveLine() {
    Captured captured;
    TranscriptPrinter printer(60, true);
    printer.note("Starting.");
    QCOMPARE(captured.err(), QStringLiteral("Starting.\n"));
    Transcript t;
    t.apply(draft("where is"));
    printer.show(t, false);
    printer.note("Stopping…");
    QCOMPARE(captured.err(), QStringLiteral("Starting.\nStopping…\n"));
    QCOMPARE(captured.out(), clear + "where is" + clear + clear + "where is");
}

void TestTranscriptPrinter::tailOfALongLine() {
    QCOMPARE(TranscriptPrinter::tail("short", 10), QStringLiteral("short"));
    QCOMPARE(TranscriptPrinter::tail("abcdefghij", 5), QStringLiteral("…ghij"));
    QCOMPARE(TranscriptPrinter::tail("one\n    uno", 40), QStringLiteral("one     uno"));
    QCOMPARE(TranscriptPrinter::tail("abc", 1), QString());
}

void TestTranscriptPrinter::progressBar() {
    const QString bar = FileCommands::progressBar("file.wav", 0.42, 80);
    QCOMPARE(bar, "file.wav  [" + QString(13, '#') + QString(17, '-') + "]   42%");
    QCOMPARE(FileCommands::progressBar("a.wav", 1.0, 80),
             "a.wav  [" + QString(30, '#') + "]  100%");
    QCOMPARE(FileCommands::progressBar("a.wav", -3, 80), "a.wav  [" + QString(30, '-') + "]    0%");
    // A long name gives way to the bar in a narrow terminal.
    const QString narrow = FileCommands::progressBar(QString(100, 'n'), 0.5, 40);
    QVERIFY(narrow.size() <= 39);
    QVERIFY(narrow.endsWith("]   50%"));
    QVERIFY(narrow.contains("n…  ["));
}

void TestTranscriptPrinter::recordingNames() {
    LiveCommands::Run run;
    run.mode = LiveSession::Mode::record();
    run.source = AudioSource::Kind::mac;
    QVERIFY(LiveCommands::recordingName(run, {}).startsWith("Recording from your computer · "));
    run.source = AudioSource::Kind::mic;
    QVERIFY(LiveCommands::recordingName(run, {}).startsWith("Voice note · "));
    run.source = AudioSource::Kind::app;
    run.app = "org.example.Player";
    QVERIFY(LiveCommands::recordingName(run, "Player").startsWith("Recording from Player · "));
    run.app = "com.github.IsmaelMartinez.teams_for_linux";
    QVERIFY(LiveCommands::recordingName(run, "Teams").startsWith("Microsoft Teams call · "));
    QVERIFY(LiveCommands::isMeetingApp("discord"));
    QVERIFY(!LiveCommands::isMeetingApp("org.example.Player"));
    run.name = "Named";
    QCOMPARE(LiveCommands::recordingName(run, "Teams"), QStringLiteral("Named"));
    run.name.reset();
    run.mode = LiveSession::Mode::captions();
    QCOMPARE(LiveCommands::recordingName(run, "Teams"), QStringLiteral("Teams"));
}

QTEST_GUILESS_MAIN(TestTranscriptPrinter)
#include "tst_TranscriptPrinter.moc"
