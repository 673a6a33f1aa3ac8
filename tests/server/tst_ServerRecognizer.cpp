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
    QTest::addColumn<int>("frame");
    QTest::addColumn<int>("offset");
    // Before the noise floor, the second sentence was lost at offset 0 with each of these.
    for (int frame : {1600, 4000, 8000})
        for (int offset : {0, 1000, 3000})
            QTest::addRow("frames of %d from %d", frame, offset) << frame << offset;
}

void TestServerRecognizer::wordsDoNotDependOnFraming() {
    QFETCH(int, frame);
    QFETCH(int, offset);
    // What a live session stored: 1.2 s of zeros, two sentences with a second of zeros after each.
    const std::vector<float> sound =
        readWav(QStringLiteral(PQ_TEST_DATA "/server/captured-two-sentences.wav"));
    QCOMPARE(sound.size(), size_t(12 * 16000));
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
    QCOMPARE(heard, (QStringList{QStringLiteral("please open the window"),
                                 QStringLiteral("my sister likes green apples")}));
}

QTEST_GUILESS_MAIN(TestServerRecognizer)
#include "tst_ServerRecognizer.moc"
