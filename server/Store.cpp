#include "Store.h"

#include "Ids.h"
#include "SqlStatement.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>

#include <sqlite3.h>

namespace pq::server {

namespace {

constexpr int kSchemaVersion = 2;

const char* const kSchema = R"sql(
CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS api_keys(
    id TEXT PRIMARY KEY, name TEXT NOT NULL, hash TEXT NOT NULL UNIQUE,
    created_at TEXT NOT NULL, last_used_at TEXT, revoked_at TEXT);
CREATE TABLE IF NOT EXISTS transcriptions(
    n INTEGER PRIMARY KEY, id TEXT NOT NULL UNIQUE, name TEXT NOT NULL,
    created_at TEXT NOT NULL, live INTEGER NOT NULL, source_kind TEXT NOT NULL,
    spoken_language TEXT, speaker_labels TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS recordings(
    n INTEGER PRIMARY KEY, id TEXT NOT NULL UNIQUE,
    transcription_id TEXT NOT NULL REFERENCES transcriptions(id),
    state TEXT NOT NULL, device_id TEXT NOT NULL, created_at TEXT NOT NULL, ended_at TEXT,
    duration_s REAL NOT NULL DEFAULT 0, last_cursor INTEGER NOT NULL DEFAULT 0,
    spoken_language TEXT, speaker_labels TEXT NOT NULL);
CREATE INDEX IF NOT EXISTS recordings_by_transcription ON recordings(transcription_id, n);
CREATE TABLE IF NOT EXISTS segments(
    recording_id TEXT NOT NULL REFERENCES recordings(id), seq INTEGER NOT NULL,
    text TEXT NOT NULL, start REAL NOT NULL, end REAL NOT NULL, speaker INTEGER NOT NULL,
    language TEXT NOT NULL, PRIMARY KEY(recording_id, seq)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS sentences(
    n INTEGER PRIMARY KEY, recording_id TEXT NOT NULL REFERENCES recordings(id),
    sentence_id INTEGER NOT NULL, cursor INTEGER NOT NULL, seqs TEXT NOT NULL,
    text TEXT NOT NULL, speaker INTEGER NOT NULL, start REAL NOT NULL,
    UNIQUE(recording_id, sentence_id));
CREATE TABLE IF NOT EXISTS translations(
    recording_id TEXT NOT NULL, kind TEXT NOT NULL, ref INTEGER NOT NULL, lang TEXT NOT NULL,
    text TEXT NOT NULL, cursor INTEGER NOT NULL,
    PRIMARY KEY(recording_id, kind, ref, lang)) WITHOUT ROWID;
CREATE VIRTUAL TABLE IF NOT EXISTS sentence_index USING fts5(
    text, content='sentences', content_rowid='n', tokenize='unicode61 remove_diacritics 2');
CREATE TRIGGER IF NOT EXISTS sentences_ai AFTER INSERT ON sentences BEGIN
    INSERT INTO sentence_index(rowid, text) VALUES (new.n, new.text);
END;
CREATE TRIGGER IF NOT EXISTS sentences_ad AFTER DELETE ON sentences BEGIN
    INSERT INTO sentence_index(sentence_index, rowid, text) VALUES ('delete', old.n, old.text);
END;
CREATE TRIGGER IF NOT EXISTS sentences_au AFTER UPDATE OF text ON sentences BEGIN
    INSERT INTO sentence_index(sentence_index, rowid, text) VALUES ('delete', old.n, old.text);
    INSERT INTO sentence_index(rowid, text) VALUES (new.n, new.text);
END;
CREATE TABLE IF NOT EXISTS broadcasts(
    n INTEGER PRIMARY KEY, id TEXT NOT NULL UNIQUE, name TEXT NOT NULL, code TEXT NOT NULL UNIQUE,
    transcription_id TEXT REFERENCES transcriptions(id), created_at TEXT NOT NULL,
    archived_at TEXT);
CREATE TABLE IF NOT EXISTS jobs(
    transcription_id TEXT PRIMARY KEY REFERENCES transcriptions(id),
    recording_id TEXT NOT NULL REFERENCES recordings(id), state TEXT NOT NULL,
    pct INTEGER NOT NULL DEFAULT 0, error TEXT, source TEXT NOT NULL, file_name TEXT NOT NULL,
    updated_at TEXT NOT NULL) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS summaries(
    recording_id TEXT PRIMARY KEY REFERENCES recordings(id), state TEXT NOT NULL, summary TEXT,
    title TEXT, updated_at TEXT NOT NULL) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS voices(
    n INTEGER PRIMARY KEY, id TEXT NOT NULL UNIQUE, name TEXT NOT NULL, base TEXT NOT NULL,
    pitch INTEGER NOT NULL, rate INTEGER NOT NULL, color TEXT NOT NULL, enabled INTEGER NOT NULL,
    draft INTEGER NOT NULL, created_at TEXT NOT NULL);
)sql";

const char* const kRecordingColumns =
    "id, transcription_id, state, device_id, created_at, ended_at, duration_s, last_cursor, "
    "spoken_language, speaker_labels";

RecordingRow readRecording(const SqlStatement& q) {
    RecordingRow r;
    r.id = q.text(0);
    r.transcriptionId = q.text(1);
    r.state = q.text(2);
    r.deviceId = q.text(3);
    r.createdAt = q.text(4);
    r.endedAt = q.optionalText(5);
    r.durationS = q.real(6);
    r.lastCursor = q.integer(7);
    r.settings.spokenLanguage = q.optionalText(8);
    r.settings.speakerLabels = q.text(9);
    return r;
}

TranscriptionRow readTranscription(const SqlStatement& q) {
    TranscriptionRow t;
    t.n = q.integer(0);
    t.id = q.text(1);
    t.name = q.text(2);
    t.createdAt = q.text(3);
    t.live = q.integer(4) != 0;
    t.settings.spokenLanguage = q.optionalText(5);
    t.settings.speakerLabels = q.text(6);
    return t;
}

KeyRow readKey(const SqlStatement& q) {
    return KeyRow{q.text(0), q.text(1), q.text(2), q.optionalText(3), q.optionalText(4)};
}

BroadcastRow readBroadcast(const SqlStatement& q) {
    return BroadcastRow{q.text(0), q.text(1),         q.text(2),
                        q.text(3), q.optionalText(4), q.optionalText(5)};
}

const char* const kJobColumns =
    "transcription_id, recording_id, state, pct, error, source, file_name";

JobRow readJob(const SqlStatement& q) {
    JobRow j;
    j.transcriptionId = q.text(0);
    j.recordingId = q.text(1);
    j.state = q.text(2);
    j.pct = int(q.integer(3));
    j.error = q.optionalText(4);
    j.source = q.text(5);
    j.fileName = q.text(6);
    return j;
}

const char* const kVoiceColumns = "id, name, base, pitch, rate, color, enabled, draft, created_at";

VoiceRow readVoice(const SqlStatement& q) {
    VoiceRow v;
    v.id = q.text(0);
    v.name = q.text(1);
    v.base = q.text(2);
    v.pitch = int(q.integer(3));
    v.rate = int(q.integer(4));
    v.color = q.text(5);
    v.enabled = q.integer(6) != 0;
    v.draft = q.integer(7) != 0;
    v.createdAt = q.text(8);
    return v;
}

QString seqsToJson(const QList<qint64>& seqs) {
    QJsonArray a;
    for (qint64 s : seqs)
        a.append(s);
    return QString::fromUtf8(QJsonDocument(a).toJson(QJsonDocument::Compact));
}

QList<qint64> seqsFromJson(const QString& text) {
    QList<qint64> out;
    for (const auto& v : QJsonDocument::fromJson(text.toUtf8()).array())
        out.append(v.toInteger());
    return out;
}

} // namespace

Store::Store(const QString& dir) {
    if (!QDir().mkpath(dir))
        throw StoreError("cannot make the data folder " + dir.toStdString());
    m_path = QDir(dir).filePath(QStringLiteral("service.db"));
    const int rc = sqlite3_open_v2(m_path.toUtf8().constData(), &m_db,
                                   SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (rc != SQLITE_OK) {
        const std::string message = m_db ? sqlite3_errmsg(m_db) : "out of memory";
        sqlite3_close(m_db);
        m_db = nullptr;
        throw StoreError("cannot open " + m_path.toStdString() + ": " + message);
    }
    sqlite3_busy_timeout(m_db, 5000);
    try {
        exec("PRAGMA journal_mode=WAL");
        exec("PRAGMA synchronous=NORMAL");
        exec("PRAGMA foreign_keys=ON");
        migrate();
    } catch (...) {
        sqlite3_close(m_db);
        m_db = nullptr;
        throw;
    }
}

Store::~Store() {
    sqlite3_close(m_db);
}

void Store::exec(const char* sql) {
    char* error = nullptr;
    if (sqlite3_exec(m_db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        const std::string message = error ? error : "unknown error";
        sqlite3_free(error);
        throw StoreError("database: " + message);
    }
}

void Store::migrate() {
    transaction([this] {
        exec(kSchema);
        SqlStatement version(m_db, "SELECT value FROM meta WHERE key = 'schema'");
        if (version.step() && version.text(0).toInt() > kSchemaVersion)
            throw StoreError("the database was written by a newer version of the service");
        SqlStatement set(m_db, "INSERT OR REPLACE INTO meta(key, value) VALUES ('schema', ?1)");
        set.bind(1, QString::number(kSchemaVersion)).run();
        SqlStatement user(m_db, "INSERT OR IGNORE INTO meta(key, value) VALUES ('user', ?1)");
        user.bind(1, Ids::random(QStringLiteral("usr_"), 16)).run();
    });
}

void Store::transaction(const std::function<void()>& work) {
    exec("BEGIN IMMEDIATE");
    try {
        work();
    } catch (...) {
        sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
    exec("COMMIT");
}

QString Store::userId() {
    SqlStatement q(m_db, "SELECT value FROM meta WHERE key = 'user'");
    return q.step() ? q.text(0) : QString();
}

KeyRow Store::createKey(const QString& name, const QByteArray& hash) {
    KeyRow row{Ids::random(QStringLiteral("key_"), 12), name, Ids::now(), {}, {}};
    SqlStatement q(m_db,
                   "INSERT INTO api_keys(id, name, hash, created_at) VALUES (?1, ?2, ?3, ?4)");
    q.bind(1, row.id).bind(2, name).bind(3, QString::fromLatin1(hash)).bind(4, row.createdAt).run();
    return row;
}

QList<KeyRow> Store::keys() {
    SqlStatement q(m_db, "SELECT id, name, created_at, last_used_at, revoked_at FROM api_keys "
                         "ORDER BY created_at, id");
    QList<KeyRow> out;
    while (q.step())
        out.append(readKey(q));
    return out;
}

bool Store::revokeKey(const QString& id) {
    SqlStatement q(m_db,
                   "UPDATE api_keys SET revoked_at = ?2 WHERE id = ?1 AND revoked_at IS NULL");
    q.bind(1, id).bind(2, Ids::now()).run();
    return sqlite3_changes(m_db) > 0;
}

std::optional<QString> Store::useKey(const QByteArray& hash) {
    SqlStatement q(m_db, "SELECT id, last_used_at FROM api_keys "
                         "WHERE hash = ?1 AND revoked_at IS NULL");
    q.bind(1, QString::fromLatin1(hash));
    if (!q.step())
        return std::nullopt;
    const QString id = q.text(0);
    // Note the use at most once a minute: a write per request is not worth it.
    const QString now = Ids::now();
    const auto last = q.optionalText(1);
    if (!last || last->left(16) != now.left(16)) {
        SqlStatement touch(m_db, "UPDATE api_keys SET last_used_at = ?2 WHERE id = ?1");
        touch.bind(1, id).bind(2, now).run();
    }
    return id;
}

TranscriptionRow Store::createTranscription(const QString& name, bool live,
                                            const QString& sourceKind, const Settings& settings) {
    SqlStatement q(m_db, "INSERT INTO transcriptions(id, name, created_at, live, source_kind, "
                         "spoken_language, speaker_labels) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)");
    TranscriptionRow t;
    t.id = Ids::random(QStringLiteral("tr_"), 16);
    t.name = name;
    t.createdAt = Ids::now();
    t.live = live;
    t.settings = settings;
    q.bind(1, t.id).bind(2, name).bind(3, t.createdAt).bind(4, qint64(live ? 1 : 0));
    q.bind(5, sourceKind).bind(6, settings.spokenLanguage).bind(7, settings.speakerLabels).run();
    t.n = sqlite3_last_insert_rowid(m_db);
    return t;
}

std::optional<TranscriptionRow> Store::transcription(const QString& id) {
    SqlStatement q(m_db, "SELECT n, id, name, created_at, live, spoken_language, speaker_labels "
                         "FROM transcriptions WHERE id = ?1");
    q.bind(1, id);
    if (!q.step())
        return std::nullopt;
    return readTranscription(q);
}

QList<TranscriptionRow> Store::transcriptions(std::optional<qint64> before, int limit, bool* more) {
    SqlStatement q(m_db, "SELECT n, id, name, created_at, live, spoken_language, speaker_labels "
                         "FROM transcriptions WHERE n < ?1 ORDER BY n DESC LIMIT ?2");
    q.bind(1, before.value_or(std::numeric_limits<qint64>::max())).bind(2, qint64(limit) + 1);
    QList<TranscriptionRow> out;
    while (q.step())
        out.append(readTranscription(q));
    *more = out.size() > limit;
    if (*more)
        out.removeLast();
    return out;
}

RecordingRow Store::createRecording(const QString& transcriptionId, const QString& deviceId,
                                    const Settings& settings) {
    RecordingRow r;
    r.id = Ids::random(QStringLiteral("rec_"), 16);
    r.transcriptionId = transcriptionId;
    r.state = QStringLiteral("live");
    r.deviceId = deviceId;
    r.createdAt = Ids::now();
    r.settings = settings;
    SqlStatement q(m_db, "INSERT INTO recordings(id, transcription_id, state, device_id, "
                         "created_at, spoken_language, speaker_labels) "
                         "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)");
    q.bind(1, r.id).bind(2, transcriptionId).bind(3, r.state).bind(4, deviceId);
    q.bind(5, r.createdAt).bind(6, settings.spokenLanguage).bind(7, settings.speakerLabels).run();
    return r;
}

std::optional<RecordingRow> Store::recording(const QString& id) {
    const QByteArray sql =
        QByteArray("SELECT ") + kRecordingColumns + " FROM recordings WHERE id = ?1";
    SqlStatement q(m_db, sql.constData());
    q.bind(1, id);
    if (!q.step())
        return std::nullopt;
    return readRecording(q);
}

std::optional<RecordingRow> Store::currentRecording(const QString& transcriptionId) {
    const QByteArray sql = QByteArray("SELECT ") + kRecordingColumns +
                           " FROM recordings WHERE transcription_id = ?1 AND ended_at IS NULL "
                           "ORDER BY n DESC LIMIT 1";
    SqlStatement q(m_db, sql.constData());
    q.bind(1, transcriptionId);
    if (!q.step())
        return std::nullopt;
    return readRecording(q);
}

std::optional<RecordingRow> Store::lastRecording(const QString& transcriptionId) {
    const QByteArray sql = QByteArray("SELECT ") + kRecordingColumns +
                           " FROM recordings WHERE transcription_id = ?1 ORDER BY n DESC LIMIT 1";
    SqlStatement q(m_db, sql.constData());
    q.bind(1, transcriptionId);
    if (!q.step())
        return std::nullopt;
    return readRecording(q);
}

void Store::setRecordingState(const QString& id, const QString& state) {
    SqlStatement q(m_db, "UPDATE recordings SET state = ?2 WHERE id = ?1");
    q.bind(1, id).bind(2, state).run();
}

void Store::finishRecording(const QString& id, double durationS) {
    SqlStatement q(m_db, "UPDATE recordings SET state = 'ready', ended_at = ?2, duration_s = ?3 "
                         "WHERE id = ?1 AND ended_at IS NULL");
    q.bind(1, id).bind(2, Ids::now()).bind(3, durationS).run();
}

void Store::setRecordingSettings(const QString& id, const Settings& settings) {
    SqlStatement q(m_db, "UPDATE recordings SET spoken_language = ?2, speaker_labels = ?3 "
                         "WHERE id = ?1");
    q.bind(1, id).bind(2, settings.spokenLanguage).bind(3, settings.speakerLabels).run();
}

int Store::finishAbandonedRecordings() {
    SqlStatement q(m_db, "UPDATE recordings SET state = 'ready', ended_at = ?1 "
                         "WHERE ended_at IS NULL");
    q.bind(1, Ids::now()).run();
    return sqlite3_changes(m_db);
}

void Store::endRecording(const QString& id, const QString& state, double durationS) {
    SqlStatement q(m_db, "UPDATE recordings SET state = ?2, ended_at = ?3, duration_s = ?4 "
                         "WHERE id = ?1 AND ended_at IS NULL");
    q.bind(1, id).bind(2, state).bind(3, Ids::now()).bind(4, durationS).run();
}

QList<RecordingRow> Store::recordings(const QString& transcriptionId) {
    const QByteArray sql = QByteArray("SELECT ") + kRecordingColumns +
                           " FROM recordings WHERE transcription_id = ?1 ORDER BY n";
    SqlStatement q(m_db, sql.constData());
    q.bind(1, transcriptionId);
    QList<RecordingRow> out;
    while (q.step())
        out.append(readRecording(q));
    return out;
}

JobRow Store::createJob(const QString& name, const Settings& settings, const QString& sourceKind,
                        const QString& source, const QString& fileName) {
    JobRow job;
    transaction([&] {
        const TranscriptionRow t = createTranscription(name, false, sourceKind, settings);
        RecordingRow r = createRecording(t.id, QStringLiteral("service"), settings);
        setRecordingState(r.id, QStringLiteral("processing"));
        job.transcriptionId = t.id;
        job.recordingId = r.id;
        job.state = QStringLiteral("queued");
        job.source = source;
        job.fileName = fileName;
        SqlStatement q(m_db, "INSERT INTO jobs(transcription_id, recording_id, state, pct, "
                             "source, file_name, updated_at) VALUES (?1, ?2, ?3, 0, ?4, ?5, ?6)");
        q.bind(1, t.id).bind(2, r.id).bind(3, job.state).bind(4, source).bind(5, fileName);
        q.bind(6, Ids::now()).run();
    });
    return job;
}

std::optional<JobRow> Store::job(const QString& transcriptionId) {
    const QByteArray sql =
        QByteArray("SELECT ") + kJobColumns + " FROM jobs WHERE transcription_id = ?1";
    SqlStatement q(m_db, sql.constData());
    q.bind(1, transcriptionId);
    if (!q.step())
        return std::nullopt;
    return readJob(q);
}

void Store::setJob(const QString& transcriptionId, const QString& state, int pct,
                   const std::optional<QString>& error) {
    SqlStatement q(m_db, "UPDATE jobs SET state = ?2, pct = ?3, error = ?4, updated_at = ?5 "
                         "WHERE transcription_id = ?1");
    q.bind(1, transcriptionId).bind(2, state).bind(3, pct).bind(4, error).bind(5, Ids::now());
    q.run();
}

QStringList Store::failUnfinishedJobs(const QString& error) {
    QStringList sources;
    transaction([&] {
        const QByteArray sql = QByteArray("SELECT ") + kJobColumns +
                               " FROM jobs WHERE state NOT IN ('done', 'failed')";
        SqlStatement q(m_db, sql.constData());
        QList<JobRow> unfinished;
        while (q.step())
            unfinished.append(readJob(q));
        for (const JobRow& j : unfinished) {
            setJob(j.transcriptionId, QStringLiteral("failed"), j.pct, error);
            endRecording(j.recordingId, QStringLiteral("failed"), 0);
            sources.append(j.source);
        }
    });
    return sources;
}

void Store::setCursor(const QString& recordingId, qint64 cursor) {
    SqlStatement q(m_db, "UPDATE recordings SET last_cursor = max(last_cursor, ?2) WHERE id = ?1");
    q.bind(1, recordingId).bind(2, cursor).run();
}

void Store::addSegment(const QString& recordingId, const SegmentRow& s) {
    transaction([&] {
        SqlStatement q(m_db, "INSERT OR REPLACE INTO segments(recording_id, seq, text, start, end, "
                             "speaker, language) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)");
        q.bind(1, recordingId).bind(2, s.seq).bind(3, s.text).bind(4, s.start).bind(5, s.end);
        q.bind(6, s.speaker).bind(7, s.language).run();
        setCursor(recordingId, s.seq);
    });
}

qint64 Store::nextSentenceId(const QString& recordingId) {
    SqlStatement q(m_db, "SELECT coalesce(max(sentence_id), 0) + 1 FROM sentences "
                         "WHERE recording_id = ?1");
    q.bind(1, recordingId);
    q.step();
    return q.integer(0);
}

void Store::addSentence(const QString& recordingId, const SentenceRow& s) {
    transaction([&] {
        SqlStatement q(m_db, "INSERT INTO sentences(recording_id, sentence_id, cursor, seqs, text, "
                             "speaker, start) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)");
        q.bind(1, recordingId).bind(2, s.sentenceId).bind(3, s.cursor).bind(4, seqsToJson(s.seqs));
        q.bind(5, s.text).bind(6, s.speaker).bind(7, s.start).run();
        setCursor(recordingId, s.cursor);
    });
}

void Store::addTranslation(const QString& recordingId, bool sentence, qint64 ref,
                           const QString& lang, const QString& text, qint64 cursor) {
    transaction([&] {
        SqlStatement q(m_db, "INSERT OR REPLACE INTO translations(recording_id, kind, ref, lang, "
                             "text, cursor) VALUES (?1, ?2, ?3, ?4, ?5, ?6)");
        q.bind(1, recordingId)
            .bind(2, sentence ? QStringLiteral("sentence") : QStringLiteral("segment"));
        q.bind(3, ref).bind(4, lang).bind(5, text).bind(6, cursor).run();
        setCursor(recordingId, cursor);
    });
}

QList<SegmentRow> Store::segments(const QString& recordingId, qint64 after,
                                  const std::optional<QString>& lang) {
    SqlStatement q(m_db, "SELECT s.seq, s.text, s.start, s.end, s.speaker, s.language, t.text "
                         "FROM segments s LEFT JOIN translations t ON t.recording_id = "
                         "s.recording_id AND t.kind = 'segment' AND t.ref = s.seq AND t.lang = ?3 "
                         "WHERE s.recording_id = ?1 AND (s.seq > ?2 OR t.cursor > ?2) "
                         "ORDER BY s.seq");
    q.bind(1, recordingId).bind(2, after).bind(3, lang);
    QList<SegmentRow> out;
    while (q.step()) {
        SegmentRow s;
        s.seq = q.integer(0);
        s.text = q.text(1);
        s.start = q.real(2);
        s.end = q.real(3);
        s.speaker = int(q.integer(4));
        s.language = q.text(5);
        s.translation = q.optionalText(6);
        out.append(s);
    }
    return out;
}

QList<SentenceRow> Store::sentences(const QString& recordingId, qint64 after,
                                    const std::optional<QString>& lang) {
    SqlStatement q(m_db, "SELECT s.sentence_id, s.cursor, s.seqs, s.text, s.speaker, s.start, "
                         "t.text FROM sentences s LEFT JOIN translations t ON t.recording_id = "
                         "s.recording_id AND t.kind = 'sentence' AND t.ref = s.sentence_id AND "
                         "t.lang = ?3 WHERE s.recording_id = ?1 AND (s.cursor > ?2 OR "
                         "t.cursor > ?2) ORDER BY s.sentence_id");
    q.bind(1, recordingId).bind(2, after).bind(3, lang);
    QList<SentenceRow> out;
    while (q.step()) {
        SentenceRow s;
        s.sentenceId = q.integer(0);
        s.cursor = q.integer(1);
        s.seqs = seqsFromJson(q.text(2));
        s.text = q.text(3);
        s.speaker = int(q.integer(4));
        s.start = q.real(5);
        s.translation = q.optionalText(6);
        out.append(s);
    }
    return out;
}

QList<UntranslatedRow> Store::untranslated(const QString& recordingId, const QString& lang) {
    SqlStatement q(m_db, "SELECT 0, seq, text, seq FROM segments s WHERE recording_id = ?1 AND NOT "
                         "EXISTS (SELECT 1 FROM translations t WHERE t.recording_id = ?1 AND "
                         "t.kind = 'segment' AND t.ref = s.seq AND t.lang = ?2) "
                         "UNION ALL SELECT 1, sentence_id, text, cursor FROM sentences s WHERE "
                         "recording_id = ?1 AND NOT EXISTS (SELECT 1 FROM translations t WHERE "
                         "t.recording_id = ?1 AND t.kind = 'sentence' AND t.ref = s.sentence_id "
                         "AND t.lang = ?2)");
    q.bind(1, recordingId).bind(2, lang);
    QList<UntranslatedRow> out;
    while (q.step())
        out.append(UntranslatedRow{q.integer(0) != 0, q.integer(1), q.text(2), q.integer(3)});
    return out;
}

QList<SearchRow> Store::search(const QString& match, int limit) {
    SqlStatement q(m_db, "SELECT t.id, r.id, s.sentence_id, t.name, s.text, "
                         "highlight(sentence_index, 0, char(57344), char(57345)), s.start "
                         "FROM sentence_index JOIN sentences s ON s.n = sentence_index.rowid "
                         "JOIN recordings r ON r.id = s.recording_id "
                         "JOIN transcriptions t ON t.id = r.transcription_id "
                         "WHERE sentence_index MATCH ?1 ORDER BY rank, s.n DESC LIMIT ?2");
    q.bind(1, match).bind(2, qint64(limit));
    QList<SearchRow> out;
    while (q.step()) {
        out.append(SearchRow{q.text(0), q.text(1), q.integer(2), q.text(3), q.text(4), q.text(5),
                             q.real(6)});
    }
    return out;
}

BroadcastRow Store::createBroadcast(const QString& name,
                                    const std::optional<QString>& transcriptionId) {
    BroadcastRow b{Ids::random(QStringLiteral("bc_"), 16),
                   name,
                   Ids::broadcastCode(),
                   Ids::now(),
                   transcriptionId,
                   std::nullopt};
    SqlStatement q(m_db, "INSERT INTO broadcasts(id, name, code, transcription_id, created_at) "
                         "VALUES (?1, ?2, ?3, ?4, ?5)");
    q.bind(1, b.id).bind(2, name).bind(3, b.code).bind(4, transcriptionId).bind(5, b.createdAt);
    q.run();
    return b;
}

QList<BroadcastRow> Store::broadcasts(bool activeOnly) {
    SqlStatement q(m_db, activeOnly
                             ? "SELECT id, name, code, created_at, transcription_id, archived_at "
                               "FROM broadcasts WHERE archived_at IS NULL ORDER BY n DESC"
                             : "SELECT id, name, code, created_at, transcription_id, archived_at "
                               "FROM broadcasts ORDER BY n DESC");
    QList<BroadcastRow> out;
    while (q.step())
        out.append(readBroadcast(q));
    return out;
}

std::optional<BroadcastRow> Store::broadcastByCode(const QString& code) {
    SqlStatement q(m_db, "SELECT id, name, code, created_at, transcription_id, archived_at "
                         "FROM broadcasts WHERE code = ?1 AND archived_at IS NULL");
    q.bind(1, code);
    if (!q.step())
        return std::nullopt;
    return readBroadcast(q);
}

std::optional<BroadcastRow> Store::broadcastOf(const QString& transcriptionId) {
    SqlStatement q(m_db, "SELECT id, name, code, created_at, transcription_id, archived_at "
                         "FROM broadcasts WHERE transcription_id = ?1 AND archived_at IS NULL "
                         "ORDER BY n DESC LIMIT 1");
    q.bind(1, transcriptionId);
    if (!q.step())
        return std::nullopt;
    return readBroadcast(q);
}

std::optional<SummaryRow> Store::summary(const QString& recordingId) {
    SqlStatement q(m_db,
                   "SELECT recording_id, state, summary, title FROM summaries WHERE recording_id "
                   "= ?1");
    q.bind(1, recordingId);
    if (!q.step())
        return std::nullopt;
    return SummaryRow{q.text(0), q.text(1), q.optionalText(2), q.optionalText(3)};
}

void Store::setSummary(const SummaryRow& s) {
    SqlStatement q(m_db, "INSERT OR REPLACE INTO summaries(recording_id, state, summary, title, "
                         "updated_at) VALUES (?1, ?2, ?3, ?4, ?5)");
    q.bind(1, s.recordingId).bind(2, s.state).bind(3, s.summary).bind(4, s.title);
    q.bind(5, Ids::now()).run();
}

QList<SummaryRow> Store::pendingSummaries() {
    SqlStatement q(m_db, "SELECT recording_id, state, summary, title FROM summaries WHERE state "
                         "= 'pending'");
    QList<SummaryRow> out;
    while (q.step())
        out.append(SummaryRow{q.text(0), q.text(1), q.optionalText(2), q.optionalText(3)});
    return out;
}

VoiceRow Store::createVoice(const VoiceRow& voice) {
    VoiceRow v = voice;
    v.id = Ids::random(QStringLiteral("vo_"), 12);
    v.createdAt = Ids::now();
    SqlStatement q(m_db, "INSERT INTO voices(id, name, base, pitch, rate, color, enabled, draft, "
                         "created_at) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)");
    q.bind(1, v.id).bind(2, v.name).bind(3, v.base).bind(4, v.pitch).bind(5, v.rate);
    q.bind(6, v.color).bind(7, v.enabled ? 1 : 0).bind(8, v.draft ? 1 : 0).bind(9, v.createdAt);
    q.run();
    return v;
}

QList<VoiceRow> Store::voices() {
    const QByteArray sql = QByteArray("SELECT ") + kVoiceColumns + " FROM voices ORDER BY n";
    SqlStatement q(m_db, sql.constData());
    QList<VoiceRow> out;
    while (q.step())
        out.append(readVoice(q));
    return out;
}

std::optional<VoiceRow> Store::voice(const QString& id) {
    const QByteArray sql = QByteArray("SELECT ") + kVoiceColumns + " FROM voices WHERE id = ?1";
    SqlStatement q(m_db, sql.constData());
    q.bind(1, id);
    if (!q.step())
        return std::nullopt;
    return readVoice(q);
}

bool Store::setVoiceFlags(const QString& id, bool enabled, bool draft) {
    SqlStatement q(m_db, "UPDATE voices SET enabled = ?2, draft = ?3 WHERE id = ?1");
    q.bind(1, id).bind(2, enabled ? 1 : 0).bind(3, draft ? 1 : 0).run();
    return sqlite3_changes(m_db) > 0;
}

bool Store::archiveBroadcast(const QString& id) {
    SqlStatement q(m_db, "UPDATE broadcasts SET archived_at = ?2 WHERE id = ?1 AND "
                         "archived_at IS NULL");
    q.bind(1, id).bind(2, Ids::now()).run();
    return sqlite3_changes(m_db) > 0;
}

} // namespace pq::server
