// Soak test of one long recording, run by hand: a private local service recognising a grammar of
// known sentences, an application (pacat) speaking them in a loop through the headless PulseAudio,
// and a LiveSession recording it through the real capture path for the whole time.
//
//   eval "$(PQ_PULSE_BASE=/tmp/pq-soak scripts/pulse start)"; bench_soak [--minutes N] (default 30)
//
// Prints, every minute, the resident memory, samples sent and segments heard; at the end the
// memory growth after the first minute, the samples the mixer produced while live against those
// sent and those the service stored, the longest wait between transcript changes while speech
// played, and how many committed sentences were recognised exactly.
#include "API.h"
#include "AppResolver.h"
#include "Await.h"
#include "DesktopEntries.h"
#include "LiveSession.h"
#include "PulseAudioInputs.h"
#include "PulseAudioServer.h"
#include "ServerProcess.h"
#include "SpeechPlayer.h"
#include "TestClient.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QTest>

#include <cstdio>
#include <unistd.h>

using namespace pq;
using namespace pq::test;
using namespace std::chrono_literals;

namespace {

const QStringList sentences{
    "please open the window",
    "we will meet again tomorrow",
    "thank you very much",
    "where is the nearest station",
    "the meeting starts in ten minutes",
    "my sister likes green apples",
    "the train leaves at nine",
};

double rssMiB(qint64 pid) {
    QFile statm(QStringLiteral("/proc/%1/statm").arg(pid));
    if (!statm.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.value(1).toDouble() * double(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

// What the recognised text of a sentence looks like: capitalised, with its full stop or question
// mark.
QString written(const QString& sentence) {
    QString text = sentence;
    text[0] = text[0].toUpper();
    return text + (text.startsWith("Where") ? "?" : ".");
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addOption({"minutes", "How long to record.", "N", "30"});
    parser.process(app);
    const double minutes = parser.value("minutes").toDouble();
    const qint64 runMs = qint64(minutes * 60'000);

    ServerProcess server({"--grammar", PQ_SOURCE_DIR "/tests/data/server/sentences.jsgf"});
    if (!server.start() || !server.waitForRecognizer()) {
        std::fprintf(stderr, "local service: %s\n", qPrintable(server.error()));
        return 1;
    }
    QList<QByteArray> speech;
    for (const QString& sentence : sentences) {
        QString error;
        speech.append(SpeechPlayer::speech(sentence, 1.2, &error));
        if (speech.last().isEmpty()) {
            std::fprintf(stderr, "speech: %s\n", qPrintable(error));
            return 1;
        }
    }
    SpeechPlayer player;
    if (!player.start("Soak", "org.example.Soak")) {
        std::fprintf(stderr, "cannot start pacat (is the headless PulseAudio running?)\n");
        return 1;
    }
    QTest::qWait(500);

    Env env = Env::named(Env::Name::local);
    env.api = server.base();
    API api(env, server.key());
    PulseAudioServer pulse;
    DesktopEntries entries;
    AppResolver resolver(entries);
    PulseAudioInputs inputs(pulse, resolver);
    LiveSession session(&api, inputs, LiveSession::Mode::record(),
                        AudioSource::app("org.example.Soak", "Soak"), false, "Soak", {},
                        std::nullopt);

    QElapsedTimer clock;
    clock.start();
    qint64 producedLive = 0;
    qint64 droppedLive = 0;
    QObject::connect(&session, &LiveSession::chunkHandled, [&](qsizetype samples, bool sent) {
        if (session.state() == LiveSession::State::live ||
            session.state() == LiveSession::State::paused) {
            producedLive += samples;
            if (!sent)
                ++droppedLive;
        }
    });
    qint64 lastChange = -1;
    qint64 longestGap = 0;
    QObject::connect(&session, &LiveSession::transcriptChanged, [&] {
        const qint64 now = clock.elapsed();
        if (lastChange >= 0)
            longestGap = std::max(longestGap, now - lastChange);
        lastChange = now;
    });

    const auto started = await(session.start(), 60s);
    if (session.state() != LiveSession::State::live) {
        std::fprintf(stderr, "the recording did not start: %s\n", qPrintable(session.failure()));
        return 1;
    }
    const qint64 liveAt = clock.elapsed();
    lastChange = liveAt;
    std::printf("recording for %.1f minutes\n", minutes);
    std::printf("%8s %10s %10s %10s %10s\n", "minute", "rss MiB", "server MiB", "sent s",
                "segments");
    std::fflush(stdout);

    int next = 0;
    double rssAfterFirstMinute = 0;
    double maxRss = 0;
    int reported = 0;
    while (clock.elapsed() - liveAt < runMs && session.isRunning()) {
        if (player.idle()) {
            player.play(speech[next % speech.size()]);
            ++next;
        }
        QTest::qWait(200);
        const double rss = rssMiB(QCoreApplication::applicationPid());
        maxRss = std::max(maxRss, rss);
        const int minute = int((clock.elapsed() - liveAt) / 60'000);
        if (minute > reported) {
            reported = minute;
            if (minute == 1)
                rssAfterFirstMinute = rss;
            std::printf("%8d %10.1f %10.1f %10.1f %10zu\n", minute, rss, rssMiB(server.pid()),
                        session.sentSeconds(), session.transcript().segments().size());
            std::fflush(stdout);
        }
    }
    const double rssAtEnd = rssMiB(QCoreApplication::applicationPid());
    const bool ranThrough = session.isRunning();
    await(session.stop(), 60s);

    TestClient rest(server.base(), server.key());
    const QJsonObject stored =
        rest.get("/v1/transcriptions").json().value("transcriptions").toArray().first().toObject();
    const double storedSeconds =
        stored.value("lastRecording").toObject().value("durationS").toDouble();
    int exact = 0;
    int heard = 0;
    QStringList expected;
    for (const QString& s : sentences)
        expected.append(written(s));
    for (const auto& [seq, segment] : session.transcript().segments()) {
        ++heard;
        if (expected.contains(segment.text))
            ++exact;
    }

    std::printf("\nran through: %s (state %d%s%s)\n", ranThrough ? "yes" : "no",
                int(session.state()), session.failure().isEmpty() ? "" : ": ",
                qPrintable(session.failure()));
    std::printf("rss: after 1 min %.1f MiB, at end %.1f MiB, peak %.1f MiB, growth %.1f MiB\n",
                rssAfterFirstMinute, rssAtEnd, maxRss, rssAtEnd - rssAfterFirstMinute);
    std::printf("samples: produced while live %lld (%lld chunks not sent), sent %lld, stored by "
                "the service %lld\n",
                producedLive, droppedLive, session.sent(),
                std::llround(storedSeconds * LiveSession::sampleRate));
    std::printf("transcript: %d sentences played, %d segments, %d recognised exactly; longest "
                "wait between changes %.1f s\n",
                next, heard, exact, longestGap / 1000.0);
    server.stop();
    return 0;
}
