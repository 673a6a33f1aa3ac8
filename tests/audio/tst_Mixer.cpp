// The mixer's chunking, the second input's alignment and trimming, clipping, the level, flush,
// and two producers pushing concurrently.
#include "Mixer.h"

#include <QTest>

#include <cmath>
#include <mutex>
#include <random>
#include <stdexcept>
#include <thread>

using namespace pq;

namespace {

std::vector<float> filled(std::size_t n, float value) {
    return std::vector<float>(n, value);
}

// A ramp of distinct values, so positions can be told apart.
std::vector<float> ramp(std::size_t n, float step = 1e-5f) {
    std::vector<float> v(n);
    for (std::size_t i = 0; i < n; ++i)
        v[i] = static_cast<float>(i) * step;
    return v;
}

struct Chunks {
    std::vector<std::vector<float>> list;
    void attach(Mixer& mixer) {
        mixer.setOnChunk([this](std::vector<float> c) { list.push_back(std::move(c)); });
    }
};

} // namespace

class TestMixer : public QObject {
    Q_OBJECT

private slots:
    void onlyOneOrTwoInputs();
    void inputOutOfRangeIsRefused();
    void oneInputCutsWholeChunksAndFlushesTheRest();
    void secondInputAloneNeverDelivers();
    void shortSecondInputFillsTheStartOfTheChunk();
    void secondInputIsTrimmedBeyondTwoChunks();
    void secondInputOfExactlyTwoChunksIsKept();
    void sumsAreClippedAndSetTheLevel();
    void flushMixesWhatIsLeft();
    void flushOfEmptyQueuesDeliversNothing();
    void flushLeavesTheLevelAndStartsAfresh();
    void chunksAreDeliveredOutsideTheLock();
    void twoProducersUnderLoad();
};

void TestMixer::onlyOneOrTwoInputs() {
    QVERIFY_THROWS_EXCEPTION(std::invalid_argument, Mixer(0));
    QVERIFY_THROWS_EXCEPTION(std::invalid_argument, Mixer(3));
    QCOMPARE(Mixer(1).inputs(), 1);
    Mixer two(2);
    QCOMPARE(two.inputs(), 2);
    QCOMPARE(two.level(), 0.0f);
}

void TestMixer::inputOutOfRangeIsRefused() {
    Mixer one(1);
    const auto samples = filled(10, 0.1f);
    QVERIFY_THROWS_EXCEPTION(std::out_of_range, one.push(samples, 1));
    QVERIFY_THROWS_EXCEPTION(std::out_of_range, one.push(samples, -1));
    Mixer two(2);
    QVERIFY_THROWS_EXCEPTION(std::out_of_range, two.push(samples, 2));
}

void TestMixer::oneInputCutsWholeChunksAndFlushesTheRest() {
    Mixer mixer(1);
    Chunks chunks;
    chunks.attach(mixer);
    const auto input = ramp(9000);
    mixer.push(input, 0);
    QCOMPARE(chunks.list.size(), std::size_t(2));
    QCOMPARE(chunks.list[0], std::vector<float>(input.begin(), input.begin() + 4000));
    QCOMPARE(chunks.list[1], std::vector<float>(input.begin() + 4000, input.begin() + 8000));
    mixer.flush();
    QCOMPARE(chunks.list.size(), std::size_t(3));
    QCOMPARE(chunks.list[2], std::vector<float>(input.begin() + 8000, input.end()));
}

void TestMixer::secondInputAloneNeverDelivers() {
    Mixer mixer(2);
    Chunks chunks;
    chunks.attach(mixer);
    mixer.push(filled(3999, 0.1f), 0);
    mixer.push(filled(50000, 0.2f), 1);
    mixer.push(filled(1, 0.2f), 1);
    QVERIFY(chunks.list.empty());
    QCOMPARE(mixer.level(), 0.0f);
}

void TestMixer::shortSecondInputFillsTheStartOfTheChunk() {
    Mixer mixer(2);
    Chunks chunks;
    chunks.attach(mixer);
    mixer.push(filled(1500, 0.25f), 1);
    mixer.push(filled(4000, 0.5f), 0);
    QCOMPARE(chunks.list.size(), std::size_t(1));
    const auto& c = chunks.list[0];
    QCOMPARE(c.size(), Mixer::chunk);
    QCOMPARE(c[0], 0.75f);
    QCOMPARE(c[1499], 0.75f);
    QCOMPARE(c[1500], 0.5f);
    QCOMPARE(c[3999], 0.5f);
    // Input 1 was used up: the next chunk is input 0 alone.
    mixer.push(filled(4000, 0.5f), 0);
    QCOMPARE(chunks.list.size(), std::size_t(2));
    QCOMPARE(chunks.list[1], filled(4000, 0.5f));
}

void TestMixer::secondInputIsTrimmedBeyondTwoChunks() {
    Mixer mixer(2);
    Chunks chunks;
    chunks.attach(mixer);
    const auto second = ramp(16000);
    mixer.push(second, 1);
    mixer.push(filled(4000, 0.0f), 0);
    // 12000 were left: only the newest 4000 (12000…15999) remain for the next chunk.
    mixer.push(filled(4000, 0.0f), 0);
    mixer.push(filled(4000, 0.0f), 0);
    QCOMPARE(chunks.list.size(), std::size_t(3));
    QCOMPARE(chunks.list[0], std::vector<float>(second.begin(), second.begin() + 4000));
    QCOMPARE(chunks.list[1], std::vector<float>(second.begin() + 12000, second.end()));
    QCOMPARE(chunks.list[2], filled(4000, 0.0f));
}

void TestMixer::secondInputOfExactlyTwoChunksIsKept() {
    Mixer mixer(2);
    Chunks chunks;
    chunks.attach(mixer);
    const auto second = ramp(12000);
    mixer.push(second, 1);
    for (int i = 0; i < 3; ++i)
        mixer.push(filled(4000, 0.0f), 0);
    QCOMPARE(chunks.list.size(), std::size_t(3));
    for (int i = 0; i < 3; ++i)
        QCOMPARE(chunks.list[i],
                 std::vector<float>(second.begin() + i * 4000, second.begin() + (i + 1) * 4000));
}

void TestMixer::sumsAreClippedAndSetTheLevel() {
    Mixer mixer(2);
    Chunks chunks;
    chunks.attach(mixer);
    std::vector<float> a(4000, 0.8f), b(4000, 0.7f);
    a[1] = -0.8f;
    b[1] = -0.7f;
    a[2] = 0.1f;
    b[2] = -0.3f;
    mixer.push(b, 1);
    mixer.push(a, 0);
    QCOMPARE(chunks.list.size(), std::size_t(1));
    QCOMPARE(chunks.list[0][0], 1.0f);
    QCOMPARE(chunks.list[0][1], -1.0f);
    QVERIFY(std::fabs(chunks.list[0][2] - -0.2f) < 1e-6f);
    QCOMPARE(mixer.level(), 1.0f);

    // The level is the peak of the last chunk, without decay.
    auto quiet = filled(4000, 0.0f);
    quiet[17] = -0.25f;
    mixer.push(quiet, 0);
    QCOMPARE(mixer.level(), 0.25f);
    mixer.push(filled(4000, 0.0f), 0);
    QCOMPARE(mixer.level(), 0.0f);
}

void TestMixer::flushMixesWhatIsLeft() {
    Mixer mixer(2);
    Chunks chunks;
    chunks.attach(mixer);
    mixer.push(filled(100, 0.5f), 0);
    mixer.push(filled(300, 0.75f), 1);
    mixer.flush();
    QCOMPARE(chunks.list.size(), std::size_t(1));
    const auto& c = chunks.list[0];
    QCOMPARE(c.size(), std::size_t(300));
    QCOMPARE(c[0], 1.0f); // 1.25 clipped
    QCOMPARE(c[99], 1.0f);
    QCOMPARE(c[100], 0.75f);
    QCOMPARE(c[299], 0.75f);

    // Input 0 longer than input 1: the sum over input 1's length, input 0 alone after.
    mixer.push(filled(300, 0.25f), 0);
    mixer.push(filled(100, 0.25f), 1);
    mixer.flush();
    QCOMPARE(chunks.list.size(), std::size_t(2));
    QCOMPARE(chunks.list[1].size(), std::size_t(300));
    QCOMPARE(chunks.list[1][99], 0.5f);
    QCOMPARE(chunks.list[1][100], 0.25f);
}

void TestMixer::flushOfEmptyQueuesDeliversNothing() {
    Mixer mixer(2);
    Chunks chunks;
    chunks.attach(mixer);
    mixer.flush();
    mixer.push(filled(4000, 0.1f), 0); // cut at once, nothing left behind
    chunks.list.clear();
    mixer.flush();
    QVERIFY(chunks.list.empty());

    Mixer unheard(1);
    unheard.push(filled(10, 0.1f), 0);
    unheard.flush(); // no handler: nothing to call, nothing kept
    Chunks late;
    late.attach(unheard);
    unheard.flush();
    QVERIFY(late.list.empty());
}

void TestMixer::flushLeavesTheLevelAndStartsAfresh() {
    Mixer mixer(2);
    Chunks chunks;
    chunks.attach(mixer);
    mixer.push(filled(4000, 0.5f), 0);
    QCOMPARE(mixer.level(), 0.5f);
    mixer.push(filled(10, 0.9f), 0);
    mixer.push(filled(5000, 0.9f), 1);
    mixer.flush();
    QCOMPARE(mixer.level(), 0.5f);
    // After a flush both queues start empty: input 1's old samples are gone.
    mixer.push(filled(4000, 0.1f), 0);
    QCOMPARE(chunks.list.back(), filled(4000, 0.1f));
}

void TestMixer::chunksAreDeliveredOutsideTheLock() {
    Mixer mixer(2);
    int delivered = 0;
    mixer.setOnChunk([&](std::vector<float>) {
        ++delivered;
        // Would deadlock if called under the lock.
        mixer.push(std::vector<float>(10, 0.1f), 1);
        QCOMPARE(mixer.level(), 0.5f);
    });
    mixer.push(filled(8000, 0.5f), 0);
    QCOMPARE(delivered, 2);
}

// Producer 0 pushes a known pattern; producer 1 pushes numbered samples at about the same pace,
// so the second input is sometimes short and sometimes trimmed. Every output sample must be
// input 0's sample plus, at the start of each chunk, a run of consecutive input 1 samples, with
// input 1 never going backwards, and sums above 1 clipped.
void TestMixer::twoProducersUnderLoad() {
    constexpr std::size_t total0 = 400 * Mixer::chunk;
    constexpr std::size_t total1 = 380 * Mixer::chunk;
    const auto a = [](std::size_t i) {
        return i % 50 == 0 ? 0.95f : 0.05f * static_cast<float>((i * 7919) % 1000) / 1000.0f;
    };
    // Distinct values that stay below 1 with any input 0 sample except the 0.95 ones.
    const auto b = [](std::size_t j) { return 0.06f + static_cast<float>(j) * 5e-7f; };

    Mixer mixer(2);
    std::vector<float> out;
    std::mutex outMutex;
    mixer.setOnChunk([&](std::vector<float> c) {
        QCOMPARE(c.size(), Mixer::chunk);
        std::lock_guard guard(outMutex);
        out.insert(out.end(), c.begin(), c.end());
    });

    auto produce = [&](int input, std::size_t total, auto value, unsigned seed) {
        std::mt19937 random(seed);
        std::uniform_int_distribution<std::size_t> size(1, 3000);
        std::size_t sent = 0;
        std::vector<float> buffer;
        while (sent < total) {
            const std::size_t n = std::min(size(random), total - sent);
            buffer.resize(n);
            for (std::size_t k = 0; k < n; ++k)
                buffer[k] = value(sent + k);
            mixer.push(buffer, input);
            sent += n;
            std::this_thread::yield();
        }
    };
    std::thread first(produce, 0, total0, a, 1u);
    std::thread second(produce, 1, total1, b, 2u);
    first.join();
    second.join();

    QCOMPARE(out.size(), total0);
    long long lastJ = -1;
    std::size_t added = 0;
    for (std::size_t c = 0; c < out.size() / Mixer::chunk; ++c) {
        bool inRun = true;
        long long runJ = -1;
        for (std::size_t p = 0; p < Mixer::chunk; ++p) {
            const std::size_t i = c * Mixer::chunk + p;
            const float base = a(i);
            const float got = out[i];
            if (base > 0.9f) {
                // With any input 1 sample the sum clips; alone it is input 0.
                QVERIFY2(got == 1.0f || got == base, qPrintable(QString::number(i)));
                if (got == base)
                    inRun = false;
                else
                    QVERIFY2(inRun, "an input 1 sample after the run ended");
                if (got == 1.0f && runJ >= 0)
                    ++runJ;
                continue;
            }
            const float extra = got - base;
            if (std::fabs(extra) < 1e-6f) {
                inRun = false;
                continue;
            }
            QVERIFY2(inRun, qPrintable(QStringLiteral("input 1 after a gap at %1").arg(i)));
            const auto j = static_cast<long long>(std::lround((extra - 0.06f) / 5e-7f));
            QVERIFY2(j >= 0 && std::fabs(b(static_cast<std::size_t>(j)) - extra) < 2e-7f,
                     qPrintable(QStringLiteral("not an input 1 sample at %1").arg(i)));
            if (runJ >= 0)
                QVERIFY2(j == runJ + 1, qPrintable(QStringLiteral("run broken at %1").arg(i)));
            QVERIFY2(j > lastJ, qPrintable(QStringLiteral("input 1 went back at %1").arg(i)));
            runJ = j;
            lastJ = j;
            ++added;
        }
    }
    // How much of input 1 survives trimming depends on how the threads were scheduled (on a busy
    // machine producer 1 can run far ahead); some of it always reaches a chunk, because trimming
    // keeps the newest 4,000 samples.
    QVERIFY2(added > 0, qPrintable(QStringLiteral("%1 of %2").arg(added).arg(total1)));
}

QTEST_GUILESS_MAIN(TestMixer)
#include "tst_Mixer.moc"
