#include "StoredTranscript.h"

#include "FeedHub.h"
#include "SqlStatement.h"
#include "Store.h"
#include "Translator.h"

#include <QLoggingCategory>

Q_LOGGING_CATEGORY(lcTranscript, "parloquent.server.transcript")

namespace pq::server {

StoredTranscript::StoredTranscript(QString recordingId, Store& store, FeedHub& feeds,
                                   Translator& translator, qint64 lastCursor, qint64 nextSentenceId)
    : m_recordingId(std::move(recordingId)), m_store(store), m_feeds(feeds),
      m_translator(translator), m_cursor(lastCursor), m_nextSentence(nextSentenceId) {}

QStringList StoredTranscript::readingLanguages() {
    return m_translator.translatable(m_feeds.languages(m_recordingId));
}

// A store that fails loses that piece of the transcript, not the run.

void StoredTranscript::segmentCommitted(const SegmentRow& segment) {
    try {
        m_store.addSegment(m_recordingId, segment);
    } catch (const StoreError& e) {
        qCWarning(lcTranscript) << "cannot store a segment of" << m_recordingId << e.what();
    }
}

void StoredTranscript::sentenceCommitted(const SentenceRow& sentence,
                                         const QMap<QString, QString>& translations) {
    try {
        m_store.addSentence(m_recordingId, sentence);
        for (auto it = translations.cbegin(); it != translations.cend(); ++it)
            m_store.addTranslation(m_recordingId, true, sentence.sentenceId, it.key(), it.value(),
                                   sentence.cursor);
    } catch (const StoreError& e) {
        qCWarning(lcTranscript) << "cannot store a sentence of" << m_recordingId << e.what();
    }
}

void StoredTranscript::segmentTranslated(qint64 seq, const QString& lang, const QString& text,
                                         qint64 cursor) {
    try {
        m_store.addTranslation(m_recordingId, false, seq, lang, text, cursor);
    } catch (const StoreError& e) {
        qCWarning(lcTranscript) << "cannot store a translation of" << m_recordingId << e.what();
    }
}

void StoredTranscript::publish(const QJsonObject& event, const QString& onlyLang) {
    m_feeds.publish(m_recordingId, event, onlyLang);
}

} // namespace pq::server
