// Translation through real apertium pipelines: texts are escaped for the apertium stream and
// come back unescaped and in order, a dead pipeline is restarted, and languages without a pair
// answer nothing.
#include "TranslationPipeline.h"
#include "Translator.h"

#include <QTest>

#include <csignal>

using namespace pq::server;

namespace {

const QString kModes = QStringLiteral("/usr/share/apertium/modes");

std::optional<QString> translateNow(Translator& t, const QString& lang, const QString& text) {
    std::optional<QString> result;
    bool done = false;
    QObject context;
    t.translate(lang, text, &context, [&](std::optional<QString> r) {
        result = std::move(r);
        done = true;
    });
    if (!QTest::qWaitFor([&] { return done; }, 20'000))
        return QStringLiteral("(no answer)");
    return result;
}

} // namespace

class TestServerTranslation : public QObject {
    Q_OBJECT

private slots:
    void escapesTheApertiumStream();
    void unescapesAndDropsMarks();
    void translatesInOrder();
    void hostileTextSurvives();
    void unknownLanguageGivesNothing();
    void deadPipelineIsRestarted();
    void droppedContextIsNotCalled();
};

void TestServerTranslation::escapesTheApertiumStream() {
    QCOMPARE(TranslationPipeline::escape(QStringLiteral("a [b] ^c$ /d <e> @f {g} *h #i \\j")),
             QByteArray("a \\[b\\] \\^c\\$ \\/d \\<e\\> \\@f \\{g\\} \\*h \\#i \\\\j"));
    // Line breaks and NULs would end a request early: they become spaces.
    QCOMPARE(TranslationPipeline::escape(QString::fromUtf8("x\ny\0z", 5)), QByteArray("x y z"));
    QCOMPARE(TranslationPipeline::escape(QStringLiteral("Ñandú")),
             QStringLiteral("Ñandú").toUtf8());
}

void TestServerTranslation::unescapesAndDropsMarks() {
    QCOMPARE(
        TranslationPipeline::unescape("Yo \\[gusta\\] \\\\ *desconocido #generado @bilingue\n"),
        QStringLiteral("Yo [gusta] \\ desconocido generado bilingue"));
    QCOMPARE(TranslationPipeline::unescape(QByteArray("\xc3\xb1", 2)), QStringLiteral("ñ"));
}

void TestServerTranslation::translatesInOrder() {
    Translator translator(kModes);
    QVERIFY(translator.canTranslate(QStringLiteral("es")));
    QVERIFY(!translator.canTranslate(QStringLiteral("en")));
    // Several requests in flight at once come back to the right callers.
    QObject context;
    QStringList results(3);
    int done = 0;
    const QStringList texts{QStringLiteral("Thank you very much."),
                            QStringLiteral("The train leaves at nine."),
                            QStringLiteral("Where is the nearest station?")};
    for (int i = 0; i < 3; ++i) {
        translator.translate(QStringLiteral("es"), texts[i], &context,
                             [&, i](std::optional<QString> r) {
                                 results[i] = r.value_or(QStringLiteral("(failed)"));
                                 ++done;
                             });
    }
    QVERIFY(QTest::qWaitFor([&] { return done == 3; }, 20'000));
    // As `apertium eng-spa` translates them.
    QCOMPARE(results, (QStringList{QStringLiteral("Muchas gracias."),
                                   QStringLiteral("Las hojas de tren en nueve."),
                                   QStringLiteral("Dónde es la canal más cercana?")}));
    QCOMPARE(translateNow(translator, QStringLiteral("ca"), QStringLiteral("Thank you very much.")),
             std::optional<QString>(QStringLiteral("Gràcies molt.")));
}

void TestServerTranslation::hostileTextSurvives() {
    Translator translator(kModes);
    const auto odd = translateNow(
        translator, QStringLiteral("es"),
        QStringLiteral("I [like] ^cats$ / dogs <x> @home #1 *star \\ back {a}.\nNext line\0end."));
    QVERIFY(odd.has_value());
    QVERIFY(odd->contains(QLatin1String("[")));
    QVERIFY(odd->contains(QLatin1String("<x>")));
    // The pipeline is still in step afterwards.
    QCOMPARE(translateNow(translator, QStringLiteral("es"), QStringLiteral("Thank you very much.")),
             std::optional<QString>(QStringLiteral("Muchas gracias.")));
    QCOMPARE(translateNow(translator, QStringLiteral("es"), QStringLiteral("   ")),
             std::optional<QString>(QString()));
    const auto emoji = translateNow(translator, QStringLiteral("es"), QStringLiteral("😀 hello 😀"));
    QVERIFY(emoji && emoji->contains(QStringLiteral("😀")));
}

void TestServerTranslation::unknownLanguageGivesNothing() {
    Translator translator(kModes);
    QCOMPARE(translateNow(translator, QStringLiteral("xx"), QStringLiteral("Hello.")),
             std::nullopt);
    Translator none(QStringLiteral("/nonexistent"));
    QVERIFY(none.targets().isEmpty());
    QCOMPARE(translateNow(none, QStringLiteral("es"), QStringLiteral("Hello.")), std::nullopt);
}

void TestServerTranslation::deadPipelineIsRestarted() {
    TranslationPipeline pipeline(kModes + QStringLiteral("/eng-spa.mode"));
    QObject context;
    std::optional<QString> first;
    bool done = false;
    pipeline.translate(QStringLiteral("Thank you."), &context, [&](std::optional<QString> r) {
        first = r;
        done = true;
    });
    QVERIFY(QTest::qWaitFor([&] { return done; }, 20'000));
    QVERIFY(first.has_value());
    // Kill the whole chain behind its back, then ask again: it starts a new one.
    const qint64 group = pipeline.processGroup();
    QVERIFY(group > 0);
    QCOMPARE(::kill(-pid_t(group), SIGKILL), 0);
    QTest::qWait(300);
    done = false;
    std::optional<QString> second;
    pipeline.translate(QStringLiteral("Thank you."), &context, [&](std::optional<QString> r) {
        second = r;
        done = true;
    });
    QVERIFY(QTest::qWaitFor([&] { return done; }, 20'000));
    // The request that met the dying chain may fail; the next one works.
    if (!second) {
        done = false;
        pipeline.translate(QStringLiteral("Thank you."), &context, [&](std::optional<QString> r) {
            second = r;
            done = true;
        });
        QVERIFY(QTest::qWaitFor([&] { return done; }, 20'000));
    }
    QCOMPARE(second, first);
}

void TestServerTranslation::droppedContextIsNotCalled() {
    Translator translator(kModes);
    bool called = false;
    {
        QObject context;
        translator.translate(QStringLiteral("es"), QStringLiteral("Hello."), &context,
                             [&](std::optional<QString>) { called = true; });
    }
    QTest::qWait(2000);
    QVERIFY(!called);
    QVERIFY(translateNow(translator, QStringLiteral("es"), QStringLiteral("Hello.")).has_value());
}

QTEST_MAIN(TestServerTranslation)
#include "tst_ServerTranslation.moc"
