// The recogniser on sound captured from an application: exact digital silence before and between
// sentences, fed in frames of the sizes clients send, starting anywhere. The words must not
// depend on where the frames were cut.
#include "Recognizer.h"
#include "ServerConfig.h"

#include <QFile>
#include <QTest>

#include <cstring>

using namespace pq::server;

namespace {

// 16 kHz mono 16-bit WAV (as the service keeps live sound) to float samples.
std::vector<float> readWav(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    const QByteArray data = f.readAll().mid(44);
    std::vector<float> out(size_t(data.size() / 2));
    for (size_t i = 0; i < out.size(); ++i) {
        qint16 v;
        std::memcpy(&v, data.constData() + 2 * i, 2);
        out[i] = float(v) / 32767.0f;
    }
    return out;
}

} // namespace

class TestServerRecognizer : public QObject {
    Q_OBJECT

private slots:
    void wordsDoNotDependOnFraming_data();
    void wordsDoNotDependOnFraming();
};

void TestServerRecognizer::wordsDoNotDependOnFraming_data() {
    QTest::addColumn<QString>("file");
    QTest::addColumn<QStringList>("expected");
    QTest::addColumn<int>("frame");
    QTest::addColumn<int>("offset");
    // What live sessions stored. Two sentences, each after about a second of zeros: before the
    // noise floor, the second was lost at offset 0 with each framing. One sentence after a
    // second of zeros, as a caption run sent it: the empty utterance the voice detector makes of
    // the stream's first second skewed the cepstral mean, and the sentence was lost in frames of
    // 4000 from 0.
    const QStringList two{QStringLiteral("please open the window"),
                          QStringLiteral("my sister likes green apples")};
    const QStringList one{QStringLiteral("where is the nearest station")};
    for (const auto& [file, expected] : {std::pair{"captured-two-sentences.wav", two},
                                         std::pair{"captured-after-silence.wav", one}})
        for (int frame : {1600, 4000, 8000})
            for (int offset : {0, 1000, 3000})
                QTest::addRow("%s in frames of %d from %d", file, frame, offset)
                    << QString::fromLatin1(file) << expected << frame << offset;
}

void TestServerRecognizer::wordsDoNotDependOnFraming() {
    QFETCH(QString, file);
    QFETCH(QStringList, expected);
    QFETCH(int, frame);
    QFETCH(int, offset);
    const std::vector<float> sound = readWav(QStringLiteral(PQ_TEST_DATA "/server/") + file);
    QVERIFY(sound.size() > 3 * 16000);
    const ServerConfig config;
    QStringList heard;
    QString failure;
    Recognizer recognizer(
        nullptr,
        DecoderOptions{config.modelDir, QStringLiteral(PQ_TEST_DATA "/server/sentences.jsgf"), {}},
        Recognizer::Callbacks{
            .ready = [] {},
            .failed = [&failure](QString message) { failure = message; },
            .partial = nullptr,
            .utterance = [&heard](QString text, double, double) { heard.append(text); },
            .flushed = [](int) {},
        });
    recognizer.start();
    QVERIFY2(failure.isEmpty(), qPrintable(failure));
    auto feed = [&recognizer, &sound](size_t at, size_t count) {
        recognizer.feed(QByteArray(reinterpret_cast<const char*>(sound.data() + at),
                                   qsizetype(count * sizeof(float))));
    };
    size_t at = 0;
    if (offset > 0) {
        feed(0, size_t(offset));
        at = size_t(offset);
    }
    for (; at < sound.size(); at += size_t(frame))
        feed(at, std::min(sound.size() - at, size_t(frame)));
    recognizer.flush(1);
    QCOMPARE(heard, expected);
}

QTEST_GUILESS_MAIN(TestServerRecognizer)
#include "tst_ServerRecognizer.moc"
