// Reading and writing of every wire record: required and optional members, null, unknown members,
// wrong types, sorted keys and the special writing rules.
#include "Broadcast.h"
#include "ConnectToken.h"
#include "Empty.h"
#include "LanguageInfo.h"
#include "Me.h"
#include "Recording.h"
#include "RequestBodies.h"
#include "SearchHit.h"
#include "SessionOptions.h"
#include "SettingsPatch.h"
#include "TranscriptSnapshot.h"
#include "Transcription.h"
#include "Voice.h"
#include "VoiceOption.h"

#include <QFile>
#include <QTest>

using namespace pq;

namespace {

QByteArray fixture(const char* name) {
    QFile f(QStringLiteral(PQ_TEST_DATA "/service/%1").arg(QLatin1String(name)));
    if (!f.open(QIODevice::ReadOnly))
        qFatal("missing fixture %s", name);
    return f.readAll();
}

// Runs `decode<T>` and returns the failing field path, or an empty string when it decoded. The
// message the user sees must name the field as well.
template <class T> QString failingField(const QByteArray& json) {
    try {
        decode<T>(json);
    } catch (const DecodeError& e) {
        if (!e.description().contains(e.field()))
            return QStringLiteral("message does not name the field: ") + e.description();
        return e.field();
    }
    return QString();
}

} // namespace

class TestRecords : public QObject {
    Q_OBJECT

private slots:
    void meReadsRequiredAndOptional();
    void connectTokenReadsSnakeCase();
    void languages();
    void transcriptionPageFromFixture();
    void transcriptionOptionalMembersMayBeNull();
    void missingOrWrongMembersNameTheField_data();
    void missingOrWrongMembersNameTheField();
    void integersMustBeWhole_data();
    void integersMustBeWhole();
    void malformedBodiesAreDecodeErrors_data();
    void malformedBodiesAreDecodeErrors();
    void broadcastsVoicesCatalogue();
    void voiceListMayOmitVoices();
    void searchHitIdentity();
    void recordingsAndSummaries();
    void snapshotFromFixture();
    void emptyAcceptsAnyValue_data();
    void emptyAcceptsAnyValue();
    void speakerLabelsReadOnlyTheirRawValues();
    void settingsPatchWriting_data();
    void settingsPatchWriting();
    void sessionOptionsWriting_data();
    void sessionOptionsWriting();
    void requestBodiesWriting();
    void textSurvivesUnicodeAndEscapes();
};

void TestRecords::meReadsRequiredAndOptional() {
    const Me me = decode<Me>(R"({"displayName":"Ada","scopes":["live","files"],"extra":{"x":1}})");
    QCOMPARE(me.displayName, QStringLiteral("Ada"));
    QCOMPARE(me.scopes, QStringList({"live", "files"}));
    QVERIFY(!me.apiKeyId);
    QVERIFY(!me.userId);

    const Me full =
        decode<Me>(R"({"displayName":"Ada","apiKeyId":"k1","userId":"u1","scopes":[]})");
    QCOMPARE(full.apiKeyId, QStringLiteral("k1"));
    QCOMPARE(full.userId, QStringLiteral("u1"));
    QVERIFY(full.scopes.isEmpty());
}

void TestRecords::connectTokenReadsSnakeCase() {
    const auto token = decode<ConnectToken>(
        R"({"access_token":"pq_key_abc","key_id":"k9","scope":"all","account":{"name":"Ada"}})");
    QCOMPARE(token.access_token, QStringLiteral("pq_key_abc"));
    QCOMPARE(token.key_id, QStringLiteral("k9"));
    QCOMPARE(token.scope, QStringLiteral("all"));
    QVERIFY(token.account);
    QCOMPARE(token.account->name, QStringLiteral("Ada"));

    // Camel case is not the token's form.
    QCOMPARE(failingField<ConnectToken>(R"({"accessToken":"x"})"),
             QStringLiteral("ConnectToken.access_token"));
    QCOMPARE(failingField<ConnectToken>(R"({"access_token":"x","account":{}})"),
             QStringLiteral("ConnectToken.account.name"));
}

void TestRecords::languages() {
    const auto lists = decode<LanguageLists>(fixture("languages.json"));
    QCOMPARE(lists.languages.size(), 3);
    const LanguageInfo expected(QStringLiteral("es"), QStringLiteral("🇪🇸"),
                                QStringLiteral("Spanish"), QStringLiteral("Español"), true, true,
                                false);
    QCOMPARE(lists.languages[1], expected);
    QCOMPARE(lists.languages[1].identity(), QStringLiteral("es"));
    QVERIFY(!lists.languages[2].flag); // null flag reads as absent
    QVERIFY(lists.languages[0] != lists.languages[1]);
}

void TestRecords::transcriptionPageFromFixture() {
    const auto page = decode<TranscriptionPage>(fixture("transcriptions.json"));
    QCOMPARE(page.nextCursor, QStringLiteral("c2"));
    QCOMPARE(page.transcriptions.size(), 3);

    const Transcription& file = page.transcriptions[0];
    QCOMPARE(file.id, QStringLiteral("t1"));
    QCOMPARE(file.createdAt, QStringLiteral("2026-12-01T09:30:00Z"));
    QVERIFY(file.job);
    QCOMPARE(file.job->state, QStringLiteral("transcribing"));
    QCOMPARE(file.job->progress.pct, 42);
    QCOMPARE(file.job->progress.phase, QStringLiteral("Recognising"));
    QVERIFY(!file.job->error);

    const Transcription& live = page.transcriptions[1];
    QCOMPARE(live.live, true);
    QVERIFY(live.lastRecording);
    QCOMPARE(live.lastRecording->durationS, 61.5);
    QCOMPARE(live.currentRecording->state, QStringLiteral("live"));

    const Transcription& failed = page.transcriptions[2];
    QCOMPARE(failed.job->error, QStringLiteral("The file holds no sound."));

    const auto last = decode<TranscriptionPage>(R"({"transcriptions":[]})");
    QVERIFY(last.transcriptions.isEmpty());
    QVERIFY(!last.nextCursor);
}

void TestRecords::transcriptionOptionalMembersMayBeNull() {
    const auto t = decode<Transcription>(
        R"({"id":"t","name":"n","createdAt":"c","live":null,"job":null,"lastRecording":null,
            "currentRecording":null})");
    QVERIFY(!t.live);
    QVERIFY(!t.job);
    QVERIFY(!t.lastRecording);
    QVERIFY(!t.currentRecording);
}

void TestRecords::missingOrWrongMembersNameTheField_data() {
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<QString>("field");
    QTest::addColumn<int>("kind");
    enum { page, me, snapshot, search };

    QTest::newRow("page without transcriptions")
        << QByteArray(R"({"nextCursor":"c"})") << "TranscriptionPage.transcriptions" << +page;
    QTest::newRow("transcriptions null")
        << QByteArray(R"({"transcriptions":null})") << "TranscriptionPage.transcriptions" << +page;
    QTest::newRow("transcriptions not a list")
        << QByteArray(R"({"transcriptions":{}})") << "TranscriptionPage.transcriptions" << +page;
    QTest::newRow("nested id missing")
        << QByteArray(R"({"transcriptions":[{"id":"a","name":"n","createdAt":"c"},
                                              {"name":"n","createdAt":"c"}]})")
        << "TranscriptionPage.transcriptions[1].id" << +page;
    QTest::newRow("job progress pct is text")
        << QByteArray(R"({"transcriptions":[{"id":"a","name":"n","createdAt":"c",
            "job":{"state":"queued","recordingId":"r","progress":{"pct":"10"}}}]})")
        << "TranscriptionPage.transcriptions[0].job.progress.pct" << +page;
    QTest::newRow("optional live has the wrong type")
        << QByteArray(R"({"transcriptions":[{"id":"a","name":"n","createdAt":"c","live":"yes"}]})")
        << "TranscriptionPage.transcriptions[0].live" << +page;
    QTest::newRow("display name is a number")
        << QByteArray(R"({"displayName":7,"scopes":[]})") << "Me.displayName" << +me;
    QTest::newRow("scopes hold a number")
        << QByteArray(R"({"displayName":"a","scopes":["x",3]})") << "Me.scopes[1]" << +me;
    QTest::newRow("top level is a list") << QByteArray(R"([{"displayName":"a"}])") << "Me" << +me;
    QTest::newRow("translation is not text")
        << QByteArray(R"({"recordingId":"r","lastSeq":1,"segments":[{"seq":1,"text":"a","start":0,
            "end":1,"speaker":0,"translations":{"es":1}}],"sentences":[],"speakers":[],
            "state":"live"})")
        << "TranscriptSnapshot.segments[0].translations.es" << +snapshot;
    QTest::newRow("sentence seqs hold text")
        << QByteArray(R"({"recordingId":"r","lastSeq":1,"segments":[],"sentences":[{"sentenceId":1,
            "seqs":["1"],"text":"a","speaker":0}],"speakers":[],"state":"live"})")
        << "TranscriptSnapshot.sentences[0].seqs[0]" << +snapshot;
    QTest::newRow("media start missing")
        << QByteArray(R"({"hits":[{"transcriptionId":"t","recordingId":"r","sentenceId":1,
            "linkName":"l","text":"x"}]})")
        << "SearchResults.hits[0].mediaStart" << +search;
}

void TestRecords::missingOrWrongMembersNameTheField() {
    QFETCH(QByteArray, json);
    QFETCH(QString, field);
    QFETCH(int, kind);
    QString got;
    switch (kind) {
    case 0:
        got = failingField<TranscriptionPage>(json);
        break;
    case 1:
        got = failingField<Me>(json);
        break;
    case 2:
        got = failingField<TranscriptSnapshot>(json);
        break;
    default:
        got = failingField<SearchResults>(json);
    }
    QCOMPARE(got, field);
}

void TestRecords::integersMustBeWhole_data() {
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<qint64>("expected");
    QTest::newRow("plain") << QByteArray("12") << true << qint64(12);
    QTest::newRow("negative") << QByteArray("-3") << true << qint64(-3);
    QTest::newRow("whole written with fraction") << QByteArray("12.0") << true << qint64(12);
    QTest::newRow("beyond 2^53 exact")
        << QByteArray("9007199254740993") << true << qint64(9007199254740993LL);
    QTest::newRow("int64 max") << QByteArray("9223372036854775807") << true
                               << std::numeric_limits<qint64>::max();
    QTest::newRow("fraction") << QByteArray("12.5") << false << qint64(0);
    QTest::newRow("too large") << QByteArray("1e300") << false << qint64(0);
    QTest::newRow("text") << QByteArray("\"12\"") << false << qint64(0);
    QTest::newRow("boolean") << QByteArray("true") << false << qint64(0);
}

void TestRecords::integersMustBeWhole() {
    QFETCH(QByteArray, value);
    QFETCH(bool, ok);
    QFETCH(qint64, expected);
    const QByteArray json = R"({"speaker":)" + value + R"(,"name":"x"})";
    const QString field = failingField<SpeakerView>(json);
    QCOMPARE(field.isEmpty(), ok);
    if (ok)
        QCOMPARE(decode<SpeakerView>(json).speaker, expected);
    else
        QCOMPARE(field, QStringLiteral("SpeakerView.speaker"));
}

void TestRecords::malformedBodiesAreDecodeErrors_data() {
    QTest::addColumn<QByteArray>("body");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("truncated") << QByteArray(R"({"displayName":"a")");
    QTest::newRow("html") << QByteArray("<html>oops</html>");
    QTest::newRow("two values") << QByteArray(R"({"displayName":"a","scopes":[]} {})");
    QTest::newRow("smuggled second value") << QByteArray(R"({}],[{})");
    QTest::newRow("invalid utf-8") << QByteArray("{\"displayName\":\"a\xff\xfe\",\"scopes\":[]}");
    QTest::newRow("deep nesting") << QByteArray(100000, '[');
    QTest::newRow("scalar") << QByteArray("42");
}

void TestRecords::malformedBodiesAreDecodeErrors() {
    QFETCH(QByteArray, body);
    // Must fail cleanly, never crash or succeed with made-up values.
    const QString field = failingField<Me>(body);
    QCOMPARE(field, QStringLiteral("Me"));
}

void TestRecords::broadcastsVoicesCatalogue() {
    const auto page = decode<BroadcastPage>(
        R"({"broadcasts":[{"id":"b1","name":"Standup","code":"K7Q2","createdAt":"c",
            "lastRecordedAt":"d","listenersNow":3,"currentRecording":{"recordingId":"r",
            "state":"live"}},{"id":"b2","name":"Idle","code":"Z","createdAt":"c"}]})");
    QCOMPARE(page.broadcasts.size(), 2);
    QCOMPARE(page.broadcasts[0].listenersNow, 3);
    QCOMPARE(page.broadcasts[0].currentRecording->recordingId, QStringLiteral("r"));
    QVERIFY(!page.broadcasts[1].listenersNow);
    QVERIFY(!page.broadcasts[1].lastRecording);

    const auto voices = decode<VoiceList>(
        R"({"voices":[{"id":"v","name":"Mine","state":"ready","enabled":true,"draft":false}]})");
    QCOMPARE(voices.voices->size(), 1);
    QVERIFY(!voices.voices->at(0).color);
    QCOMPARE(voices.voices->at(0).enabled, true);

    const auto catalogue = decode<VoiceCatalogue>(
        R"({"lang":"en","voices":[{"id":"a","name":"Alba","cloned":false,"default":true,
            "gender":"female"},{"id":"b","name":"Bo","cloned":true,"default":false}]})");
    QCOMPARE(catalogue.lang, QStringLiteral("en"));
    QCOMPARE(catalogue.voices[0].isDefault, true);
    QCOMPARE(catalogue.voices[1].isDefault, false);
    QCOMPARE(catalogue.voices[0].gender, QStringLiteral("female"));
    QVERIFY(!catalogue.voices[1].accent);
    QCOMPARE(failingField<VoiceCatalogue>(
                 R"({"lang":"en","voices":[{"id":"a","name":"A","cloned":false}]})"),
             QStringLiteral("VoiceCatalogue.voices[0].default"));
}

void TestRecords::voiceListMayOmitVoices() {
    QVERIFY(!decode<VoiceList>("{}").voices);
    QVERIFY(!decode<VoiceList>(R"({"voices":null})").voices);
    QCOMPARE(failingField<VoiceList>(R"({"voices":[{"id":"v"}]})"),
             QStringLiteral("VoiceList.voices[0].name"));
}

void TestRecords::searchHitIdentity() {
    const auto results = decode<SearchResults>(
        R"({"hits":[{"transcriptionId":"t","recordingId":"rec-4","sentenceId":12,"linkName":"Call",
            "text":"hello there","rendered":"<mark>hello</mark> there","mediaStart":3.25}]})");
    QCOMPARE(results.hits.size(), 1);
    QCOMPARE(results.hits[0].identity(), QStringLiteral("rec-4/12"));
    QCOMPARE(results.hits[0].mediaStart, 3.25);
    QCOMPARE(results.hits[0].rendered, QStringLiteral("<mark>hello</mark> there"));
}

void TestRecords::recordingsAndSummaries() {
    const auto grant = decode<PublishGrant>(
        R"({"recording":{"id":"r","transcriptionId":"t","state":"live"},"sessionId":"s",
            "streamUrl":"ws://127.0.0.1:8080/v1/realtime/sessions/s/stream"})");
    QCOMPARE(grant.recording.transcriptionId, QStringLiteral("t"));
    QCOMPARE(grant.streamUrl, QStringLiteral("ws://127.0.0.1:8080/v1/realtime/sessions/s/stream"));
    const auto bare = decode<PublishGrant>(R"({"recording":{"id":"r","transcriptionId":"t",
                                              "state":"live"}})");
    QVERIFY(!bare.sessionId && !bare.streamUrl);
    QCOMPARE(failingField<CreateSessionResponse>(R"({"sessionId":"s"})"),
             QStringLiteral("CreateSessionResponse.streamUrl"));
    const auto summary = decode<SummaryStatus>(R"({"state":"pending","summary":null})");
    QCOMPARE(summary.state, QStringLiteral("pending"));
    QVERIFY(!summary.summary && !summary.title);
}

void TestRecords::snapshotFromFixture() {
    const auto snap = decode<TranscriptSnapshot>(fixture("snapshot.json"));
    QCOMPARE(snap.recordingId, QStringLiteral("rec-1"));
    QCOMPARE(snap.lastSeq, 3);
    QCOMPARE(snap.segments.size(), 3);
    QCOMPARE(snap.segments[0].translations->value(QStringLiteral("es")),
             QStringLiteral("Hola a todos."));
    QCOMPARE(snap.segments[2].suppressed, true);
    QVERIFY(!snap.segments[1].suppressed);
    QCOMPARE(snap.segments[1].language, QStringLiteral("en"));
    QCOMPARE(snap.sentences[0].seqs, QList<qint64>({1, 2}));
    QCOMPARE(snap.speakers[1].name, QStringLiteral("Bea"));
}

void TestRecords::emptyAcceptsAnyValue_data() {
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("ok");
    QTest::newRow("object") << QByteArray(R"({"ok":true})") << true;
    QTest::newRow("empty object") << QByteArray("{}") << true;
    QTest::newRow("list") << QByteArray("[1,2]") << true;
    QTest::newRow("number") << QByteArray("3") << true;
    QTest::newRow("null") << QByteArray("null") << true;
    QTest::newRow("not json") << QByteArray("ok") << false;
}

void TestRecords::emptyAcceptsAnyValue() {
    QFETCH(QByteArray, body);
    QFETCH(bool, ok);
    bool decoded = true;
    try {
        decode<Empty>(body);
    } catch (const DecodeError&) {
        decoded = false;
    }
    QCOMPARE(decoded, ok);
}

void TestRecords::speakerLabelsReadOnlyTheirRawValues() {
    QCOMPARE(readSpeakerLabels(QJsonValue(QStringLiteral("auto")), "x"), SpeakerLabels::auto_);
    QCOMPARE(readSpeakerLabels(QJsonValue(QStringLiteral("on")), "x"), SpeakerLabels::on);
    QCOMPARE(readSpeakerLabels(QJsonValue(QStringLiteral("off")), "x"), SpeakerLabels::off);
    QVERIFY_THROWS_EXCEPTION(DecodeError, readSpeakerLabels(QJsonValue(QStringLiteral("On")), "x"));
    QVERIFY_THROWS_EXCEPTION(DecodeError, readSpeakerLabels(QJsonValue(QStringLiteral("")), "x"));
    QVERIFY_THROWS_EXCEPTION(DecodeError, readSpeakerLabels(QJsonValue(true), "x"));
    QCOMPARE(allSpeakerLabels(),
             QList<SpeakerLabels>({SpeakerLabels::auto_, SpeakerLabels::on, SpeakerLabels::off}));
}

void TestRecords::settingsPatchWriting_data() {
    QTest::addColumn<SettingsPatch>("patch");
    QTest::addColumn<QByteArray>("json");
    QTest::newRow("nothing set") << SettingsPatch() << QByteArray(R"({"spokenLanguage":null})");
    QTest::newRow("language only") << SettingsPatch(QStringLiteral("de"), std::nullopt)
                                   << QByteArray(R"({"spokenLanguage":"de"})");
    QTest::newRow("labels only") << SettingsPatch(std::nullopt, SpeakerLabels::off)
                                 << QByteArray(R"({"speakerLabels":"off","spokenLanguage":null})");
    QTest::newRow("both, sorted") << SettingsPatch(QStringLiteral("en"), SpeakerLabels::auto_)
                                  << QByteArray(
                                         R"({"speakerLabels":"auto","spokenLanguage":"en"})");
}

void TestRecords::settingsPatchWriting() {
    QFETCH(SettingsPatch, patch);
    QFETCH(QByteArray, json);
    QCOMPARE(encodeJson(patch.toJson()), json);
}

void TestRecords::sessionOptionsWriting_data() {
    QTest::addColumn<SessionOptions>("options");
    QTest::addColumn<QByteArray>("json");
    QTest::newRow("nothing set") << SessionOptions() << QByteArray("{}");
    QTest::newRow("empty translate") << SessionOptions(std::nullopt, QStringList(), std::nullopt)
                                     << QByteArray(R"({"translate":[]})");
    QTest::newRow("all")
        << SessionOptions(QStringLiteral("en"), QStringList{"es", "ca"}, SpeakerLabels::on)
        << QByteArray(R"({"speakerLabels":"on","spokenLanguage":"en","translate":["es","ca"]})");
}

void TestRecords::sessionOptionsWriting() {
    QFETCH(SessionOptions, options);
    QFETCH(QByteArray, json);
    QCOMPARE(encodeJson(options.toJson()), json);
}

void TestRecords::requestBodiesWriting() {
    const RecordingStartBody start{.takeover = false, .deviceId = "linux-1"};
    QCOMPARE(encodeJson(start.toJson()), QByteArray(R"({"deviceId":"linux-1","takeover":false})"));
    QCOMPARE(encodeJson(RecordingStopBody().toJson()), QByteArray("{}"));
    const RecordingStopBody stop{.reason = "user"};
    QCOMPARE(encodeJson(stop.toJson()), QByteArray(R"({"reason":"user"})"));

    const LiveTranscriptionBody live{
        .name = "Call", .settings = SettingsPatch(), .source = {{"kind", "mic"}}};
    const QByteArray liveJson =
        R"({"name":"Call","settings":{"spokenLanguage":null},"source":{"kind":"mic"}})";
    QCOMPARE(encodeJson(live.toJson()), liveJson);

    const AddressTranscriptionBody unnamed{.url = "https://v.example/a?b=1",
                                           .name = std::nullopt,
                                           .settings = SettingsPatch("fr", std::nullopt)};
    // moc reads "//" inside a raw string as a comment start, so this one is a plain literal.
    const QByteArray unnamedJson =
        "{\"settings\":{\"spokenLanguage\":\"fr\"},\"url\":\"https://v.example/a?b=1\"}";
    QCOMPARE(encodeJson(unnamed.toJson()), unnamedJson);
    const AddressTranscriptionBody named{.url = "u", .name = "Talk", .settings = {}};
    QCOMPARE(encodeJson(named.toJson()),
             QByteArray(R"({"name":"Talk","settings":{"spokenLanguage":null},"url":"u"})"));

    const UploadOptions options{.name = "a.b", .settings = {}};
    QCOMPARE(encodeJson(options.toJson()),
             QByteArray(R"({"name":"a.b","settings":{"spokenLanguage":null}})"));
    QCOMPARE(encodeJson(Empty().toJson()), QByteArray("{}"));
}

void TestRecords::textSurvivesUnicodeAndEscapes() {
    // Names with quotes, backslashes, control characters and non-Latin text round-trip through
    // the writer and the reader unchanged.
    const QString name = QStringLiteral("Réunion \"Q4\" \\ 会議 \t✓");
    const UploadOptions options{.name = name, .settings = {}};
    const QByteArray json = encodeJson(options.toJson());
    const QJsonObject back = JsonReader::parse(json, "x").toObject();
    QCOMPARE(back.value("name").toString(), name);
    const auto me = decode<Me>(R"({"displayName":"Zoë \u00e9 \ud83d\ude00","scopes":[]})");
    QCOMPARE(me.displayName, QStringLiteral("Zoë é 😀"));
}

QTEST_APPLESS_MAIN(TestRecords)
#include "tst_Records.moc"
