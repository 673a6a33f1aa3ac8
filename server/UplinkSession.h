#pragma once

#include "ServerConfig.h"

#include <QJsonObject>
#include <QObject>
#include <QTimer>

#include <atomic>
#include <memory>

class QWebSocket;

namespace pq::server {

class MainThreadQueue;
class Recognizer;
class SoundFile;
class SpeechEngine;
class TranscriptBuilder;
class TranscriptSink;
class Translator;
class WorkerThread;

// The audio uplink of one live stream, on its WebSocket: "session.loading" while a recogniser
// loads, "session.ready", then binary frames of float32 little-endian samples at 16 kHz and the
// control messages "clock", "session.update" and "eof". Protocol faults are answered with
// "error" frames and otherwise ignored (unknown message types silently). The session ends with
// "session.done" and a reason once the last words are out: "eof", "max_duration", "idle",
// "stopped" or "takeover"; or without one when the client went away.
class UplinkSession : public QObject {
    Q_OBJECT

public:
    UplinkSession(std::unique_ptr<QWebSocket> socket, QString sessionId, SpeechEngine& engine,
                  Translator& translator, TranscriptSink* sink, const ServerConfig& config,
                  QObject* parent = nullptr);
    ~UplinkSession() override;

    // Keeps the audio it uses in a WAV file too (recordings, for playback); before start().
    void keepSound(const QString& path) { m_soundPath = path; }
    void start();
    // Whether audio frames are used (a paused recording drops them).
    void setAccepting(bool accepting);
    // Commits the utterance under way (on pause).
    void flushUtterance();
    // Ends the session: no more audio, drain, "session.done" with the reason, close.
    void finish(const QString& reason);
    // Sends a JSON frame (captions are sent back this way).
    void send(const QJsonObject& frame);

    double receivedSeconds() const { return double(m_samples) / 16000.0; }
    bool finishing() const { return m_finishing; }

    static constexpr int kMaxProtocolErrors = 100;
    static constexpr qint64 kMaxBacklogSamples = 30 * 16000;

signals:
    // After the socket was closed and the transcript drained.
    void finished(const QString& reason);

private:
    void onBinary(const QByteArray& frame);
    void onText(const QString& text);
    void onUpdate(const QJsonObject& message);
    void protocolError(const QString& code, const QString& message);
    void recognizerReady();
    void recognizerFailed(const QString& message);
    void drained();
    void stopRecognizer();

    std::unique_ptr<QWebSocket> m_socket;
    QString m_sessionId;
    SpeechEngine& m_engine;
    Translator& m_translator;
    TranscriptSink* m_sink;
    const ServerConfig& m_config;
    TranscriptBuilder* m_builder = nullptr;
    // Recognition runs on m_worker; what it reports comes back through m_results. The worker
    // is ended before the recogniser it uses.
    MainThreadQueue* m_results = nullptr;
    std::unique_ptr<Recognizer> m_recognizer;
    std::unique_ptr<SoundFile> m_sound; // written on the worker only
    QString m_soundPath;
    std::unique_ptr<WorkerThread> m_worker;
    std::shared_ptr<std::atomic<qint64>> m_backlog;
    QTimer m_idle;
    qint64 m_samples = 0; // accepted so far
    qint64 m_maxSamples;
    bool m_ready = false;
    bool m_accepting = true;
    bool m_finishing = false;
    bool m_overloadReported = false;
    int m_protocolErrors = 0;
    QString m_reason;
};

} // namespace pq::server
