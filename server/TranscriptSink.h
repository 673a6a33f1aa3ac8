#pragma once

#include "StoreRows.h"

#include <QJsonObject>
#include <QMap>
#include <QString>
#include <QStringList>

namespace pq::server {

// Where the transcript of one live stream goes. A recording stores it and publishes it on its
// feed; a caption session sends it back over the uplink and keeps nothing.
class TranscriptSink {
public:
    virtual ~TranscriptSink() = default;

    // The next position of the stream's one counter of durable events.
    virtual qint64 nextCursor() = 0;
    virtual qint64 nextSentenceId() = 0;
    // The reading languages to translate into now (all with an engine).
    virtual QStringList readingLanguages() = 0;

    virtual void segmentCommitted(const SegmentRow& segment) = 0;
    virtual void sentenceCommitted(const SentenceRow& sentence,
                                   const QMap<QString, QString>& translations) = 0;
    virtual void segmentTranslated(qint64 seq, const QString& lang, const QString& text,
                                   qint64 cursor) = 0;
    // Sends an event; `onlyLang` marks an event that only readers of that language need.
    virtual void publish(const QJsonObject& event, const QString& onlyLang) = 0;

    // Settings changed over the uplink ("session.update"); an absent value stays.
    virtual void settingsUpdated(const std::optional<QString>& spokenLanguage,
                                 const std::optional<QString>& speakerLabels) = 0;
    virtual void translateUpdated(const QStringList& languages) = 0;
};

} // namespace pq::server
