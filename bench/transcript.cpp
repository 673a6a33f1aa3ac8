// Cost of one live redraw: apply one committed event to a transcript of 1,000 and 10,000
// segments, then build the panel's lines (60 words). Also the cost when the holder copies the
// value before changing it, of a draft event (which runs the staleness check), and of the first
// call, which builds every line.
#include "Transcript.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QRandomGenerator>

#include <cstdio>

using namespace pq;

namespace {

const QStringList vocabulary = {
    QStringLiteral("the"),     QStringLiteral("meeting"), QStringLiteral("should"),
    QStringLiteral("ship"),    QStringLiteral("monday"),  QStringLiteral("budget"),
    QStringLiteral("review"),  QStringLiteral("we"),      QStringLiteral("will"),
    QStringLiteral("discuss"), QStringLiteral("later"),   QStringLiteral("numbers"),
    QStringLiteral("team"),    QStringLiteral("plan"),    QStringLiteral("and"),
};

QString sentenceText(QRandomGenerator& random, int words) {
    QStringList out;
    for (int i = 0; i < words; ++i)
        out.append(vocabulary.at(random.bounded(vocabulary.size())));
    return out.join(QLatin1Char(' ')) + QLatin1Char('.');
}

QJsonObject committed(QRandomGenerator& random, qint64 seq, qint64 speaker) {
    QJsonObject translations{{QStringLiteral("es"), sentenceText(random, 10)}};
    QJsonObject segment{{QStringLiteral("seq"), seq},
                        {QStringLiteral("speaker"), speaker},
                        {QStringLiteral("start"), static_cast<double>(seq) * 2.5},
                        {QStringLiteral("end"), static_cast<double>(seq) * 2.5 + 2.4},
                        {QStringLiteral("text"), sentenceText(random, 6 + random.bounded(10))},
                        {QStringLiteral("translations"), translations}};
    return {{QStringLiteral("type"), QStringLiteral("transcript.committed")},
            {QStringLiteral("cursor"), seq},
            {QStringLiteral("segment"), segment}};
}

QJsonObject sentence(QRandomGenerator& random, qint64 id, qint64 from, qint64 to) {
    QJsonArray seqs;
    for (qint64 s = from; s <= to; ++s)
        seqs.append(s);
    QJsonObject body{{QStringLiteral("sentenceId"), id},
                     {QStringLiteral("seqs"), seqs},
                     {QStringLiteral("text"), sentenceText(random, 12)},
                     {QStringLiteral("translations"),
                      QJsonObject{{QStringLiteral("es"), sentenceText(random, 12)}}}};
    return {{QStringLiteral("type"), QStringLiteral("transcript.sentence")},
            {QStringLiteral("sentence"), body}};
}

QJsonObject draft(QRandomGenerator& random) {
    QJsonArray parts{QJsonObject{{QStringLiteral("text"), sentenceText(random, 8)}}};
    return {{QStringLiteral("type"), QStringLiteral("transcript.draft")},
            {QStringLiteral("segments"), parts}};
}

// A transcript of `count` segments, speakers changing every few segments, and a translated
// sentence over each pair of segments.
Transcript build(QRandomGenerator& random, qint64 count) {
    Transcript t(QStringLiteral("es"));
    qint64 speaker = 0;
    for (qint64 seq = 1; seq <= count; ++seq) {
        if (random.bounded(4) == 0)
            speaker = (speaker + 1) % 3;
        t.apply(committed(random, seq, speaker));
        if (seq % 2 == 0)
            t.apply(sentence(random, seq / 2, seq - 1, seq));
    }
    return t;
}

volatile qsizetype sink = 0;

void run(qint64 count) {
    QRandomGenerator random(42);
    Transcript base = build(random, count);
    constexpr int events = 300;

    QList<QJsonObject> commits;
    QList<QJsonObject> drafts;
    for (int i = 0; i < events; ++i) {
        commits.append(committed(random, count + 1 + i, random.bounded(3)));
        drafts.append(draft(random));
    }

    {
        QElapsedTimer clock;
        clock.start();
        sink = sink + base.linesFromScratch(60).size();
        std::printf("%6lld segments  lines(60) from scratch:    %8.3f ms\n",
                    static_cast<long long>(count), static_cast<double>(clock.nsecsElapsed()) / 1e6);
        clock.restart();
        sink = sink + base.lines(60).size(); // builds the cache once
        std::printf("%6lld segments  first lines(60), cold:     %8.3f ms\n",
                    static_cast<long long>(count), static_cast<double>(clock.nsecsElapsed()) / 1e6);
    }
    {
        Transcript t = base;
        QElapsedTimer clock;
        clock.start();
        for (const QJsonObject& event : commits) {
            t.apply(event);
            sink = sink + t.lines(60).size();
        }
        const double perEvent = static_cast<double>(clock.nsecsElapsed()) / 1e6 / events;
        std::printf("%6lld segments  commit + lines(60):        %8.3f ms per event  (%lld lines)\n",
                    static_cast<long long>(count), perEvent,
                    static_cast<long long>(t.lines(60).size()));
    }
    {
        Transcript t = base;
        QElapsedTimer clock;
        clock.start();
        for (const QJsonObject& event : commits) {
            Transcript next = t; // the holder replaces the whole value
            next.apply(event);
            sink = sink + next.lines(60).size();
            t = std::move(next);
        }
        const double perEvent = static_cast<double>(clock.nsecsElapsed()) / 1e6 / events;
        std::printf("%6lld segments  copy + commit + lines(60): %8.3f ms per event\n",
                    static_cast<long long>(count), perEvent);
    }
    {
        Transcript t = base;
        QElapsedTimer clock;
        clock.start();
        for (const QJsonObject& event : drafts) {
            t.apply(event);
            sink = sink + t.lines(60).size();
        }
        const double perEvent = static_cast<double>(clock.nsecsElapsed()) / 1e6 / events;
        std::printf("%6lld segments  draft + lines(60):         %8.3f ms per event\n",
                    static_cast<long long>(count), perEvent);
    }
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    std::printf("Transcript: one event plus the panel's lines (target: <= 1 ms at 10,000)\n");
    run(1000);
    run(10000);
    return 0;
}
