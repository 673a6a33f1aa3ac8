#include "SpeechPlayer.h"

#include <QFile>
#include <QProcessEnvironment>
#include <QTemporaryDir>

#include <csignal>
#include <sys/prctl.h>

namespace pq::test {

namespace {

// How far ahead of the clock the player is kept fed.
constexpr qint64 leadSamples = SpeechPlayer::rate * 3 / 10;

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
    m_process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
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
    m_clock.start();
    m_written = 0;
    feed();
    m_timer.start();
    return true;
}

void SpeechPlayer::stop() {
    m_timer.stop();
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(5000)) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

void SpeechPlayer::play(const QByteArray& samples) {
    m_queue += samples;
}

bool SpeechPlayer::idle() const {
    return m_queue.isEmpty() && m_written <= m_clock.elapsed() * rate / 1000 + leadSamples;
}

void SpeechPlayer::feed() {
    if (m_process.state() != QProcess::Running)
        return;
    const qint64 due = m_clock.elapsed() * rate / 1000 + leadSamples;
    if (m_written >= due)
        return;
    const qint64 bytes = (due - m_written) * 2;
    QByteArray out = m_queue.left(bytes);
    m_queue.remove(0, out.size());
    out += QByteArray(bytes - out.size(), '\0');
    m_process.write(out);
    m_written = due;
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
