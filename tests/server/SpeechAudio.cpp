#include "SpeechAudio.h"

#include "WsClient.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

namespace pq::test {

namespace {

bool run(const QString& program, const QStringList& args, QString* error) {
    QProcess p;
    p.start(program, args);
    if (!p.waitForFinished(60'000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        *error =
            program + QStringLiteral(" failed: ") + QString::fromUtf8(p.readAllStandardError());
        return false;
    }
    return true;
}

} // namespace

QByteArray SpeechAudio::silence(double seconds) {
    return QByteArray(qsizetype(seconds * kRate) * 4, '\0');
}

QByteArray SpeechAudio::synthesize(const QStringList& sentences, double gapS, QString* error) {
    QTemporaryDir dir;
    QByteArray out;
    for (int i = 0; i < sentences.size(); ++i) {
        const QString wav = dir.filePath(QStringLiteral("s%1.wav").arg(i));
        const QString raw = dir.filePath(QStringLiteral("s%1.f32").arg(i));
        if (!run(QStringLiteral("espeak-ng"), {QStringLiteral("-w"), wav, sentences[i]}, error))
            return {};
        if (!run(QStringLiteral("sox"),
                 {wav, QStringLiteral("-r"), QString::number(kRate), QStringLiteral("-c"),
                  QStringLiteral("1"), QStringLiteral("-e"), QStringLiteral("floating-point"),
                  QStringLiteral("-b"), QStringLiteral("32"), QStringLiteral("-L"),
                  QStringLiteral("-t"), QStringLiteral("raw"), raw},
                 error))
            return {};
        QFile f(raw);
        if (!f.open(QIODevice::ReadOnly)) {
            *error = QStringLiteral("cannot read ") + raw;
            return {};
        }
        out += silence(gapS);
        out += f.readAll();
    }
    out += silence(gapS);
    return out;
}

QByteArray SpeechAudio::wavFile(const QStringList& sentences, double gapS, QString* error) {
    QTemporaryDir dir;
    const QString gap = dir.filePath(QStringLiteral("gap.wav"));
    if (!run(QStringLiteral("sox"),
             {QStringLiteral("-n"), QStringLiteral("-r"), QStringLiteral("22050"),
              QStringLiteral("-c"), QStringLiteral("1"), QStringLiteral("-b"), QStringLiteral("16"),
              gap, QStringLiteral("trim"), QStringLiteral("0"), QString::number(gapS)},
             error))
        return {};
    QStringList parts{gap};
    for (int i = 0; i < sentences.size(); ++i) {
        const QString wav = dir.filePath(QStringLiteral("s%1.wav").arg(i));
        if (!run(QStringLiteral("espeak-ng"), {QStringLiteral("-w"), wav, sentences[i]}, error))
            return {};
        parts << wav << gap;
    }
    const QString out = dir.filePath(QStringLiteral("speech.wav"));
    if (!run(QStringLiteral("sox"), parts + QStringList{out}, error))
        return {};
    QFile f(out);
    if (!f.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read ") + out;
        return {};
    }
    return f.readAll();
}

void SpeechAudio::stream(WsClient& client, const QByteArray& audio, double speed) {
    QElapsedTimer clock;
    clock.start();
    const qsizetype chunkBytes = kChunk * 4;
    qint64 sent = 0;
    for (qsizetype offset = 0; offset < audio.size(); offset += chunkBytes) {
        const QByteArray chunk = audio.mid(offset, chunkBytes);
        client.sendBinary(chunk);
        const qint64 before = sent;
        sent += chunk.size() / 4;
        if (sent / kRate != before / kRate) {
            client.sendJson(QJsonObject{{QStringLiteral("type"), QStringLiteral("clock")},
                                        {QStringLiteral("pcm"), sent},
                                        {QStringLiteral("wall"), clock.elapsed() / 1000.0}});
        }
        // Real-time pace: wait until the wall clock catches up with the audio sent.
        const qint64 due = qint64(double(sent) / kRate * 1000.0 / speed);
        const qint64 wait = due - clock.elapsed();
        if (wait > 0)
            QTest::qWait(int(wait));
        else
            QTest::qWait(0);
    }
}

} // namespace pq::test
