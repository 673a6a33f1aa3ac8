// The transcript model: every event type with its malformed forms, staleness, display lines at
// their edges, snapshots, recorded event sequences, and the cached lines against a rebuild from
// scratch.
#include "Transcript.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QTest>

using namespace pq;
using Line = Transcript::Line;

namespace {

QJsonObject parse(const QByteArray& json) {
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        qFatal("bad test JSON: %s", json.constData());
    return doc.object();
}

QJsonObject committed(qint64 seq, qint64 speaker, const QString& text,
                      const QJsonObject& translations = {}) {
    QJsonObject segment{{"seq", seq},
                        {"speaker", speaker},
                        {"start", 1.5 * double(seq)},
                        {"end", 1.5 * double(seq) + 1},
                        {"text", text}};
    if (!translations.isEmpty())
        segment.insert("translations", translations);
    return {{"type", "transcript.committed"}, {"segment", segment}};
}

QJsonObject draft(const QStringList& texts, const QStringList& spanish = {}) {
    QJsonArray parts;
    for (qsizetype i = 0; i < texts.size(); ++i) {
        QJsonObject part{{"text", texts[i]}};
        if (i < spanish.size())
            part.insert("translations", QJsonObject{{"es", spanish[i]}});
        parts.append(part);
    }
    return {{"type", "transcript.draft"}, {"segments", parts}};
}

QJsonObject sentence(qint64 id, const QList<qint64>& seqs, const QString& spanish) {
    QJsonArray list;
    for (qint64 s : seqs)
        list.append(s);
    return {{"type", "transcript.sentence"},
            {"sentence", QJsonObject{{"sentenceId", id},
                                     {"seqs", list},
                                     {"text", "source text"},
                                     {"speaker", 0},
                                     {"translations", QJsonObject{{"es", spanish}}}}}};
}

QString wordsOf(int count, const QString& word = QStringLiteral("word")) {
    QStringList out;
    for (int i = 0; i < count; ++i)
        out.append(word + QString::number(i));
    return out.join(' ');
}

Line line(qint64 id, qint64 speaker, double start, const QString& text,
          std::optional<QString> translation, bool live) {
    return Line{id, speaker, start, text, std::move(translation), live};
}

TranscriptSnapshot snapshotFrom(const QByteArray& json) {
    return decode<TranscriptSnapshot>(json);
}

} // namespace

namespace QTest {
template <> char* toString(const Line& l) {
    return qstrdup(QStringLiteral("Line(id %1, speaker %2, start %3, \"%4\", %5, %6)")
                       .arg(l.id)
                       .arg(l.speaker)
                       .arg(l.start)
                       .arg(l.text, l.translation ? "\"" + *l.translation + "\"" : "none",
                            l.live ? "live" : "not live")
                       .toUtf8()
                       .constData());
}
template <> char* toString(const QList<Line>& lines) {
    QByteArray out = "[";
    for (const Line& l : lines) {
        char* one = toString(l);
        out += QByteArray("\n  ") + one;
        delete[] one;
    }
    return qstrdup(out + "]");
}
} // namespace QTest

class TestTranscript : public QObject {
    Q_OBJECT

private slots:
    void newTranscriptIsEmpty();
    void draftAloneIsOneLiveLine();
    void wordLimitJoinsOrSplitsASpeakersRun();
    void aLongSegmentStaysOneLine();
    void speakerChangeStartsALine();
    void emptySegmentsNeitherStartNorBreakALine();
    void draftGoesOnTheLastLineWhateverItHolds();
    void draftTextIsJoinedAndTrimmed();
    void staleDrafts_data();
    void staleDrafts();
    void staleDraftClearsItsTranslation();
    void commitReplacesBySeqAndClearsTheDraft();
    void sentenceTranslationShowsAtItsLastSegment();
    void sentenceTiesAndReplacements();
    void translatedOnlyForKnownSegments();
    void amendedKeepsTranslationSpeakerAndStart();
    void withoutReadingLanguageNoTranslations();
    void translationsFollowTheReadingLanguage();
    void speakerNames();
    void malformedEventsChangeNothing_data();
    void malformedEventsChangeNothing();
    void readsOnlyWholeNumbersAsIntegers();
    void numReadsAnyNumber();
    void words_data();
    void words();
    void snapshotMerges();
    void snapshotWithoutReadingLanguage();
    void recordedSequences_data();
    void recordedSequences();
    void cachedLinesMatchARebuild();
    void copiesAreIndependent();
};

void TestTranscript::newTranscriptIsEmpty() {
    const Transcript t(QStringLiteral("es"));
    QCOMPARE(t.lang(), std::optional<QString>("es"));
    QVERIFY(t.isEmpty());
    QVERIFY(t.lines(60).isEmpty());
    QVERIFY(t.segments().empty() && t.sentences().empty() && t.names().empty());
    QVERIFY(t.draft().isEmpty() && t.draftTranslation().isEmpty());
    QVERIFY(!Transcript().lang());
}

void TestTranscript::draftAloneIsOneLiveLine() {
    Transcript t(QStringLiteral("es"));
    t.apply(draft({"hello there"}, {"hola"}));
    QVERIFY(!t.isEmpty());
    QCOMPARE(t.lines(60), QList<Line>{line(-1, 0, 0, "hello there", "hola", true)});

    // Without a draft translation the line has none (not an empty one).
    Transcript plain(QStringLiteral("es"));
    plain.apply(draft({"hello there"}));
    QCOMPARE(plain.lines(40), QList<Line>{line(-1, 0, 0, "hello there", std::nullopt, true)});
}

void TestTranscript::wordLimitJoinsOrSplitsASpeakersRun() {
    Transcript t;
    const QString first = wordsOf(30, "a");
    const QString second = wordsOf(30, "b");
    t.apply(committed(1, 0, first));
    t.apply(committed(2, 0, second));
    QCOMPARE(t.lines(40), (QList<Line>{line(1, 0, 1.5, first, std::nullopt, false),
                                       line(2, 0, 3.0, second, std::nullopt, false)}));
    QCOMPARE(t.lines(60), QList<Line>{line(1, 0, 1.5, first + ' ' + second, std::nullopt, false)});
    QCOMPARE(t.lines(59).size(), 2);

    // Words are counted between single spaces; runs of spaces count as one break.
    Transcript spaced;
    spaced.apply(committed(1, 0, "one  two   three"));
    spaced.apply(committed(2, 0, " four "));
    QCOMPARE(spaced.lines(4).size(), 1);
    QCOMPARE(spaced.lines(4).first().text, QStringLiteral("one  two   three  four "));
    QCOMPARE(spaced.lines(3).size(), 2);
}

void TestTranscript::aLongSegmentStaysOneLine() {
    Transcript t;
    t.apply(committed(1, 0, wordsOf(100)));
    t.apply(committed(2, 0, "short"));
    const QList<Line> lines = t.lines(40);
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines[0].text, wordsOf(100));
    QCOMPARE(lines[1].id, 2);
}

void TestTranscript::speakerChangeStartsALine() {
    Transcript t;
    t.apply(committed(1, 0, "hi"));
    t.apply(committed(2, 1, "hello"));
    t.apply(committed(3, 0, "bye"));
    QCOMPARE(t.lines(60), (QList<Line>{line(1, 0, 1.5, "hi", std::nullopt, false),
                                       line(2, 1, 3.0, "hello", std::nullopt, false),
                                       line(3, 0, 4.5, "bye", std::nullopt, false)}));
}

void TestTranscript::emptySegmentsNeitherStartNorBreakALine() {
    Transcript t;
    t.apply(committed(1, 0, ""));
    t.apply(committed(2, 0, "a"));
    t.apply(committed(3, 1, ""));
    t.apply(committed(4, 0, "b"));
    QCOMPARE(t.lines(60), QList<Line>{line(2, 0, 3.0, "a b", std::nullopt, false)});

    // Only empty segments and a draft: the draft is a line of its own.
    Transcript onlyEmpty;
    onlyEmpty.apply(committed(1, 0, ""));
    QVERIFY(onlyEmpty.lines(60).isEmpty());
    QVERIFY(!onlyEmpty.isEmpty());
    onlyEmpty.apply(draft({"x"}));
    QCOMPARE(onlyEmpty.lines(60), QList<Line>{line(-1, 0, 0, "x", std::nullopt, true)});
}

void TestTranscript::draftGoesOnTheLastLineWhateverItHolds() {
    Transcript t(QStringLiteral("es"));
    t.apply(committed(1, 0, wordsOf(40), QJsonObject{{"es", "uno"}}));
    t.apply(committed(2, 1, "short", QJsonObject{{"es", "corto"}}));
    t.apply(draft({"new words"}, {"palabras nuevas"}));
    QCOMPARE(t.lines(40),
             (QList<Line>{line(1, 0, 1.5, wordsOf(40), "uno", false),
                          line(2, 1, 3.0, "short new words", "corto palabras nuevas", true)}));

    // A full line of another speaker takes the draft all the same; a line without a
    // translation takes the draft's translation alone.
    Transcript full(QStringLiteral("es"));
    full.apply(committed(1, 1, wordsOf(40)));
    full.apply(draft({"more"}, {"más"}));
    QCOMPARE(full.lines(40),
             QList<Line>{line(1, 1, 1.5, wordsOf(40) + " more", QStringLiteral("más"), true)});
}

void TestTranscript::draftTextIsJoinedAndTrimmed() {
    Transcript t(QStringLiteral("es"));
    // Parts without a text are skipped; spaces, tabs and no-break spaces are trimmed at the ends,
    // line breaks are not.
    t.apply(parse(R"({"type":"transcript.draft","segments":[
        {"text":" \t first"},{"translations":{"es":"x"}},{"text":"second\u00a0 "},{"text":5}]})"));
    QCOMPARE(t.draft(), QStringLiteral("first second"));
    QCOMPARE(t.draftTranslation(), QStringLiteral("x"));

    t.apply(parse(R"({"type":"transcript.draft","segments":[{"text":"\nline\n "}]})"));
    QCOMPARE(t.draft(), QStringLiteral("\nline\n"));
    QVERIFY(t.draftTranslation().isEmpty());

    // A draft without segments (or with a malformed list) empties the draft.
    t.apply(parse(R"({"type":"transcript.draft"})"));
    QVERIFY(t.draft().isEmpty());
    t.apply(draft({"again"}));
    t.apply(parse(R"({"type":"transcript.draft","segments":[{"text":"a"}, 3]})"));
    QVERIFY(t.draft().isEmpty());
    QVERIFY(t.lines(60).isEmpty());
}

void TestTranscript::staleDrafts_data() {
    QTest::addColumn<QStringList>("segments"); // committed texts, seq 1, 2, 3…
    QTest::addColumn<QString>("draftText");
    QTest::addColumn<bool>("stale");

    const QStringList monday{"we should ship it on monday"};
    QTest::newRow("all four words within the last six") << monday << "ship it on monday" << true;
    QTest::newRow("new words") << monday << "and then on friday" << false;
    QTest::newRow("case and punctuation do not matter") << monday << "Ship it, on MONDAY!" << true;
    QTest::newRow("four of five suffice")
        << QStringList{"one two three four five six"} << "three four five six seven" << true;
    QTest::newRow("three of four do not")
        << QStringList{"one two three four five six"} << "three four five seven" << false;
    QTest::newRow("matches outside the window do not count")
        << QStringList{"ship it on monday then we go home now"} << "ship it on monday" << false;
    QTest::newRow("order matters")
        << QStringList{"one two three four five six"} << "six five four three" << false;
    QTest::newRow("draft longer than the committed tail")
        << QStringList{"ship it"} << "ship it on monday" << false;
    QTest::newRow("only the last three segments count")
        << QStringList{"ship it on monday", "x", "y", "z"} << "ship it on monday" << false;
    QTest::newRow("the last three segments joined")
        << QStringList{"old", "ship it", "on", "monday"} << "ship it on monday" << true;
    QTest::newRow("a draft without words is not stale") << monday << "…" << false;
    QTest::newRow("nothing committed") << QStringList{} << "ship it" << false;
}

void TestTranscript::staleDrafts() {
    QFETCH(QStringList, segments);
    QFETCH(QString, draftText);
    QFETCH(bool, stale);
    Transcript t;
    for (qsizetype i = 0; i < segments.size(); ++i)
        t.apply(committed(i + 1, 0, segments[i]));
    t.apply(draft({draftText}));
    QCOMPARE(t.draft(), stale ? QString() : draftText);
    QCOMPARE(!t.lines(1000).isEmpty() && t.lines(1000).last().live, !stale);
}

void TestTranscript::staleDraftClearsItsTranslation() {
    Transcript t(QStringLiteral("es"));
    t.apply(committed(1, 0, "we should ship it on monday"));
    t.apply(draft({"and then"}, {"y luego"}));
    QCOMPARE(t.draftTranslation(), QStringLiteral("y luego"));
    t.apply(draft({"ship it on monday"}, {"enviarlo el lunes"}));
    QVERIFY(t.draft().isEmpty());
    QVERIFY(t.draftTranslation().isEmpty());
}

void TestTranscript::commitReplacesBySeqAndClearsTheDraft() {
    Transcript t(QStringLiteral("es"));
    t.apply(draft({"hello"}, {"hola"}));
    t.apply(parse(R"({"type":"transcript.committed","segment":{"seq":7,"speaker":2,"start":3,
        "end":4,"text":"hello","translations":{"es":"hola","de":"hallo"}}})"));
    QVERIFY(t.draft().isEmpty() && t.draftTranslation().isEmpty());
    QCOMPARE(t.segments().size(), size_t(1));
    const Transcript::Segment s = t.segments().at(7);
    QCOMPARE(s, (Transcript::Segment{7, 2, 3.0, "hello", "hola"}));

    // The same seq again replaces the segment whole; missing members take their defaults.
    t.apply(parse(R"({"type":"transcript.committed","segment":{"seq":7}})"));
    QCOMPARE(t.segments().at(7), (Transcript::Segment{7, 0, 0.0, "", std::nullopt}));
    QCOMPARE(t.segments().size(), size_t(1));
}

void TestTranscript::sentenceTranslationShowsAtItsLastSegment() {
    Transcript t(QStringLiteral("es"));
    t.apply(committed(3, 0, "before", QJsonObject{{"es", "antes"}}));
    for (qint64 seq : {4, 5, 6})
        t.apply(committed(seq, 0, QStringLiteral("part%1").arg(seq),
                          QJsonObject{{"es", QStringLiteral("parte%1").arg(seq)}}));
    t.apply(committed(7, 0, "after", QJsonObject{{"es", "después"}}));
    t.apply(sentence(1, {4, 6, 5}, "T"));
    QCOMPARE(t.sentences().at(1), (Transcript::Sentence{{4, 6, 5}, "T"}));

    QCOMPARE(t.lines(60), QList<Line>{line(3, 0, 4.5, "before part4 part5 part6 after",
                                           "antes T después", false)});
    // Split one segment per line to see each display translation.
    QCOMPARE(t.lines(1), (QList<Line>{line(3, 0, 4.5, "before", "antes", false),
                                      line(4, 0, 6.0, "part4", std::nullopt, false),
                                      line(5, 0, 7.5, "part5", std::nullopt, false),
                                      line(6, 0, 9.0, "part6", "T", false),
                                      line(7, 0, 10.5, "after", "después", false)}));
}

void TestTranscript::sentenceTiesAndReplacements() {
    Transcript t(QStringLiteral("es"));
    for (qint64 seq = 1; seq <= 4; ++seq)
        t.apply(committed(seq, 0, QStringLiteral("s%1").arg(seq)));
    t.apply(sentence(9, {2, 3}, "nine"));
    t.apply(sentence(2, {1, 3}, "two"));
    // Both end at 3: the larger id shows there.
    QCOMPARE(t.lines(1).at(2).translation, std::optional<QString>("nine"));

    // Sentence 9 now covers 3 and 4: it shows at 4, and sentence 2 shows at 3 again.
    t.apply(sentence(9, {3, 4}, "nine again"));
    QCOMPARE(t.lines(1), (QList<Line>{line(1, 0, 1.5, "s1", std::nullopt, false),
                                      line(2, 0, 3.0, "s2", std::nullopt, false),
                                      line(3, 0, 4.5, "s3", "two", false),
                                      line(4, 0, 6.0, "s4", "nine again", false)}));
    // Segment 2 is no longer covered by any sentence, but it has no translation of its own.
    t.apply(parse(R"({"type":"transcript.translated","seq":2,"translations":{"es":"dos"}})"));
    QCOMPARE(t.lines(1).at(1).translation, std::optional<QString>("dos"));
}

void TestTranscript::translatedOnlyForKnownSegments() {
    Transcript t(QStringLiteral("es"));
    t.apply(parse(R"({"type":"transcript.translated","seq":5,"translations":{"es":"early"}})"));
    QVERIFY(t.segments().empty());
    t.apply(committed(5, 0, "five"));
    QCOMPARE(t.segments().at(5).translation, std::nullopt);
    t.apply(committed(6, 0, "six", QJsonObject{{"es", "seis"}}));
    QCOMPARE(t.segments().at(6).translation, std::optional<QString>("seis"));

    t.apply(parse(R"({"type":"transcript.translated","seq":5,"translations":{"es":"cinco"}})"));
    QCOMPARE(t.segments().at(5).translation, std::optional<QString>("cinco"));
    // Another language, or no translations, change nothing.
    t.apply(parse(R"({"type":"transcript.translated","seq":5,"translations":{"fr":"cinq"}})"));
    t.apply(parse(R"({"type":"transcript.translated","seq":5,"translations":{}})"));
    t.apply(parse(R"({"type":"transcript.translated","seq":5})"));
    QCOMPARE(t.segments().at(5).translation, std::optional<QString>("cinco"));
    QCOMPARE(t.lines(60).first().translation, std::optional<QString>("cinco seis"));
}

void TestTranscript::amendedKeepsTranslationSpeakerAndStart() {
    Transcript t(QStringLiteral("es"));
    t.apply(committed(2, 3, "helo world", QJsonObject{{"es", "hola mundo"}}));
    t.apply(parse(R"({"type":"transcript.amended","segment":{"seq":2,"text":"hello world",
        "speaker":9,"start":99}})"));
    QCOMPARE(t.segments().at(2), (Transcript::Segment{2, 3, 3.0, "hello world", "hola mundo"}));
    t.apply(parse(R"({"type":"transcript.amended","segment":{"seq":3,"text":"nobody"}})"));
    QCOMPARE(t.segments().size(), size_t(1));
    // Amended to nothing: the segment stays but shows no line.
    t.apply(parse(R"({"type":"transcript.amended","segment":{"seq":2,"text":""}})"));
    QVERIFY(t.lines(60).isEmpty());
}

void TestTranscript::withoutReadingLanguageNoTranslations() {
    Transcript t;
    t.apply(committed(1, 0, "one", QJsonObject{{"es", "uno"}}));
    t.apply(sentence(1, {1}, "T"));
    t.apply(parse(R"({"type":"transcript.translated","seq":1,"translations":{"es":"uno"}})"));
    t.apply(draft({"two"}, {"dos"}));
    QVERIFY(t.sentences().empty());
    QCOMPARE(t.segments().at(1).translation, std::nullopt);
    QVERIFY(t.draftTranslation().isEmpty());
    QCOMPARE(t.lines(60), QList<Line>{line(1, 0, 1.5, "one two", std::nullopt, true)});
}

void TestTranscript::translationsFollowTheReadingLanguage() {
    Transcript german(QStringLiteral("de"));
    german.apply(committed(1, 0, "one", QJsonObject{{"es", "uno"}, {"de", "eins"}}));
    german.apply(draft({"two", "three"}, {"dos", "tres"}));
    QCOMPARE(german.segments().at(1).translation, std::optional<QString>("eins"));
    // No part of the draft has a German translation: empty, and no line translation added.
    QVERIFY(german.draftTranslation().isEmpty());
    QCOMPARE(german.lines(60).first().translation, std::optional<QString>("eins"));

    Transcript spanish(QStringLiteral("es"));
    spanish.apply(draft({"two", "three", "four"}, {"dos", "", "cuatro"}));
    QCOMPARE(spanish.draftTranslation(), QStringLiteral("dos  cuatro"));
}

void TestTranscript::speakerNames() {
    Transcript t;
    QCOMPARE(t.name(2), QStringLiteral("Speaker 3"));
    QCOMPARE(t.name(0), QStringLiteral("Speaker 1"));
    t.apply(parse(R"({"type":"transcript.speakerNamed","speaker":2,"name":"Ada"})"));
    QCOMPARE(t.name(2), QStringLiteral("Ada"));
    t.apply(parse(R"({"type":"transcript.speakerIdentified","speaker":2,"name":"Ada L."})"));
    QCOMPARE(t.name(2), QStringLiteral("Ada L."));
    t.apply(parse(R"({"type":"transcript.speakerNamed","speaker":2,"name":""})"));
    t.apply(parse(R"({"type":"transcript.speakerNamed","speaker":"2","name":"X"})"));
    t.apply(parse(R"({"type":"transcript.speakerNamed","name":"X"})"));
    t.apply(parse(R"({"type":"transcript.speakerIdentified","speaker":1})"));
    QCOMPARE(t.name(2), QStringLiteral("Ada L."));
    QCOMPARE(t.names().size(), size_t(1));
}

void TestTranscript::malformedEventsChangeNothing_data() {
    QTest::addColumn<QByteArray>("event");
    QTest::newRow("no type") << QByteArray(R"({"segment":{"seq":9,"text":"x"}})");
    QTest::newRow("type not text") << QByteArray(R"({"type":1,"segment":{"seq":9,"text":"x"}})");
    QTest::newRow("unknown type") << QByteArray(
        R"({"type":"transcript.other","segment":{"seq":9,"text":"x"}})");
    QTest::newRow("noop") << QByteArray(R"({"type":"noop","cursor":4})");
    QTest::newRow("commit without segment") << QByteArray(R"({"type":"transcript.committed"})");
    QTest::newRow("commit segment not an object")
        << QByteArray(R"({"type":"transcript.committed","segment":[{"seq":9}]})");
    QTest::newRow("commit without seq")
        << QByteArray(R"({"type":"transcript.committed","segment":{"text":"x"}})");
    QTest::newRow("commit seq as text")
        << QByteArray(R"({"type":"transcript.committed","segment":{"seq":"9","text":"x"}})");
    QTest::newRow("commit seq fractional")
        << QByteArray(R"({"type":"transcript.committed","segment":{"seq":9.5,"text":"x"}})");
    QTest::newRow("sentence without seqs")
        << QByteArray(R"({"type":"transcript.sentence","sentence":{"sentenceId":1,
            "translations":{"es":"T"}}})");
    QTest::newRow("sentence with empty seqs")
        << QByteArray(R"({"type":"transcript.sentence","sentence":{"sentenceId":1,"seqs":[],
            "translations":{"es":"T"}}})");
    QTest::newRow("sentence seqs not all integers")
        << QByteArray(R"({"type":"transcript.sentence","sentence":{"sentenceId":1,
            "seqs":[1,"2"],"translations":{"es":"T"}}})");
    QTest::newRow("sentence translations not all text")
        << QByteArray(R"({"type":"transcript.sentence","sentence":{"sentenceId":1,"seqs":[1],
            "translations":{"es":"T","de":2}}})");
    QTest::newRow("sentence without id")
        << QByteArray(R"({"type":"transcript.sentence","sentence":{"seqs":[1],
            "translations":{"es":"T"}}})");
    QTest::newRow("sentence in another language")
        << QByteArray(R"({"type":"transcript.sentence","sentence":{"sentenceId":1,"seqs":[1],
            "translations":{"fr":"T"}}})");
    QTest::newRow("translated without seq")
        << QByteArray(R"({"type":"transcript.translated","translations":{"es":"x"}})");
    QTest::newRow("translated translations not all text")
        << QByteArray(R"({"type":"transcript.translated","seq":1,
            "translations":{"es":"x","de":null}})");
    QTest::newRow("amended without text")
        << QByteArray(R"({"type":"transcript.amended","segment":{"seq":1}})");
    QTest::newRow("amended text not text")
        << QByteArray(R"({"type":"transcript.amended","segment":{"seq":1,"text":3}})");
    QTest::newRow("amended seq at top level")
        << QByteArray(R"({"type":"transcript.amended","seq":1,"text":"x"})");
}

void TestTranscript::malformedEventsChangeNothing() {
    QFETCH(QByteArray, event);
    Transcript t(QStringLiteral("es"));
    t.apply(committed(1, 0, "one", QJsonObject{{"es", "uno"}}));
    t.apply(draft({"two"}, {"dos"}));
    const Transcript before = t;
    const QList<Line> linesBefore = t.lines(60);
    t.apply(parse(event));
    QVERIFY(t == before);
    QCOMPARE(t.lines(60), linesBefore);
}

void TestTranscript::readsOnlyWholeNumbersAsIntegers() {
    Transcript t(QStringLiteral("es"));
    // A whole number written as a double is an integer; the speaker falls back to 0 when it is
    // not an integer; the start is any number.
    t.apply(parse(R"({"type":"transcript.committed","segment":{"seq":4.0,"speaker":1.5,
        "start":2,"text":"a","translations":{"es":"b","de":true}}})"));
    QCOMPARE(t.segments().at(4), (Transcript::Segment{4, 0, 2.0, "a", std::nullopt}));
    t.apply(parse(R"({"type":"transcript.committed","segment":{"seq":9007199254740993,
        "speaker":2,"start":"soon","text":"big"}})"));
    QVERIFY(t.segments().contains(9007199254740993LL));
    QCOMPARE(t.segments().at(9007199254740993LL).start, 0.0);
    QCOMPARE(t.lines(60).last().id, 9007199254740993LL);
}

void TestTranscript::numReadsAnyNumber() {
    QCOMPARE(Transcript::num(QJsonValue(2.5)), 2.5);
    QCOMPARE(Transcript::num(QJsonValue(qint64(7))), 7.0);
    QCOMPARE(Transcript::num(QJsonValue("3")), 0.0);
    QCOMPARE(Transcript::num(QJsonValue(true)), 0.0);
    QCOMPARE(Transcript::num(QJsonValue(QJsonValue::Undefined)), 0.0);
    QCOMPARE(Transcript::num(QJsonValue(QJsonValue::Null)), 0.0);
}

void TestTranscript::words_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("example") << "Hello, World-2!" << QStringList{"hello", "world", "2"};
    QTest::newRow("empty") << "" << QStringList{};
    QTest::newRow("only punctuation") << " .,;-— " << QStringList{};
    QTest::newRow("apostrophe splits") << "Let's go" << QStringList{"let", "s", "go"};
    QTest::newRow("accented letters") << "Ünïcode CAFÉ" << QStringList{"ünïcode", "café"};
    QTest::newRow("other scripts") << "Привет, мир 東京" << QStringList{"привет", "мир", "東京"};
    QTest::newRow("digits of other scripts") << "١٢٣ x²" << QStringList{"١٢٣", "x²"};
    QTest::newRow("letters outside the BMP") << "𝐀𝐁 c" << QStringList{"𝐀𝐁", "c"};
    QTest::newRow("emoji split") << "ok👍fine" << QStringList{"ok", "fine"};
    QTest::newRow("line breaks and tabs") << "a\nb\tc" << QStringList{"a", "b", "c"};
}

void TestTranscript::words() {
    QFETCH(QString, text);
    QFETCH(QStringList, expected);
    QCOMPARE(Transcript::words(text), expected);
}

void TestTranscript::snapshotMerges() {
    Transcript t(QStringLiteral("es"));
    t.apply(committed(1, 0, "kept from before", QJsonObject{{"es", "antes"}}));
    t.apply(committed(10, 0, "not in the snapshot"));
    t.apply(draft({"still hearing"}));
    t.apply(snapshotFrom(R"({"recordingId":"r","lastSeq":12,"state":"live",
        "segments":[
          {"seq":1,"text":"Hello everyone.","start":0.5,"end":1.4,"speaker":1,
           "translations":{"es":"Hola a todos.","fr":"Bonjour"}},
          {"seq":2,"text":"Let us begin.","start":1.5,"end":2.6,"speaker":1,"suppressed":false},
          {"seq":3,"text":"um","start":2.7,"end":2.9,"speaker":1,"suppressed":true},
          {"seq":4,"text":"Fine.","start":3,"end":3.5,"speaker":0,"translations":{}},
          {"seq":5,"text":"Ok.","start":4,"end":4.5,"speaker":0,"translations":{"fr":"D'accord."}}],
        "sentences":[
          {"sentenceId":1,"seqs":[1,2],"text":"x","speaker":1,
           "translations":{"es":"Hola a todos. Empecemos."}},
          {"sentenceId":2,"seqs":[],"text":"x","speaker":0,"translations":{"es":"vacía"}},
          {"sentenceId":3,"seqs":[4],"text":"x","speaker":0},
          {"sentenceId":4,"seqs":[5],"text":"x","speaker":0,"translations":{"fr":"x"}}],
        "speakers":[{"speaker":0,"name":"Ada"},{"speaker":1,"name":""}]})"));

    QCOMPARE(t.segments().size(), size_t(5));
    QVERIFY(!t.segments().contains(3));
    QCOMPARE(t.segments().at(1),
             (Transcript::Segment{1, 1, 0.5, "Hello everyone.", "Hola a todos."}));
    QCOMPARE(t.segments().at(4).translation, std::nullopt);
    QCOMPARE(t.segments().at(5).translation, std::nullopt);
    QCOMPARE(t.segments().at(10).text, QStringLiteral("not in the snapshot"));
    QCOMPARE(t.sentences().size(), size_t(1));
    QCOMPARE(t.sentences().at(1), (Transcript::Sentence{{1, 2}, "Hola a todos. Empecemos."}));
    QCOMPARE(t.names(), (std::map<qint64, QString>{{0, "Ada"}}));
    QCOMPARE(t.draft(), QStringLiteral("still hearing"));
    QCOMPARE(
        t.lines(60),
        (QList<Line>{
            line(1, 1, 0.5, "Hello everyone. Let us begin.", "Hola a todos. Empecemos.", false),
            line(4, 0, 3.0, "Fine. Ok. not in the snapshot still hearing", std::nullopt, true)}));
}

void TestTranscript::snapshotWithoutReadingLanguage() {
    QFile f(QStringLiteral(PQ_TEST_DATA "/service/snapshot.json"));
    QVERIFY(f.open(QIODevice::ReadOnly));
    Transcript t;
    t.apply(snapshotFrom(f.readAll()));
    QCOMPARE(t.segments().size(), size_t(2));
    QCOMPARE(t.segments().at(1).translation, std::nullopt);
    QVERIFY(t.sentences().empty());
    QCOMPARE(t.name(1), QStringLiteral("Bea"));
    QCOMPARE(t.lines(60),
             QList<Line>{line(1, 0, 0, "Hello everyone. Let us begin.", std::nullopt, false)});
}

void TestTranscript::recordedSequences_data() {
    QTest::addColumn<QString>("file");
    const QDir dir(QStringLiteral(PQ_TEST_DATA "/live"));
    const QStringList files = dir.entryList({"*.json"}, QDir::Files, QDir::Name);
    QVERIFY(files.size() >= 2);
    for (const QString& name : files)
        QTest::newRow(qPrintable(name)) << dir.filePath(name);
}

void TestTranscript::recordedSequences() {
    QFETCH(QString, file);
    QFile f(file);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QJsonObject recording = parse(f.readAll());
    const QJsonValue lang = recording.value("lang");
    Transcript t(lang.isString() ? std::optional<QString>(lang.toString()) : std::nullopt);
    const QJsonArray events = recording.value("events").toArray();
    const QJsonArray checks = recording.value("checks").toArray();
    QVERIFY(!events.isEmpty() && !checks.isEmpty());

    qsizetype applied = 0;
    for (const QJsonValue& c : checks) {
        const QJsonObject check = c.toObject();
        const qsizetype after = check.value("after").toInteger();
        while (applied < after)
            t.apply(events.at(applied++).toObject());
        QList<Line> expected;
        for (const QJsonValue& l : check.value("lines").toArray()) {
            const QJsonObject o = l.toObject();
            expected.append(line(o.value("id").toInteger(), o.value("speaker").toInteger(),
                                 o.value("start").toDouble(), o.value("text").toString(),
                                 o.contains("translation")
                                     ? std::optional<QString>(o.value("translation").toString())
                                     : std::nullopt,
                                 o.value("live").toBool()));
        }
        const int maxWords = check.value("maxWords").toInt();
        QCOMPARE(t.lines(maxWords), expected);
        QCOMPARE(t.linesFromScratch(maxWords), expected);
        if (check.contains("names")) {
            std::map<qint64, QString> names;
            const QJsonObject n = check.value("names").toObject();
            for (auto it = n.begin(); it != n.end(); ++it)
                names[it.key().toLongLong()] = it.value().toString();
            QCOMPARE(t.names(), names);
        }
    }
}

void TestTranscript::cachedLinesMatchARebuild() {
    // Random edits anywhere in the transcript, with lines asked for at random moments: the cached
    // lines must always equal a rebuild from scratch.
    for (quint32 seed = 1; seed <= 40; ++seed) {
        QRandomGenerator random(seed);
        Transcript t(QStringLiteral("es"));
        const auto randomText = [&random] {
            const int n = random.bounded(8);
            return n == 0 ? QString() : wordsOf(n, QStringLiteral("w%1_").arg(random.bounded(9)));
        };
        for (int step = 0; step < 300; ++step) {
            const qint64 seq = random.bounded(1, 60);
            switch (random.bounded(7)) {
            case 0:
            case 1:
                t.apply(committed(seq, random.bounded(3), randomText(),
                                  QJsonObject{{"es", QStringLiteral("t%1").arg(step)}}));
                break;
            case 2: {
                QList<qint64> seqs;
                for (int i = random.bounded(1, 4); i > 0; --i)
                    seqs.append(random.bounded(1, 60));
                t.apply(sentence(random.bounded(1, 15), seqs, QStringLiteral("S%1").arg(step)));
                break;
            }
            case 3:
                t.apply(
                    QJsonObject{{"type", "transcript.amended"},
                                {"segment", QJsonObject{{"seq", seq}, {"text", randomText()}}}});
                break;
            case 4:
                t.apply(QJsonObject{{"type", "transcript.translated"},
                                    {"seq", seq},
                                    {"translations", QJsonObject{{"es", QString::number(step)}}}});
                break;
            case 5:
                t.apply(draft({randomText()}, {QStringLiteral("d%1").arg(step)}));
                break;
            case 6: {
                TranscriptSnapshot snapshot;
                SegmentView view;
                view.seq = seq;
                view.text = randomText();
                view.speaker = random.bounded(3);
                snapshot.segments.append(view);
                SentenceView s;
                s.sentenceId = random.bounded(1, 15);
                s.seqs = {seq, seq + 1};
                s.translations = QMap<QString, QString>{{"es", "snap"}};
                snapshot.sentences.append(s);
                t.apply(snapshot);
                break;
            }
            }
            if (random.bounded(3) == 0) {
                const int maxWords = random.bounded(2) ? 40 : random.bounded(1, 12);
                QCOMPARE(t.lines(maxWords), t.linesFromScratch(maxWords));
            }
        }
        QCOMPARE(t.lines(40), t.linesFromScratch(40));
        QCOMPARE(t.lines(60), t.linesFromScratch(60));
    }
}

void TestTranscript::copiesAreIndependent() {
    Transcript a(QStringLiteral("es"));
    a.apply(committed(1, 0, "one"));
    a.apply(committed(2, 0, "two"));
    const QList<Line> before = a.lines(60);
    Transcript b = a;
    b.apply(committed(3, 1, "three"));
    b.apply(QJsonObject{{"type", "transcript.amended"},
                        {"segment", QJsonObject{{"seq", 1}, {"text", "uno"}}}});
    QCOMPARE(a.lines(60), before);
    QCOMPARE(a.segments().size(), size_t(2));
    QCOMPARE(b.lines(60), (QList<Line>{line(1, 0, 1.5, "uno two", std::nullopt, false),
                                       line(3, 1, 4.5, "three", std::nullopt, false)}));
    QVERIFY(!(a == b));
    a = b;
    QVERIFY(a == b);
    QCOMPARE(a.lines(60), b.lines(60));
}

QTEST_GUILESS_MAIN(TestTranscript)
#include "tst_Transcript.moc"
