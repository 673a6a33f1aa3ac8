#pragma once

#include "StoreRows.h"

#include <QDateTime>
#include <QHash>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <memory>

class QWebSocket;

namespace pq::server {

class CaptionSession;
class FeedHub;
class LiveRecording;
class SpeechEngine;
class Store;
class Translator;
struct ServerConfig;

// The live streams of the service: caption sessions and recordings that are not finished, and
// the one-time tokens of their stream addresses (/v1/stream/{sessionId}?token=…). A token is
// valid once, for tokenLifetimeS; a stream nobody connected to in that time is ended.
class SessionRegistry : public QObject {
    Q_OBJECT

public:
    struct Grant {
        QString sessionId;
        QString token;
    };

    SessionRegistry(Store& store, FeedHub& feeds, Translator& translator, SpeechEngine& engine,
                    const ServerConfig& config, QObject* parent = nullptr);
    ~SessionRegistry() override;

    bool full() const;
    Grant createCaption(const Settings& settings, const QStringList& translate);
    LiveRecording* startRecording(const RecordingRow& row, Grant* grant);
    LiveRecording* recording(const QString& recordingId) const;
    LiveRecording* recordingOf(const QString& transcriptionId) const;

    // A WebSocket that asked for /v1/stream/…: handed to its stream, or refused with an
    // "error" frame.
    void connectUplink(std::unique_ptr<QWebSocket> socket);

signals:
    void recordingStarted(const QString& recordingId, const QString& transcriptionId);
    // The recording is "ready": its transcript is complete.
    void recordingFinished(const QString& recordingId, const QString& transcriptionId);

private:
    struct Pending {
        QByteArray tokenHash;
        QDateTime expires;
        QPointer<CaptionSession> caption;
        QPointer<LiveRecording> recording;
    };

    Grant issue(const QString& sessionId, Pending pending);
    void refuse(std::unique_ptr<QWebSocket> socket, const QString& code, const QString& message);
    void expire();

    Store& m_store;
    FeedHub& m_feeds;
    Translator& m_translator;
    SpeechEngine& m_engine;
    const ServerConfig& m_config;
    QHash<QString, Pending> m_pending; // by session id
    QHash<QString, LiveRecording*> m_recordings;
    QHash<QString, CaptionSession*> m_captions;
    QTimer m_expiry;
};

} // namespace pq::server
