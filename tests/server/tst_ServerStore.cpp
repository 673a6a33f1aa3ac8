// The service's SQLite store in process: keys kept only as hashes, pagination order, the
// positions a snapshot covers (`after`), translations per language, search with quoted text,
// recordings left open by an earlier run, and a database from a newer version.
#include "Ids.h"
#include "SearchText.h"
#include "SqlStatement.h"
#include "Store.h"

#include <QTemporaryDir>
#include <QTest>

#include <sqlite3.h>

using namespace pq::server;

namespace {

SegmentRow segment(qint64 seq, const QString& text, double start) {
    SegmentRow s;
    s.seq = seq;
    s.text = text;
    s.start = start;
    s.end = start + 1;
    s.language = QStringLiteral("en");
    return s;
}

SentenceRow sentence(qint64 id, qint64 cursor, qint64 seq, const QString& text, double start) {
    SentenceRow s;
    s.sentenceId = id;
    s.cursor = cursor;
    s.seqs = {seq};
    s.text = text;
    s.start = start;
    return s;
}

QList<qint64> seqs(const QList<SegmentRow>& rows) {
    QList<qint64> out;
    for (const auto& r : rows)
        out.append(r.seq);
    return out;
}

} // namespace

class TestServerStore : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void keysAreHashesAndRevocable();
    void transcriptionsNewestFirst();
    void snapshotAfterAPosition();
    void untranslatedTextsPerLanguage();
    void searchIsQuotedAndRanked();
    void abandonedRecordingsAreFinished();
    void newerDatabaseIsRefused();
    void unwritableFolderIsAClearError();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<Store> m_store;
    QString m_recording;
};

void TestServerStore::init() {
    m_dir = std::make_unique<QTemporaryDir>();
    m_store = std::make_unique<Store>(m_dir->path());
    const TranscriptionRow t =
        m_store->createTranscription(QStringLiteral("Trip"), true, QStringLiteral("mic"), {});
    m_recording = m_store->createRecording(t.id, QStringLiteral("linux-1"), {}).id;
}

void TestServerStore::cleanup() {
    m_store.reset();
    m_dir.reset();
}

void TestServerStore::keysAreHashesAndRevocable() {
    const QString secret = Ids::apiKey();
    const KeyRow key = m_store->createKey(QStringLiteral("desk"), Ids::hash(secret));
    QCOMPARE(m_store->useKey(Ids::hash(secret)), std::optional<QString>(key.id));
    QVERIFY(!m_store->useKey(Ids::hash(secret + QLatin1Char('x'))));
    QVERIFY(m_store->keys().first().lastUsedAt.has_value());
    QVERIFY(m_store->revokeKey(key.id));
    QVERIFY(!m_store->revokeKey(key.id));
    QVERIFY(!m_store->useKey(Ids::hash(secret)));
    QVERIFY(m_store->keys().first().revokedAt.has_value());
    QVERIFY(Ids::equalConstantTime("abc", "abc"));
    QVERIFY(!Ids::equalConstantTime("abc", "abd"));
    QVERIFY(!Ids::equalConstantTime("abc", "ab"));
}

void TestServerStore::transcriptionsNewestFirst() {
    for (int i = 0; i < 4; ++i)
        m_store->createTranscription(QStringLiteral("T%1").arg(i), true, QStringLiteral("mic"), {});
    bool more = false;
    const auto first = m_store->transcriptions(std::nullopt, 3, &more);
    QVERIFY(more);
    QCOMPARE(first.size(), 3);
    QCOMPARE(first[0].name, QStringLiteral("T3"));
    const auto rest = m_store->transcriptions(first.last().n, 3, &more);
    QVERIFY(!more);
    QCOMPARE(rest.size(), 2);
    QCOMPARE(rest.last().name, QStringLiteral("Trip"));
}

void TestServerStore::snapshotAfterAPosition() {
    // Positions: 1 segment, 2 sentence (with "es"), 3 segment translation "es", 4 segment,
    // 5 sentence, 6 noop.
    m_store->addSegment(m_recording, segment(1, QStringLiteral("Hello there."), 0.5));
    m_store->addSentence(m_recording, sentence(1, 2, 1, QStringLiteral("Hello there."), 0.5));
    m_store->addTranslation(m_recording, true, 1, QStringLiteral("es"),
                            QStringLiteral("Hola allí."), 2);
    m_store->addTranslation(m_recording, false, 1, QStringLiteral("es"),
                            QStringLiteral("Hola allí."), 3);
    m_store->addSegment(m_recording, segment(4, QStringLiteral("Good bye."), 2.0));
    m_store->addSentence(m_recording, sentence(2, 5, 4, QStringLiteral("Good bye."), 2.0));
    m_store->setCursor(m_recording, 6);
    QCOMPARE(m_store->recording(m_recording)->lastCursor, 6);

    QCOMPARE(seqs(m_store->segments(m_recording, -1, std::nullopt)), (QList<qint64>{1, 4}));
    QCOMPARE(seqs(m_store->segments(m_recording, 1, std::nullopt)), (QList<qint64>{4}));
    // Segment 1 changed at 3 for Spanish readers only.
    QCOMPARE(seqs(m_store->segments(m_recording, 2, QStringLiteral("es"))), (QList<qint64>{1, 4}));
    QCOMPARE(seqs(m_store->segments(m_recording, 3, QStringLiteral("es"))), (QList<qint64>{4}));
    QCOMPARE(seqs(m_store->segments(m_recording, 6, QStringLiteral("es"))), QList<qint64>());
    const auto withSpanish = m_store->segments(m_recording, -1, QStringLiteral("es"));
    QCOMPARE(withSpanish.first().translation, std::optional<QString>(QStringLiteral("Hola allí.")));
    QVERIFY(!withSpanish.last().translation);
    QVERIFY(!m_store->segments(m_recording, -1, QStringLiteral("ca")).first().translation);

    const auto sentences = m_store->sentences(m_recording, 2, QStringLiteral("es"));
    QCOMPARE(sentences.size(), 1);
    QCOMPARE(sentences.first().sentenceId, 2);
    QCOMPARE(sentences.first().seqs, QList<qint64>{4});
    QCOMPARE(m_store->sentences(m_recording, 1, QStringLiteral("es")).first().translation,
             std::optional<QString>(QStringLiteral("Hola allí.")));
    QCOMPARE(m_store->nextSentenceId(m_recording), 3);
    // A cursor never moves back.
    m_store->setCursor(m_recording, 2);
    QCOMPARE(m_store->recording(m_recording)->lastCursor, 6);
}

void TestServerStore::untranslatedTextsPerLanguage() {
    m_store->addSegment(m_recording, segment(1, QStringLiteral("One."), 0));
    m_store->addSentence(m_recording, sentence(1, 2, 1, QStringLiteral("One."), 0));
    m_store->addTranslation(m_recording, false, 1, QStringLiteral("es"), QStringLiteral("Uno."), 3);
    const auto es = m_store->untranslated(m_recording, QStringLiteral("es"));
    QCOMPARE(es.size(), 1);
    QVERIFY(es.first().sentence);
    QCOMPARE(es.first().cursor, 2);
    QCOMPARE(m_store->untranslated(m_recording, QStringLiteral("ca")).size(), 2);
}

void TestServerStore::searchIsQuotedAndRanked() {
    m_store->addSegment(m_recording, segment(1, QStringLiteral("Open the window."), 1));
    m_store->addSentence(m_recording, sentence(1, 2, 1, QStringLiteral("Open the window."), 1));
    m_store->addSegment(m_recording,
                        segment(3, QStringLiteral("The window, the window, the window!"), 5));
    m_store->addSentence(
        m_recording, sentence(2, 4, 3, QStringLiteral("The window, the window, the window!"), 5));
    const auto hits = m_store->search(SearchText::ftsQuery(QStringLiteral("window")), 10);
    QCOMPARE(hits.size(), 2);
    // bm25: the sentence that says it three times ranks first.
    QCOMPARE(hits.first().sentenceId, 2);
    QCOMPARE(hits.first().mediaStart, 5.0);
    QCOMPARE(hits.first().linkName, QStringLiteral("Trip"));
    QCOMPARE(SearchText::rendered(hits.last().marked),
             QStringLiteral("Open the <mark>window</mark>."));
    QCOMPARE(m_store->search(SearchText::ftsQuery(QStringLiteral("window")), 1).size(), 1);
    // Unquoted, these are FTS5 syntax errors; quoted they are just words.
    for (const QString& hostile :
         {QStringLiteral("window AND"), QStringLiteral("NEAR("), QStringLiteral("\"window"),
          QStringLiteral("window:"), QStringLiteral("-window"), QStringLiteral("*")}) {
        const QString query = SearchText::ftsQuery(hostile);
        if (!query.isEmpty())
            m_store->search(query, 10); // does not throw
    }
    bool threw = false;
    try {
        m_store->search(QStringLiteral("window AND"), 10);
    } catch (const StoreError&) {
        threw = true;
    }
    QVERIFY(threw); // what the quoting is for
}

void TestServerStore::abandonedRecordingsAreFinished() {
    QCOMPARE(m_store->finishAbandonedRecordings(), 1);
    const auto r = m_store->recording(m_recording);
    QCOMPARE(r->state, QStringLiteral("ready"));
    QVERIFY(r->endedAt.has_value());
    QCOMPARE(m_store->finishAbandonedRecordings(), 0);
}

void TestServerStore::newerDatabaseIsRefused() {
    m_store.reset();
    sqlite3* db = nullptr;
    QCOMPARE(
        sqlite3_open((m_dir->path() + QStringLiteral("/service.db")).toUtf8().constData(), &db),
        SQLITE_OK);
    QCOMPARE(sqlite3_exec(db, "UPDATE meta SET value = '99' WHERE key = 'schema'", nullptr, nullptr,
                          nullptr),
             SQLITE_OK);
    sqlite3_close(db);
    QVERIFY_THROWS_EXCEPTION(StoreError, Store(m_dir->path()));
}

void TestServerStore::unwritableFolderIsAClearError() {
    QVERIFY_THROWS_EXCEPTION(StoreError, Store(QStringLiteral("/proc/parloquent-nowhere")));
}

QTEST_MAIN(TestServerStore)
#include "tst_ServerStore.moc"
