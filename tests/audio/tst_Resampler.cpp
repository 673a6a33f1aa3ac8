// Conversion to 16 kHz mono float: formats, down-mixing, counts, and continuity across buffers of
// irregular sizes.
#include "AudioTestSupport.h"
#include "Resampler.h"

#include <QTest>

#include <cmath>
#include <random>

using namespace pq;
using namespace pq::test;

namespace {

// Feeds `input` (interleaved) in random-sized buffers and gathers the output.
template <class Sample>
std::vector<float> convertInPieces(Resampler& resampler, const std::vector<Sample>& input,
                                   unsigned seed, std::vector<std::size_t>* sizes = nullptr) {
    const auto channels = static_cast<std::size_t>(resampler.input().channels);
    std::mt19937 random(seed);
    std::uniform_int_distribution<std::size_t> frames(1, 1500);
    std::vector<float> out;
    std::size_t at = 0;
    const std::size_t total = input.size() / channels;
    while (at < total) {
        const std::size_t n = std::min(frames(random), total - at);
        const auto got =
            resampler.convert(std::span<const Sample>(input.data() + at * channels, n * channels));
        if (sizes)
            sizes->push_back(got.size());
        out.insert(out.end(), got.begin(), got.end());
        at += n;
    }
    return out;
}

} // namespace

class TestResampler : public QObject {
    Q_OBJECT

private slots:
    void outputFormat();
    void refusesFormatsItCannotConvert();
    void serviceFormatPassesThrough();
    void bufferOf480FramesAt48k();
    void channelsAreAveraged();
    void int16IsScaled();
    void continuousToneAcrossIrregularBuffers_data();
    void continuousToneAcrossIrregularBuffers();
};

void TestResampler::outputFormat() {
    const AudioFormat& out = Resampler::output();
    QCOMPARE(out.sampleRate, 16000);
    QCOMPARE(out.channels, 1);
    QVERIFY(out.sampleType == AudioFormat::SampleType::float32);
    QCOMPARE(&Resampler::output(), &out);
}

void TestResampler::refusesFormatsItCannotConvert() {
    using T = AudioFormat::SampleType;
    QVERIFY(!Resampler::create({T::float32, 0, 2}));
    QVERIFY(!Resampler::create({T::float32, -44100, 2}));
    QVERIFY(!Resampler::create({T::float32, 48000, 0}));
    QVERIFY(!Resampler::create({T::int16, 48000, 33}));
    QVERIFY(Resampler::create({T::int16, 8000, 1}));
    QVERIFY(Resampler::create({T::float32, 192000, 8}));
}

void TestResampler::serviceFormatPassesThrough() {
    auto r = Resampler::create(Resampler::output());
    QVERIFY(r);
    const auto tone = sine(440, 16000, 0.1);
    QCOMPARE(r->convert(std::span<const float>(tone)), tone);
    QVERIFY(r->convert(nullptr, 10).empty());
    QVERIFY(r->drain().empty());
    // The wrong sample type for this converter gives nothing rather than garbage.
    const std::vector<std::int16_t> ints(100, 1);
    QVERIFY(r->convert(std::span<const std::int16_t>(ints)).empty());
}

void TestResampler::bufferOf480FramesAt48k() {
    auto r = Resampler::create({AudioFormat::SampleType::float32, 48000, 2});
    QVERIFY(r);
    const auto tone = sine(1000, 48000, 1.0, 0.5, 2);
    std::size_t total = 0;
    for (int i = 0; i < 100; ++i)
        total += r->convert(std::span<const float>(tone.data() + i * 960, 960)).size();
    // The converter works in blocks: what it holds back is its delay, well under 50 ms…
    const std::size_t held = r->drain().size();
    QVERIFY2(held > 0 && held < 800, qPrintable(QString::number(held)));
    // …and over the run every 480 frames made 160 samples.
    QCOMPARE(total + held, std::size_t(16000));
    // After the end of a stream the converter starts a new one.
    const auto again = r->convert(std::span<const float>(tone));
    QVERIFY(again.size() + r->drain().size() == 16000);
}

void TestResampler::channelsAreAveraged() {
    auto r = Resampler::create({AudioFormat::SampleType::float32, 16000, 2});
    QVERIFY(r);
    const std::vector<float> frames{0.5f, -0.5f, 0.25f, 0.75f, -1.0f, -0.5f};
    QCOMPARE(r->convert(std::span<const float>(frames)), (std::vector<float>{0.0f, 0.5f, -0.75f}));

    auto four = Resampler::create({AudioFormat::SampleType::float32, 16000, 4});
    const std::vector<float> quad{1.0f, 0.0f, 0.0f, 0.0f};
    QCOMPARE(four->convert(std::span<const float>(quad)), std::vector<float>{0.25f});

    // Opposite channels cancel at any rate.
    auto r48 = Resampler::create({AudioFormat::SampleType::float32, 48000, 2});
    auto tone = sine(1000, 48000, 1.0, 0.5, 2);
    for (std::size_t i = 1; i < tone.size(); i += 2)
        tone[i] = -tone[i];
    const auto out = r48->convert(std::span<const float>(tone));
    QVERIFY(out.size() > 15000);
    QVERIFY(rms(out) < 1e-6);
}

void TestResampler::int16IsScaled() {
    auto r = Resampler::create({AudioFormat::SampleType::int16, 16000, 2});
    QVERIFY(r);
    const std::vector<std::int16_t> frames{16384, 16384, -32768, -32768, 0, 32767};
    const auto out = r->convert(std::span<const std::int16_t>(frames));
    QCOMPARE(out.size(), std::size_t(3));
    QCOMPARE(out[0], 0.5f);
    QCOMPARE(out[1], -1.0f);
    QVERIFY(std::fabs(out[2] - 0.5f) < 1e-4f);
    // Through a sample type it does not take, nothing.
    QVERIFY(r->convert(std::span<const float>(std::vector<float>(4, 0.1f))).empty());
}

void TestResampler::continuousToneAcrossIrregularBuffers_data() {
    QTest::addColumn<int>("rate");
    QTest::addColumn<int>("channels");
    QTest::addColumn<bool>("int16");
    QTest::newRow("48 kHz stereo float") << 48000 << 2 << false;
    QTest::newRow("44.1 kHz mono float") << 44100 << 1 << false;
    QTest::newRow("44.1 kHz mono int16") << 44100 << 1 << true;
    QTest::newRow("48 kHz stereo int16") << 48000 << 2 << true;
}

void TestResampler::continuousToneAcrossIrregularBuffers() {
    QFETCH(int, rate);
    QFETCH(int, channels);
    QFETCH(bool, int16);
    constexpr double seconds = 10.0;
    const auto tone = sine(1000, rate, seconds, 0.5, channels);
    std::vector<float> out;
    std::vector<std::size_t> sizes;
    if (int16) {
        auto r = Resampler::create({AudioFormat::SampleType::int16, rate, channels});
        QVERIFY(r);
        std::vector<std::int16_t> ints(tone.size());
        for (std::size_t i = 0; i < tone.size(); ++i)
            ints[i] = static_cast<std::int16_t>(std::lround(tone[i] * 32767.0f));
        out = convertInPieces(*r, ints, 7, &sizes);
        const auto tail = r->drain();
        // Before the end of the stream only the filter's delay is missing.
        QVERIFY2(tail.size() < 800, qPrintable(QString::number(tail.size())));
        out.insert(out.end(), tail.begin(), tail.end());
    } else {
        auto r = Resampler::create({AudioFormat::SampleType::float32, rate, channels});
        QVERIFY(r);
        out = convertInPieces(*r, tone, 11, &sizes);
        const auto tail = r->drain();
        QVERIFY2(tail.size() < 800, qPrintable(QString::number(tail.size())));
        out.insert(out.end(), tail.begin(), tail.end());
    }

    // Sample count within one of the ideal over 10 s.
    const auto ideal = static_cast<long long>(seconds * 16000);
    QVERIFY2(std::llabs(static_cast<long long>(out.size()) - ideal) <= 1,
             qPrintable(QString::number(out.size())));

    // A continuous 1 kHz tone at the input's amplitude: a click at any of the hundreds of buffer
    // joins would raise THD+N far above the converter's own floor. Ends trimmed (filter start-up).
    const std::span<const float> middle(out.data() + 1600, out.size() - 3200);
    QVERIFY(std::fabs(toneAmplitude(middle, 1000) - 0.5) < 0.01);
    const double thdn = thdPlusNoiseDb(middle, 1000);
    const double bound = int16 ? -85.0 : -100.0;
    QVERIFY2(thdn < bound, qPrintable(QStringLiteral("THD+N %1 dB").arg(thdn)));
    // The worst stretch of 10 ms is as clean as the whole.
    double worst = -300.0;
    for (std::size_t at = 0; at + 160 <= middle.size(); at += 160)
        worst = std::max(worst, thdPlusNoiseDb(middle.subspan(at, 160), 1000));
    QVERIFY2(worst < bound + 15, qPrintable(QStringLiteral("worst 10 ms: %1 dB").arg(worst)));
    QVERIFY(sizes.size() > 500);
    qInfo("THD+N %.1f dB, worst 10 ms %.1f dB over %zu buffers", thdn, worst, sizes.size());
}

QTEST_GUILESS_MAIN(TestResampler)
#include "tst_Resampler.moc"
