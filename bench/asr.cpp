// Speech recognition figures of the local service on this machine:
//   - real-time factor: the service's recogniser (pocketsphinx, en-us model, as the server
//     configures it) decoding about 60 s of synthesised speech fed as fast as it takes it;
//   - word error rate of that decoding against the text spoken (no grammar);
//   - memory per live session: resident memory of a running parloquent-server with N caption
//     sessions streaming, against the same server idle.
//
//   bench_asr [--seconds 60] [--sessions 4] [--asr-option -name=value …]
//
// Speech is made with espeak-ng and resampled to 16 kHz with sox, as the tests do.
#include "Decoder.h"
#include "Recognizer.h"
#include "SentenceText.h"
#include "ServerProcess.h"
#include "TestClient.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>
#include <QWebSocket>

#include <cstdio>

using namespace pq::server;

namespace {

const QStringList kText = {
    QStringLiteral("Please open the window."),
    QStringLiteral("Where is the nearest station?"),
    QStringLiteral("Thank you very much."),
    QStringLiteral("The meeting starts in ten minutes."),
    QStringLiteral("We will meet again tomorrow."),
    QStringLiteral("My sister likes green apples."),
    QStringLiteral("The train leaves at nine."),
    QStringLiteral("Can you send me the report before lunch?"),
    QStringLiteral("I think we should talk about the budget next week."),
    QStringLiteral("The weather has been cold and rainy all month."),
    QStringLiteral("She bought a new car last year."),
    QStringLiteral("Let us review the results of the experiment."),
};

bool run(const QString& program, const QStringList& args) {
    QProcess p;
    p.start(program, args);
    return p.waitForFinished(60'000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

QByteArray silence(double s) {
    return QByteArray(qsizetype(s * 16000) * 4, '\0');
}

// Sentences spoken one after another with 0.6 s pauses until at least `seconds` of audio.
QByteArray speech(double seconds, QStringList* spoken) {
    QTemporaryDir dir;
    QList<QByteArray> clips;
    for (int i = 0; i < kText.size(); ++i) {
        const QString wav = dir.filePath(QStringLiteral("%1.wav").arg(i));
        const QString raw = dir.filePath(QStringLiteral("%1.f32").arg(i));
        if (!run(QStringLiteral("espeak-ng"), {QStringLiteral("-w"), wav, kText[i]}) ||
            !run(QStringLiteral("sox"),
                 {wav, QStringLiteral("-r"), QStringLiteral("16000"), QStringLiteral("-c"),
                  QStringLiteral("1"), QStringLiteral("-e"), QStringLiteral("floating-point"),
                  QStringLiteral("-b"), QStringLiteral("32"), QStringLiteral("-L"),
                  QStringLiteral("-t"), QStringLiteral("raw"), raw}))
            return {};
        QFile f(raw);
        f.open(QIODevice::ReadOnly);
        clips.append(f.readAll());
    }
    QByteArray out = silence(0.6);
    for (int i = 0; double(out.size()) / 4 / 16000 < seconds; i = (i + 1) % clips.size()) {
        out += clips[i] + silence(0.6);
        spoken->append(kText[i]);
    }
    return out;
}

int editDistance(const QStringList& a, const QStringList& b) {
    QList<int> row(b.size() + 1);
    for (int j = 0; j <= b.size(); ++j)
        row[j] = j;
    for (int i = 1; i <= a.size(); ++i) {
        int diagonal = row[0];
        row[0] = i;
        for (int j = 1; j <= b.size(); ++j) {
            const int up = row[j];
            row[j] =
                std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = up;
        }
    }
    return row[b.size()];
}

QStringList normalisedWords(const QString& text) {
    QString t = text.toLower();
    t.remove(QRegularExpression(QStringLiteral("[^a-z' ]")));
    return t.split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

long rssKiB(qint64 pid) {
    QFile f(QStringLiteral("/proc/%1/status").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : f.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    }
    return -1;
}

void wait(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// Decodes the audio as a session's worker does, in 1 s frames; returns the seconds it took.
double decode(const QByteArray& audio, const DecoderOptions& options, QStringList* utterances) {
    QString error;
    std::unique_ptr<Decoder> decoder = Decoder::load(options, &error);
    if (!decoder) {
        std::fprintf(stderr, "bench_asr: %s\n", qPrintable(error));
        return -1;
    }
    Recognizer::Callbacks callbacks;
    callbacks.ready = [] {};
    callbacks.failed = [](QString) {};
    callbacks.partial = [](QString, double) {};
    callbacks.utterance = [utterances](QString h, double, double) {
        utterances->append(SentenceText::sentence(h));
    };
    callbacks.flushed = [](int) {};
    Recognizer recognizer(std::move(decoder), options, callbacks);
    recognizer.start();
    QElapsedTimer clock;
    clock.start();
    for (qsizetype offset = 0; offset < audio.size(); offset += 16000)
        recognizer.feed(audio.mid(offset, 16000));
    recognizer.flush(1);
    return clock.elapsed() / 1000.0;
}

// Resident memory of a server per caption session that streams audio.
void memoryPerSession(const QByteArray& audio, int sessions) {
    pq::test::ServerProcess server({QStringLiteral("--warm"), QStringLiteral("0"),
                                    QStringLiteral("--max-sessions"), QString::number(sessions)});
    if (!server.start() || !server.waitForRecognizer()) {
        std::fprintf(stderr, "the server did not start: %s\n", qPrintable(server.error()));
        return;
    }
    pq::test::TestClient api(server.base(), server.key());
    wait(500);
    const long idle = rssKiB(server.pid());

    std::vector<std::unique_ptr<QWebSocket>> sockets;
    int ready = 0;
    for (int i = 0; i < sessions; ++i) {
        const QString url = api.post(QStringLiteral("/v1/realtime/sessions"), QJsonObject())
                                .json()
                                .value(QStringLiteral("streamUrl"))
                                .toString();
        auto socket = std::make_unique<QWebSocket>();
        QObject::connect(socket.get(), &QWebSocket::textMessageReceived,
                         [&ready](const QString& t) {
                             if (t.contains(QLatin1String("\"session.ready\"")))
                                 ++ready;
                         });
        socket->open(QUrl(url));
        sockets.push_back(std::move(socket));
    }
    while (ready < sessions)
        wait(50);
    const QByteArray someAudio = audio.left(10 * 16000 * 4);
    for (qsizetype offset = 0; offset < someAudio.size(); offset += 16000) {
        for (auto& s : sockets)
            s->sendBinaryMessage(someAudio.mid(offset, 16000));
        wait(30);
    }
    wait(3000); // let the recognisers catch up
    const long live = rssKiB(server.pid());
    std::printf(
        "memory: server idle %.1f MiB, with %d live sessions %.1f MiB: %.1f MiB per session\n",
        idle / 1024.0, sessions, live / 1024.0, (live - idle) / 1024.0 / sessions);
    for (auto& s : sockets)
        s->close();
    wait(500);
    server.stop();
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    const QCommandLineOption seconds(QStringLiteral("seconds"), QStringLiteral("Audio length."),
                                     QStringLiteral("s"), QStringLiteral("60"));
    const QCommandLineOption sessions(QStringLiteral("sessions"),
                                      QStringLiteral("Live sessions for the memory figure."),
                                      QStringLiteral("n"), QStringLiteral("4"));
    const QCommandLineOption asrOption(QStringLiteral("asr-option"),
                                       QStringLiteral("Extra pocketsphinx argument."),
                                       QStringLiteral("-name=value"));
    parser.addOptions({seconds, sessions, asrOption});
    parser.addHelpOption();
    parser.process(app);

    QStringList spoken;
    const QByteArray audio = speech(parser.value(seconds).toDouble(), &spoken);
    if (audio.isEmpty()) {
        std::fprintf(stderr, "bench_asr: espeak-ng or sox failed\n");
        return 1;
    }
    const double audioSeconds = double(audio.size()) / 4 / 16000;

    DecoderOptions options{QStringLiteral("/usr/share/pocketsphinx/model/en-us"), QString(), {}};
    for (const QString& o : parser.values(asrOption))
        options.extra << o.section(QLatin1Char('='), 0, 0) << o.section(QLatin1Char('='), 1);
    QStringList utterances;
    const double taken = decode(audio, options, &utterances);
    if (taken < 0)
        return 1;
    const QStringList reference = normalisedWords(spoken.join(QLatin1Char(' ')));
    const QStringList hypothesis = normalisedWords(utterances.join(QLatin1Char(' ')));
    const int errors = editDistance(reference, hypothesis);
    std::printf("audio: %.1f s of espeak-ng speech, %lld words, %lld utterances recognised\n",
                audioSeconds, qlonglong(reference.size()), qlonglong(utterances.size()));
    std::printf("recognition: %.2f s, real-time factor %.3f (target <= 0.3)\n", taken,
                taken / audioSeconds);
    std::printf("word error rate without grammar: %.1f %% (%d errors / %lld words)\n",
                100.0 * errors / reference.size(), errors, qlonglong(reference.size()));
    std::printf("first utterances: %s\n",
                qPrintable(utterances.mid(0, 4).join(QStringLiteral(" | "))));
    memoryPerSession(audio, parser.value(sessions).toInt());
    return 0;
}
