#pragma once

#include "StoreRows.h"
#include "TranscriptSink.h"

#include <QObject>

#include <memory>

class QWebSocket;

namespace pq::server {

class SpeechEngine;
class Translator;
class UplinkSession;
struct ServerConfig;

// A realtime (caption) session: its transcript events go back over the uplink itself, with the
// translations it was asked for; nothing is stored.
class CaptionSession : public QObject, public TranscriptSink {
    Q_OBJECT

public:
    CaptionSession(QString id, Settings settings, QStringList translate, Translator& translator,
                   SpeechEngine& engine, const ServerConfig& config, QObject* parent = nullptr);

    QString id() const { return m_id; }
    void attach(std::unique_ptr<QWebSocket> socket);
    void stop();

    // TranscriptSink
    qint64 nextCursor() override { return ++m_cursor; }
    qint64 nextSentenceId() override { return ++m_sentence; }
    QStringList readingLanguages() override;
    void segmentCommitted(const SegmentRow&) override {}
    void sentenceCommitted(const SentenceRow&, const QMap<QString, QString>&) override {}
    void segmentTranslated(qint64, const QString&, const QString&, qint64) override {}
    void publish(const QJsonObject& event, const QString& onlyLang) override;
    void settingsUpdated(const std::optional<QString>& spokenLanguage,
                         const std::optional<QString>& speakerLabels) override;
    void translateUpdated(const QStringList& languages) override;

signals:
    void finished(const QString& id);

private:
    QString m_id;
    Settings m_settings;
    QStringList m_translate;
    Translator& m_translator;
    SpeechEngine& m_engine;
    const ServerConfig& m_config;
    UplinkSession* m_uplink = nullptr;
    qint64 m_cursor = 0;
    qint64 m_sentence = 0;
};

} // namespace pq::server
