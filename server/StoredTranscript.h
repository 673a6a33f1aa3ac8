#pragma once

#include "TranscriptSink.h"

#include <QString>

namespace pq::server {

class FeedHub;
class Store;
class Translator;

// A recording's transcript as it is built: kept in the store and published on the recording's
// feed, translated into the languages its readers chose. What a live recording and a file job
// share; settings changed over an uplink are for the owner to take.
class StoredTranscript : public TranscriptSink {
public:
    StoredTranscript(QString recordingId, Store& store, FeedHub& feeds, Translator& translator,
                     qint64 lastCursor, qint64 nextSentenceId);

    qint64 nextCursor() override { return ++m_cursor; }
    qint64 nextSentenceId() override { return m_nextSentence++; }
    QStringList readingLanguages() override;
    void segmentCommitted(const SegmentRow& segment) override;
    void sentenceCommitted(const SentenceRow& sentence,
                           const QMap<QString, QString>& translations) override;
    void segmentTranslated(qint64 seq, const QString& lang, const QString& text,
                           qint64 cursor) override;
    void publish(const QJsonObject& event, const QString& onlyLang) override;
    // Reading languages are those of the feed's readers, not the uplink's.
    void translateUpdated(const QStringList&) override {}

private:
    QString m_recordingId;
    Store& m_store;
    FeedHub& m_feeds;
    Translator& m_translator;
    qint64 m_cursor;
    qint64 m_nextSentence;
};

} // namespace pq::server
