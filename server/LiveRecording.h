#pragma once

#include "StoreRows.h"
#include "StoredTranscript.h"

#include <QObject>
#include <QPointer>

#include <memory>

class QWebSocket;

namespace pq::server {

class FeedHub;
class SpeechEngine;
class Store;
class Translator;
class UplinkSession;
struct ServerConfig;

// A recording from its start until it is finished: its state ("live", "paused", "stopping",
// then "ready"), its audio uplink once the client connects, and its transcript, which it stores
// and publishes on the recording's feed with one cursor for all durable events.
class LiveRecording : public QObject, public StoredTranscript {
    Q_OBJECT

public:
    LiveRecording(RecordingRow row, Store& store, FeedHub& feeds, Translator& translator,
                  SpeechEngine& engine, const ServerConfig& config, QObject* parent = nullptr);
    ~LiveRecording() override;

    QString id() const { return m_row.id; }
    QString transcriptionId() const { return m_row.transcriptionId; }
    QString deviceId() const { return m_row.deviceId; }
    QString state() const { return m_row.state; }
    double durationS() const;
    bool hasUplink() const { return m_uplink != nullptr; }

    void attach(std::unique_ptr<QWebSocket> socket, const QString& sessionId);
    // REST operations; each returns false when the state does not allow it.
    bool pause();
    bool resume();
    void stop(const QString& reason);
    void updateSettings(const Settings& settings);
    // The position of a keep-alive, allocated now.
    std::optional<qint64> noop();

    void settingsUpdated(const std::optional<QString>& spokenLanguage,
                         const std::optional<QString>& speakerLabels) override;

signals:
    void finished(const QString& recordingId);

private:
    void setState(const QString& state);
    void finalize();

    RecordingRow m_row;
    Store& m_store;
    Translator& m_translator;
    SpeechEngine& m_engine;
    const ServerConfig& m_config;
    UplinkSession* m_uplink = nullptr;
    bool m_finished = false;
};

} // namespace pq::server
