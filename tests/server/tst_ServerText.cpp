// The service's pure text rules, case by case: how recognised words become sentences, how search
// text becomes an FTS5 query and how matches are marked, and which language codes are accepted.
#include "Languages.h"
#include "SearchText.h"
#include "SentenceText.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QTest>

using namespace pq::server;

class TestServerText : public QObject {
    Q_OBJECT

private slots:
    void sentences_data();
    void sentences();
    void draftsHaveNoFinalMark();
    void fillersAreDropped();
    void ftsQuery_data();
    void ftsQuery();
    void renderedMarksAndEscapes();
    void languageCodes_data();
    void languageCodes();
    void languageListFollowsTheEngines();
};

void TestServerText::sentences_data() {
    QTest::addColumn<QString>("hypothesis");
    QTest::addColumn<QString>("sentence");
    QTest::newRow("statement") << "please open the window"
                               << "Please open the window.";
    QTest::newRow("wh question") << "where is the nearest station"
                                 << "Where is the nearest station?";
    QTest::newRow("yes-no question") << "can you hear me"
                                     << "Can you hear me?";
    QTest::newRow("negative question") << "don't you think so"
                                       << "Don't you think so?";
    QTest::newRow("question word later") << "tell me where it is"
                                         << "Tell me where it is.";
    QTest::newRow("i alone") << "i think i can"
                             << "I think I can.";
    QTest::newRow("i contractions") << "i'm sure i'll see what i've done"
                                    << "I'm sure I'll see what I've done.";
    QTest::newRow("not i inside words") << "it is in italy"
                                        << "It is in italy.";
    QTest::newRow("one word") << "yes"
                              << "Yes.";
    QTest::newRow("extra spaces") << "  thank   you  "
                                  << "Thank you.";
    QTest::newRow("upper case in") << "HELLO there"
                                   << "Hello there.";
    QTest::newRow("empty") << ""
                           << "";
    QTest::newRow("only fillers") << "<sil> [noise] ++breath++"
                                  << "";
}

void TestServerText::sentences() {
    QFETCH(QString, hypothesis);
    QFETCH(QString, sentence);
    QCOMPARE(SentenceText::sentence(hypothesis), sentence);
}

void TestServerText::draftsHaveNoFinalMark() {
    QCOMPARE(SentenceText::draft(QStringLiteral("where is i")), QStringLiteral("Where is I"));
    QCOMPARE(SentenceText::draft(QStringLiteral("<sil>")), QString());
}

void TestServerText::fillersAreDropped() {
    QCOMPARE(SentenceText::words(
                 QStringLiteral("<s> the(2) quick <sil> [NOISE] brown(3) ++um++ fox </s>")),
             (QStringList{QStringLiteral("the"), QStringLiteral("quick"), QStringLiteral("brown"),
                          QStringLiteral("fox")}));
}

void TestServerText::ftsQuery_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("query");
    QTest::newRow("one word") << "window"
                              << "\"window\"";
    QTest::newRow("words") << "open  window"
                           << "\"open\" \"window\"";
    QTest::newRow("operator") << "foo AND"
                              << "\"foo\" \"AND\"";
    QTest::newRow("quote doubled") << "say \"hi\""
                                   << "\"say\" \"\"\"hi\"\"\"";
    QTest::newRow("lone quote dropped") << "\""
                                        << "";
    QTest::newRow("emoji dropped") << "😀 ok"
                                   << "\"ok\"";
    QTest::newRow("emoji inside kept") << "a😀b"
                                       << "\"a😀b\"";
    QTest::newRow("star stays inside") << "win*"
                                       << "\"win*\"";
    QTest::newRow("blank") << " \t\n"
                           << "";
    QTest::newRow("unicode letters") << "Ñandú 東京"
                                     << "\"Ñandú\" \"東京\"";
}

void TestServerText::ftsQuery() {
    QFETCH(QString, text);
    QFETCH(QString, query);
    QCOMPARE(SearchText::ftsQuery(text), query);
}

void TestServerText::renderedMarksAndEscapes() {
    const QString marked = QStringLiteral("a <b> & \"c\" ") + QChar(0xE000) +
                           QStringLiteral("window") + QChar(0xE001) + QStringLiteral(".");
    QCOMPARE(SearchText::rendered(marked),
             QStringLiteral("a &lt;b&gt; &amp; &quot;c&quot; <mark>window</mark>."));
    // At most 32 words are searched for.
    QCOMPARE(SearchText::ftsQuery(QStringLiteral("w ").repeated(100)).count(QLatin1Char('w')), 32);
}

void TestServerText::languageCodes_data() {
    QTest::addColumn<QString>("code");
    QTest::addColumn<bool>("valid");
    QTest::newRow("es") << "es" << true;
    QTest::newRow("three letters") << "eng" << true;
    QTest::newRow("region") << "pt-BR" << true;
    QTest::newRow("script") << "zh-Hant" << true;
    QTest::newRow("upper") << "ES" << false;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("long") << "english" << false;
    QTest::newRow("markup") << "<b>" << false;
    QTest::newRow("underscore") << "pt_BR" << false;
    QTest::newRow("trailing dash") << "pt-" << false;
}

void TestServerText::languageCodes() {
    QFETCH(QString, code);
    QFETCH(bool, valid);
    QCOMPARE(Languages::isCode(code), valid);
}

void TestServerText::languageListFollowsTheEngines() {
    // Without any translation engine only English is left, and it is not a translation target.
    const QJsonArray none = Languages::list({});
    QCOMPARE(none.size(), 1);
    QCOMPARE(none.first().toObject().value(QStringLiteral("code")).toString(),
             QStringLiteral("en"));
    QCOMPARE(none.first().toObject().value(QStringLiteral("translation")).toBool(), false);
    // A pair that is known gets its names; an unknown code is not invented.
    const QJsonArray some = Languages::list({QStringLiteral("gl"), QStringLiteral("xx")});
    QCOMPARE(some.size(), 2);
    QCOMPARE(some.at(1).toObject(),
             (QJsonObject{{QStringLiteral("code"), QStringLiteral("gl")},
                          {QStringLiteral("name"), QStringLiteral("Galician")},
                          {QStringLiteral("native"), QStringLiteral("Galego")},
                          {QStringLiteral("transcription"), false},
                          {QStringLiteral("translation"), true},
                          {QStringLiteral("voice"), false}}));
}

QTEST_MAIN(TestServerText)
#include "tst_ServerText.moc"
