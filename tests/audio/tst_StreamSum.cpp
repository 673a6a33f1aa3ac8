// Summing independently arriving streams: alignment, stalled and ended streams, and silence in
// real time when nothing plays.
#include "StreamSum.h"

#include <QTest>

using namespace pq;
using namespace std::chrono_literals;

namespace {
using Clock = StreamSum::Clock;
std::vector<float> filled(std::size_t n, float v) {
    return std::vector<float>(n, v);
}
} // namespace

class TestStreamSum : public QObject {
    Q_OBJECT

private slots:
    void oneStreamPassesThrough();
    void twoStreamsAdvanceWithTheSlowest();
    void aStalledStreamHoldsTheOthersAtMostMaxLag();
    void anIdleStreamNoLongerHoldsTheOthers();
    void anEndedStreamGivesWhatItHolds();
    void silenceWhenNothingPlays();
    void silenceStopsWhenDataComes();
    void unknownStreamsAreIgnored();
};

void TestStreamSum::oneStreamPassesThrough() {
    const auto t0 = Clock::now();
    StreamSum sum(t0);
    const int a = sum.add();
    const std::vector<float> v{0.1f, 0.2f, 0.3f};
    sum.push(a, v, t0);
    QCOMPARE(sum.take(t0), v);
    QVERIFY(sum.take(t0 + 10ms).empty());
}

void TestStreamSum::twoStreamsAdvanceWithTheSlowest() {
    const auto t0 = Clock::now();
    StreamSum sum(t0);
    const int a = sum.add();
    const int b = sum.add();
    sum.push(a, filled(800, 0.25f), t0);
    sum.push(b, filled(300, 0.5f), t0);
    auto out = sum.take(t0);
    QCOMPARE(out, filled(300, 0.75f));
    sum.push(b, filled(800, 0.5f), t0 + 50ms);
    out = sum.take(t0 + 50ms);
    QCOMPARE(out, filled(500, 0.75f));
    sum.push(a, filled(300, 0.25f), t0 + 60ms);
    out = sum.take(t0 + 60ms);
    QCOMPARE(out, filled(300, 0.75f));
}

void TestStreamSum::aStalledStreamHoldsTheOthersAtMostMaxLag() {
    const auto t0 = Clock::now();
    StreamSum sum(t0);
    const int a = sum.add();
    const int b = sum.add();
    sum.push(b, filled(10, 0.5f), t0);
    sum.push(a, filled(StreamSum::maxLag + 1000, 0.25f), t0);
    // b has 10 samples, a runs 1000 beyond the lag allowed: 1000 go out, b's 10 at their start.
    const auto out = sum.take(t0);
    QCOMPARE(out.size(), std::size_t(1000));
    QCOMPARE(out[9], 0.75f);
    QCOMPARE(out[10], 0.25f);
}

void TestStreamSum::anIdleStreamNoLongerHoldsTheOthers() {
    const auto t0 = Clock::now();
    StreamSum sum(t0);
    const int a = sum.add();
    const int b = sum.add();
    sum.push(b, filled(10, 0.5f), t0);
    QCOMPARE(sum.take(t0).size(), std::size_t(10));
    sum.push(a, filled(500, 0.25f), t0 + 100ms);
    QVERIFY(sum.take(t0 + 100ms).empty()); // b may still deliver
    sum.push(a, filled(500, 0.25f), t0 + 300ms);
    // b has said nothing for longer than `idle`: a goes alone.
    QCOMPARE(sum.take(t0 + 300ms), filled(1000, 0.25f));
}

void TestStreamSum::anEndedStreamGivesWhatItHolds() {
    const auto t0 = Clock::now();
    StreamSum sum(t0);
    const int a = sum.add();
    const int b = sum.add();
    sum.push(a, filled(100, 0.25f), t0);
    sum.push(b, filled(300, 0.5f), t0);
    QCOMPARE(sum.take(t0).size(), std::size_t(100));
    sum.end(b);
    sum.push(b, filled(100, 0.5f), t0); // after its end: ignored
    sum.push(a, filled(300, 0.25f), t0 + 10ms);
    auto out = sum.take(t0 + 10ms);
    QCOMPARE(out.size(), std::size_t(300));
    QCOMPARE(out[199], 0.75f);
    QCOMPARE(out[200], 0.25f);
    QCOMPARE(sum.streams(), std::size_t(1)); // b is gone once emptied

    // The last stream ending hands out all it has.
    sum.push(a, filled(50, 0.25f), t0 + 20ms);
    sum.end(a);
    QCOMPARE(sum.take(t0 + 20ms), filled(50, 0.25f));
    QCOMPARE(sum.streams(), std::size_t(0));
}

void TestStreamSum::silenceWhenNothingPlays() {
    const auto t0 = Clock::now();
    StreamSum sum(t0);
    QVERIFY(sum.take(t0 + 100ms).empty()); // not before `idle`
    auto out = sum.take(t0 + 250ms);
    QCOMPARE(out, filled(4000, 0.0f));
    QVERIFY(sum.take(t0 + 260ms).empty());
    // Over a long run the silence keeps the real-time rate exactly.
    std::size_t total = out.size();
    for (int ms = 300; ms <= 10'000; ms += 50)
        total += sum.take(t0 + std::chrono::milliseconds(ms)).size();
    QCOMPARE(total, std::size_t(160'000));

    // A stream that has never delivered does not hold the silence back.
    StreamSum quiet(t0);
    quiet.add();
    QCOMPARE(quiet.take(t0 + 500ms).size(), std::size_t(8000));
}

void TestStreamSum::silenceStopsWhenDataComes() {
    const auto t0 = Clock::now();
    StreamSum sum(t0);
    QCOMPARE(sum.take(t0 + 300ms).size(), std::size_t(4800));
    const int a = sum.add();
    sum.push(a, filled(800, 0.5f), t0 + 310ms);
    QCOMPARE(sum.take(t0 + 310ms), filled(800, 0.5f));
    // Flowing: no silence between deliveries.
    QVERIFY(sum.take(t0 + 400ms).empty());
    sum.push(a, filled(800, 0.5f), t0 + 410ms);
    QCOMPARE(sum.take(t0 + 410ms).size(), std::size_t(800));
    // It stops: silence resumes from its last output once it is idle.
    QVERIFY(sum.take(t0 + 600ms).empty());
    QCOMPARE(sum.take(t0 + 700ms).size(), std::size_t(4640)); // 290 ms
}

void TestStreamSum::unknownStreamsAreIgnored() {
    const auto t0 = Clock::now();
    StreamSum sum(t0);
    sum.push(42, filled(10, 1.0f), t0);
    sum.end(42);
    QVERIFY(sum.take(t0).empty());
}

QTEST_GUILESS_MAIN(TestStreamSum)
#include "tst_StreamSum.moc"
