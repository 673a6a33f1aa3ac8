#include "SpeechPlayer.h"

#include "EndProcess.h"

#include <QFile>
#include <QProcessEnvironment>
#include <QTemporaryDir>

#include <csignal>
#include <fcntl.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace pq::test {

namespace {

// Handed over at a time once pacat has taken everything before: enough to ride out a late timer.
constexpr qint64 blockSamples = SpeechPlayer::rate / 10;
// The smallest pipe there is: a fuller pipe would hold seconds of sound that pacat has not read
// yet, all of it late.
constexpr int pipeBytes = 4096;

bool run(const QString& program, const QStringList& args, QString* error) {
    QProcess p;
    p.start(program, args);
    if (!p.waitForFinished(60'000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        if (error)
            *error =
                program + QStringLiteral(" failed: ") + QString::fromUtf8(p.readAllStandardError());
        return false;
    }
    return true;
}

} // namespace

SpeechPlayer::SpeechPlayer() {
    m_timer.setInterval(50);
    QObject::connect(&m_timer, &QTimer::timeout, [this] { feed(); });
    m_process.setChildProcessModifier([] {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        ::fcntl(STDIN_FILENO, F_SETPIPE_SZ, pipeBytes);
    });
}

SpeechPlayer::~SpeechPlayer() {
    stop();
}

bool SpeechPlayer::start(const QString& clientName, const QString& appId, const QString& device) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("GIO_LAUNCHED_DESKTOP_FILE"),
               QStringLiteral("/usr/share/applications/") + appId + QStringLiteral(".desktop"));
    m_process.setProcessEnvironment(env);
    m_process.start(QStringLiteral("pacat"),
                    {QStringLiteral("--playback"), QStringLiteral("--client-name=") + clientName,
                     QStringLiteral("--device=") + device, QStringLiteral("--raw"),
                     QStringLiteral("--format=s16le"), QStringLiteral("--rate=16000"),
                     QStringLiteral("--channels=1"), QStringLiteral("--latency-msec=40")});
    if (!m_process.waitForStarted(10'000))
        return false;
    feed();
    m_timer.start();
    return true;
}

void SpeechPlayer::stop() {
    m_timer.stop();
    endProcess(m_process);
}

void SpeechPlayer::play(const QByteArray& samples) {
    m_queue += samples;
}

bool SpeechPlayer::idle() const {
    return m_queue.isEmpty() && m_process.bytesToWrite() == 0;
}

void SpeechPlayer::feed() {
    // pacat reads as fast as it plays: what the pipe has not taken yet waits here, so the sound
    // is never more than a block and a pipe ahead of the speaker. Silence keeps the stream going.
    if (m_process.state() != QProcess::Running || m_process.bytesToWrite() > 0)
        return;
    const qint64 bytes = blockSamples * 2;
    QByteArray out = m_queue.left(bytes);
    m_queue.remove(0, out.size());
    out += QByteArray(bytes - out.size(), '\0');
    m_process.write(out);
}

QByteArray SpeechPlayer::silence(double seconds) {
    return QByteArray(qsizetype(seconds * rate) * 2, '\0');
}

bool SpeechPlayer::writeWav(const QString& text, const QString& path, QString* error, double padS) {
    if (padS <= 0)
        return run(QStringLiteral("espeak-ng"), {QStringLiteral("-w"), path, text}, error);
    QTemporaryDir dir;
    const QString bare = dir.filePath(QStringLiteral("bare.wav"));
    const QString pad = QString::number(padS);
    return run(QStringLiteral("espeak-ng"), {QStringLiteral("-w"), bare, text}, error) &&
           run(QStringLiteral("sox"), {bare, path, QStringLiteral("pad"), pad, pad}, error);
}

QByteArray SpeechPlayer::speech(const QString& text, double padS, QString* error) {
    QTemporaryDir dir;
    const QString wav = dir.filePath(QStringLiteral("speech.wav"));
    const QString raw = dir.filePath(QStringLiteral("speech.raw"));
    if (!writeWav(text, wav, error, 0) ||
        !run(QStringLiteral("sox"),
             {wav, QStringLiteral("-r"), QString::number(rate), QStringLiteral("-c"),
              QStringLiteral("1"), QStringLiteral("-e"), QStringLiteral("signed-integer"),
              QStringLiteral("-b"), QStringLiteral("16"), QStringLiteral("-L"),
              QStringLiteral("-t"), QStringLiteral("raw"), raw},
             error))
        return {};
    QFile f(raw);
    if (!f.open(QIODevice::ReadOnly)) {
        if (error)
            *error = QStringLiteral("cannot read ") + raw;
        return {};
    }
    return f.readAll() + silence(padS);
}

} // namespace pq::test
