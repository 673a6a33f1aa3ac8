#include "TranscriptBuilder.h"

#include "Languages.h"
#include "SentenceText.h"
#include "TranscriptSink.h"
#include "Translator.h"

#include <QJsonArray>
#include <QJsonObject>

#include <memory>

namespace pq::server {

namespace {

QJsonObject translationsJson(const QMap<QString, QString>& translations) {
    QJsonObject o;
    for (auto it = translations.cbegin(); it != translations.cend(); ++it)
        o.insert(it.key(), it.value());
    return o;
}

} // namespace

TranscriptBuilder::TranscriptBuilder(TranscriptSink* sink, Translator* translator, QObject* parent)
    : QObject(parent), m_sink(sink), m_translator(translator) {}

void TranscriptBuilder::partial(const QString& hypothesis, double start) {
    m_queue.push_back(Item{Item::Kind::Draft, hypothesis, start, start, {}});
    pump();
}

void TranscriptBuilder::utterance(const QString& hypothesis, double start, double end) {
    m_queue.push_back(Item{Item::Kind::Utterance, hypothesis, start, end, {}});
    pump();
}

void TranscriptBuilder::barrier(std::function<void()> done) {
    m_queue.push_back(Item{Item::Kind::Barrier, {}, 0, 0, std::move(done)});
    pump();
}

void TranscriptBuilder::pump() {
    while (!m_busy && !m_queue.empty()) {
        Item item = std::move(m_queue.front());
        m_queue.pop_front();
        switch (item.kind) {
        case Item::Kind::Draft: {
            if (!m_queue.empty())
                break; // something newer is waiting: this draft is stale already
            const QString text = SentenceText::draft(item.hypothesis);
            if (text.isEmpty())
                break;
            const QStringList langs = m_sink->readingLanguages();
            if (langs.isEmpty()) {
                publishDraft(text, item.start, {});
                break;
            }
            m_busy = true;
            translateAll(text, langs, [this, text, start = item.start](QMap<QString, QString> tr) {
                m_busy = false;
                // A draft overtaken while it was being translated is not shown any more.
                if (m_queue.empty() || m_queue.front().kind == Item::Kind::Barrier)
                    publishDraft(text, start, tr);
                pump();
            });
            break;
        }
        case Item::Kind::Utterance:
            commit(item);
            break;
        case Item::Kind::Barrier:
            if (item.done)
                item.done();
            break;
        }
    }
}

void TranscriptBuilder::publishDraft(const QString& text, double start,
                                     const QMap<QString, QString>& tr) {
    QJsonObject segment{{QStringLiteral("text"), text},
                        {QStringLiteral("speaker"), 0},
                        {QStringLiteral("start"), start}};
    if (!tr.isEmpty())
        segment.insert(QStringLiteral("translations"), translationsJson(tr));
    m_sink->publish(QJsonObject{{QStringLiteral("type"), QStringLiteral("transcript.draft")},
                                {QStringLiteral("segments"), QJsonArray{segment}}},
                    {});
}

void TranscriptBuilder::commit(const Item& item) {
    const QString text = SentenceText::sentence(item.hypothesis);
    if (text.isEmpty())
        return;
    SegmentRow segment;
    segment.seq = m_sink->nextCursor();
    segment.text = text;
    segment.start = item.start;
    segment.end = item.end;
    segment.speaker = 0;
    segment.language = QString::fromLatin1(Languages::kSpoken);
    m_sink->segmentCommitted(segment);
    m_sink->publish(QJsonObject{{QStringLiteral("type"), QStringLiteral("transcript.committed")},
                                {QStringLiteral("cursor"), segment.seq},
                                {QStringLiteral("segment"),
                                 QJsonObject{{QStringLiteral("seq"), segment.seq},
                                             {QStringLiteral("text"), text},
                                             {QStringLiteral("start"), segment.start},
                                             {QStringLiteral("end"), segment.end},
                                             {QStringLiteral("speaker"), 0},
                                             {QStringLiteral("language"), segment.language}}}},
                    {});

    const QStringList langs = m_sink->readingLanguages();
    if (langs.isEmpty()) {
        finishSentence(segment.seq, text, segment.start, {});
        return;
    }
    m_busy = true;
    translateAll(text, langs,
                 [this, seq = segment.seq, text, start = segment.start](QMap<QString, QString> tr) {
                     m_busy = false;
                     finishSentence(seq, text, start, tr);
                     pump();
                 });
}

void TranscriptBuilder::finishSentence(qint64 seq, const QString& text, double start,
                                       const QMap<QString, QString>& translations) {
    // An utterance ends at a pause, so it is a sentence of its own.
    SentenceRow sentence;
    sentence.sentenceId = m_sink->nextSentenceId();
    sentence.cursor = m_sink->nextCursor();
    sentence.seqs = {seq};
    sentence.text = text;
    sentence.speaker = 0;
    sentence.start = start;
    m_sink->sentenceCommitted(sentence, translations);
    QJsonObject body{{QStringLiteral("sentenceId"), sentence.sentenceId},
                     {QStringLiteral("seqs"), QJsonArray{seq}},
                     {QStringLiteral("text"), text},
                     {QStringLiteral("speaker"), 0}};
    if (!translations.isEmpty())
        body.insert(QStringLiteral("translations"), translationsJson(translations));
    m_sink->publish(QJsonObject{{QStringLiteral("type"), QStringLiteral("transcript.sentence")},
                                {QStringLiteral("cursor"), sentence.cursor},
                                {QStringLiteral("sentence"), body}},
                    {});
    for (auto it = translations.cbegin(); it != translations.cend(); ++it) {
        const qint64 cursor = m_sink->nextCursor();
        m_sink->segmentTranslated(seq, it.key(), it.value(), cursor);
        m_sink->publish(
            QJsonObject{{QStringLiteral("type"), QStringLiteral("transcript.translated")},
                        {QStringLiteral("cursor"), cursor},
                        {QStringLiteral("seq"), seq},
                        {QStringLiteral("translations"), QJsonObject{{it.key(), it.value()}}}},
            it.key());
    }
}

void TranscriptBuilder::translateAll(const QString& text, const QStringList& langs,
                                     std::function<void(QMap<QString, QString>)> done) {
    struct Gather {
        QMap<QString, QString> results;
        int waiting = 0;
        std::function<void(QMap<QString, QString>)> done;
    };
    auto gather = std::make_shared<Gather>();
    gather->waiting = int(langs.size());
    gather->done = std::move(done);
    for (const QString& lang : langs) {
        m_translator->translate(lang, text, this, [gather, lang](std::optional<QString> result) {
            if (result && !result->isEmpty())
                gather->results.insert(lang, *result);
            if (--gather->waiting == 0)
                gather->done(gather->results);
        });
    }
}

} // namespace pq::server
