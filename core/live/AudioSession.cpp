#include "AudioSession.h"

#include "APIError.h"
#include "EventFields.h"
#include "Socket.h"
#include "Wait.h"

#include <QCoroFuture>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QPointer>
#include <QTimer>
#include <QtEndian>

#include <bit>
#include <cstring>

namespace pq {

namespace {

using namespace std::chrono_literals;

constexpr auto endPollInterval = 100ms;

} // namespace

AudioSession::AudioSession(QUrl url, std::chrono::milliseconds deadline,
                           std::function<void()> onLoading)
    // The stream address itself authorises the uplink: no bearer.
    : m_socket(new Socket(url, std::nullopt, this)), m_deadline(new QTimer(this)),
      m_onLoading(std::move(onLoading)) {
    m_deadline->setSingleShot(true);
    m_deadline->setInterval(deadline);
    QObject::connect(m_deadline, &QTimer::timeout, this, [this] {
        settle(std::make_exception_ptr(
            APIError(QStringLiteral("engine_unavailable"),
                     QStringLiteral("Parloquent is busy right now. Try again in a minute."),
                     std::nullopt, true)));
    });
    QObject::connect(m_socket, &Socket::frameReceived, this, &AudioSession::onFrame);
    QObject::connect(m_socket, &Socket::closed, this, &AudioSession::onClosed);
    m_ready.start();
}

AudioSession::~AudioSession() {
    QObject::disconnect(m_socket, nullptr, this, nullptr);
    // A handshake still waiting fails; the socket goes with the session.
    if (!isSettled())
        settle(std::make_exception_ptr(APIError(QStringLiteral("cancelled"),
                                                QStringLiteral("The connection was cancelled."),
                                                std::nullopt, false)));
}

QCoro::Task<std::unique_ptr<AudioSession>> AudioSession::connect(QUrl url,
                                                                 std::chrono::milliseconds deadline,
                                                                 std::function<void()> onLoading) {
    std::unique_ptr<AudioSession> session(
        new AudioSession(std::move(url), deadline, std::move(onLoading)));
    QFuture<void> ready = session->m_ready.future();
    session->armDeadline();
    session->m_socket->open();
    co_await ready; // rethrows the failure that settled the handshake
    co_return std::move(session);
}

void AudioSession::armDeadline() {
    m_deadline->start(); // restarts a running timer
}

bool AudioSession::isSettled() const {
    const std::lock_guard lock(m_mutex);
    return m_settled;
}

void AudioSession::settle(std::exception_ptr failure) {
    {
        const std::lock_guard lock(m_mutex);
        if (m_settled)
            return;
        m_settled = true;
    }
    m_deadline->stop();
    if (failure) {
        m_socket->close();
        m_ready.setException(failure);
    }
    m_ready.finish();
}

void AudioSession::onFrame(const QJsonObject& frame) {
    if (isSettled()) {
        if (event::type(frame) == QLatin1String("session.done"))
            m_doneReason = event::text(frame, QLatin1String("reason"));
        emit frameReceived(frame);
        return;
    }
    const QString type = event::type(frame);
    if (type == QLatin1String("session.loading")) {
        armDeadline();
        if (m_onLoading)
            m_onLoading();
    } else if (type == QLatin1String("session.ready")) {
        settle(nullptr);
    } else if (type == QLatin1String("error")) {
        const QString code =
            event::text(frame, QLatin1String("code")).value_or(QStringLiteral("internal"));
        const QString message = event::text(frame, QLatin1String("message"))
                                    .value_or(QStringLiteral("Parloquent refused the session."));
        const bool retryable = event::boolean(frame, QLatin1String("retryable")).value_or(false);
        settle(std::make_exception_ptr(APIError(code, message, std::nullopt, retryable)));
    }
}

void AudioSession::onClosed(const std::optional<QString>& reason) {
    if (!isSettled()) {
        settle(std::make_exception_ptr(
            APIError(QStringLiteral("invalid_token"),
                     QStringLiteral("Parloquent closed the connection before it was ready."),
                     std::nullopt, false)));
        return;
    }
    m_ended = true;
    m_endReason = m_doneReason ? m_doneReason : reason;
    emit ended(m_endReason);
}

QByteArray AudioSession::encode(std::span<const float> samples) {
    QByteArray bytes(static_cast<qsizetype>(samples.size() * sizeof(float)), Qt::Uninitialized);
    if constexpr (std::endian::native == std::endian::little) {
        if (!samples.empty())
            std::memcpy(bytes.data(), samples.data(), bytes.size());
    } else {
        for (size_t i = 0; i < samples.size(); ++i) {
            const quint32 le = qToLittleEndian(std::bit_cast<quint32>(samples[i]));
            std::memcpy(bytes.data() + i * sizeof(float), &le, sizeof le);
        }
    }
    return bytes;
}

void AudioSession::send(std::span<const float> samples) {
    m_socket->sendBinary(encode(samples));
}

void AudioSession::sendClock(qint64 pcm, double wall) {
    QJsonObject message;
    message.insert(QLatin1String("type"), QStringLiteral("clock"));
    message.insert(QLatin1String("pcm"), pcm);
    message.insert(QLatin1String("wall"), wall);
    m_socket->send(message);
}

void AudioSession::update(const std::optional<QString>& spokenLanguage,
                          SpeakerLabels speakerLabels) {
    QJsonObject message;
    message.insert(QLatin1String("type"), QStringLiteral("session.update"));
    message.insert(QLatin1String("spokenLanguage"),
                   spokenLanguage.value_or(QStringLiteral("auto")));
    message.insert(QLatin1String("speakerLabels"), rawValue(speakerLabels));
    m_socket->send(message);
}

void AudioSession::update(const QStringList& translate) {
    QJsonObject message;
    message.insert(QLatin1String("type"), QStringLiteral("session.update"));
    message.insert(QLatin1String("translate"), QJsonArray::fromStringList(translate));
    m_socket->send(message);
}

void AudioSession::eof() {
    QJsonObject message;
    message.insert(QLatin1String("type"), QStringLiteral("eof"));
    m_socket->send(message);
}

QCoro::Task<void> AudioSession::waitForEnd(std::chrono::milliseconds timeout) {
    // Only the socket is looked at after a suspension: the session may be gone by then.
    const QPointer<Socket> socket(m_socket);
    QElapsedTimer clock;
    clock.start();
    while (socket && !socket->isClosed() && socket->isRunning() &&
           clock.elapsed() < timeout.count())
        co_await sleepFor(endPollInterval);
}

void AudioSession::close() {
    m_socket->close();
}

} // namespace pq
