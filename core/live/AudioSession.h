#pragma once

#include "SpeakerLabels.h"

#include <QCoroTask>
#include <QFuture>
#include <QJsonObject>
#include <QObject>
#include <QPromise>
#include <QUrl>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>

class QTimer;

namespace pq {

class Socket;

// The audio uplink of one run: opens the stream address the service gave, waits for the
// service to be ready, then carries the captured audio as binary frames with a few JSON control
// messages, and tells the owner why the service ended the session.
//
// Lives on the thread that connects it; its signals come on that thread.
class AudioSession : public QObject {
    Q_OBJECT

public:
    // Connects to `url` and returns once the service sends "session.ready". The deadline counts
    // again from every "session.loading", which also calls `onLoading`. Throws APIError:
    // "engine_unavailable" when the deadline passes, the service's own error for an "error"
    // frame, "invalid_token" when the connection ends before the service is ready.
    static QCoro::Task<std::unique_ptr<AudioSession>>
    connect(QUrl url, std::chrono::milliseconds deadline, std::function<void()> onLoading = {});

    ~AudioSession() override;

    Socket* socket() const { return m_socket; }

    // Samples (mono, 16 kHz) as one binary frame of little-endian 32-bit floats.
    void send(std::span<const float> samples);
    // {"type":"clock","pcm":…,"wall":…}: samples sent so far, seconds since the run started.
    void sendClock(qint64 pcm, double wall);
    // {"type":"session.update","spokenLanguage":…,"speakerLabels":…}; no language is "auto".
    void update(const std::optional<QString>& spokenLanguage, SpeakerLabels speakerLabels);
    // {"type":"session.update","translate":[…]}; an empty list turns translation off.
    void update(const QStringList& translate);
    // {"type":"eof"}: no more audio follows.
    void eof();
    // Returns once the connection has ended or `timeout` has passed, looking every 100 ms.
    QCoro::Task<void> waitForEnd(std::chrono::milliseconds timeout);
    void close();

    // The "reason" of the last "session.done" frame.
    const std::optional<QString>& doneReason() const { return m_doneReason; }
    // Whether `ended` has been emitted, and with what: an owner that connects late reads it here.
    bool hasEnded() const { return m_ended; }
    const std::optional<QString>& endReason() const { return m_endReason; }

    // The wire form of `samples`.
    static QByteArray encode(std::span<const float> samples);

signals:
    // Every frame after "session.ready".
    void frameReceived(const QJsonObject& frame);
    // The connection ended after the handshake: the "session.done" reason if one came, else the
    // socket's reason.
    void ended(const std::optional<QString>& reason);

private:
    AudioSession(QUrl url, std::chrono::milliseconds deadline, std::function<void()> onLoading);

    void onFrame(const QJsonObject& frame);
    void onClosed(const std::optional<QString>& reason);
    void armDeadline();
    // The first call decides the handshake: no error for ready. Later calls do nothing.
    void settle(std::exception_ptr failure);
    bool isSettled() const;

    Socket* m_socket;
    QTimer* m_deadline;
    std::function<void()> m_onLoading;
    std::optional<QString> m_doneReason;
    bool m_ended = false;
    std::optional<QString> m_endReason;

    mutable std::mutex m_mutex;
    bool m_settled = false; // guarded by m_mutex
    QPromise<void> m_ready;
};

} // namespace pq
