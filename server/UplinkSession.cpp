#include "UplinkSession.h"

#include "Languages.h"
#include "MainThreadQueue.h"
#include "Recognizer.h"
#include "SoundFile.h"
#include "SpeechEngine.h"
#include "TranscriptBuilder.h"
#include "TranscriptSink.h"
#include "Translator.h"
#include "WorkerThread.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QWebSocket>

#include <cstring>
#include <vector>

Q_LOGGING_CATEGORY(lcUplink, "parloquent.server.uplink")

namespace pq::server {

namespace {

constexpr qint64 kRate = 16000;

QJsonObject frame(const char* type) {
    return QJsonObject{{QStringLiteral("type"), QString::fromLatin1(type)}};
}

} // namespace

UplinkSession::UplinkSession(std::unique_ptr<QWebSocket> socket, QString sessionId,
                             SpeechEngine& engine, Translator& translator, TranscriptSink* sink,
                             const ServerConfig& config, QObject* parent)
    : QObject(parent), m_socket(std::move(socket)), m_sessionId(std::move(sessionId)),
      m_engine(engine), m_translator(translator), m_sink(sink), m_config(config),
      m_backlog(std::make_shared<std::atomic<qint64>>(0)),
      m_maxSamples(qint64(config.maxDurationS * kRate)) {
    m_builder = new TranscriptBuilder(sink, &translator, this);
    m_results = new MainThreadQueue(this);
    m_idle.setSingleShot(true);
    m_idle.setInterval(int(std::min(config.idleTimeoutS, 86400.0) * 1000));
    connect(&m_idle, &QTimer::timeout, this, [this] { finish(QStringLiteral("idle")); });
}

UplinkSession::~UplinkSession() {
    if (m_socket) {
        m_socket->disconnect(this);
        if (m_socket->state() == QAbstractSocket::ConnectedState)
            m_socket->close(QWebSocketProtocol::CloseCodeGoingAway);
    }
    stopRecognizer();
}

void UplinkSession::stopRecognizer() {
    if (m_worker) {
        // Queued audio is dropped. The decoder is ended and freed on the worker, the only
        // thread that touches it; after a flush that takes a few milliseconds.
        m_worker->stop([r = m_recognizer.get(), sound = m_sound.get()] {
            r->close();
            if (sound)
                sound->close();
        });
        m_worker.reset();
    }
    m_recognizer.reset();
    m_sound.reset();
}

void UplinkSession::start() {
    m_socket->setMaxAllowedIncomingFrameSize(1 << 20);
    m_socket->setMaxAllowedIncomingMessageSize(1 << 20);
    connect(m_socket.get(), &QWebSocket::binaryMessageReceived, this, &UplinkSession::onBinary);
    connect(m_socket.get(), &QWebSocket::textMessageReceived, this, &UplinkSession::onText);
    connect(m_socket.get(), &QWebSocket::disconnected, this, [this] {
        if (!m_finishing)
            finish(QStringLiteral("disconnected"));
    });

    std::unique_ptr<Decoder> decoder = m_engine.take();
    if (!decoder)
        send(frame("session.loading"));
    // Callbacks run on the worker: they only hand over to this thread.
    Recognizer::Callbacks callbacks;
    callbacks.ready = [this] { m_results->post([this] { recognizerReady(); }); };
    callbacks.failed = [this](QString message) {
        m_results->post([this, m = std::move(message)] { recognizerFailed(m); });
    };
    callbacks.partial = [this](QString hypothesis, double start) {
        m_results->post([this, h = std::move(hypothesis), start] { m_builder->partial(h, start); });
    };
    callbacks.utterance = [this](QString hypothesis, double start, double end) {
        m_results->post([this, h = std::move(hypothesis), start, end] {
            qCDebug(lcUplink) << m_sessionId << "heard" << start << end << h;
            m_builder->utterance(h, start, end);
        });
    };
    callbacks.flushed = [this](int token) {
        m_results->post([this, token] {
            if (token == 1) // the final flush of finish()
                m_builder->barrier([this] { drained(); });
        });
    };
    m_recognizer =
        std::make_unique<Recognizer>(std::move(decoder), m_engine.options(), std::move(callbacks));
    m_worker = std::make_unique<WorkerThread>(QStringLiteral("asr ") + m_sessionId.right(8));
    m_worker->post([r = m_recognizer.get()] { r->start(); });
    if (!m_soundPath.isEmpty()) {
        m_sound = std::make_unique<SoundFile>();
        QDir().mkpath(QFileInfo(m_soundPath).path());
        m_worker->post([sound = m_sound.get(), path = m_soundPath.toStdString()] {
            if (!sound->create(QString::fromStdString(path), int(kRate)))
                qCWarning(lcUplink) << "cannot keep the sound in" << path.c_str() << sound->error();
        });
    }
}

void UplinkSession::recognizerReady() {
    m_ready = true;
    if (m_finishing)
        return;
    // Idle time counts from "session.ready": nothing is expected before it.
    m_idle.start();
    QJsonObject ready = frame("session.ready");
    ready.insert(QStringLiteral("sessionId"), m_sessionId);
    ready.insert(QStringLiteral("sampleRate"), int(kRate));
    ready.insert(QStringLiteral("maxDurationS"), m_config.maxDurationS);
    send(ready);
}

void UplinkSession::recognizerFailed(const QString& message) {
    QJsonObject error = frame("error");
    error.insert(QStringLiteral("code"), QStringLiteral("engine_unavailable"));
    error.insert(QStringLiteral("message"),
                 QStringLiteral("Parloquent could not start speech recognition. Try again in a "
                                "minute."));
    error.insert(QStringLiteral("retryable"), true);
    error.insert(QStringLiteral("detail"), message);
    send(error);
    finish(QStringLiteral("error"));
}

void UplinkSession::setAccepting(bool accepting) {
    m_accepting = accepting;
}

void UplinkSession::flushUtterance() {
    if (m_worker && !m_finishing)
        m_worker->post([r = m_recognizer.get()] { r->flush(0); });
}

void UplinkSession::send(const QJsonObject& message) {
    if (m_socket && m_socket->state() == QAbstractSocket::ConnectedState)
        m_socket->sendTextMessage(
            QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact)));
}

void UplinkSession::protocolError(const QString& code, const QString& message) {
    if (++m_protocolErrors > kMaxProtocolErrors) {
        if (!m_finishing) {
            send(QJsonObject{{QStringLiteral("type"), QStringLiteral("error")},
                             {QStringLiteral("code"), QStringLiteral("too_many_errors")},
                             {QStringLiteral("message"),
                              QStringLiteral("The connection broke the protocol too often.")},
                             {QStringLiteral("retryable"), false}});
            finish(QStringLiteral("protocol_error"));
        }
        return;
    }
    send(QJsonObject{{QStringLiteral("type"), QStringLiteral("error")},
                     {QStringLiteral("code"), code},
                     {QStringLiteral("message"), message},
                     {QStringLiteral("retryable"), false}});
}

void UplinkSession::onBinary(const QByteArray& data) {
    if (m_finishing)
        return; // frames still in flight when the session ended
    m_idle.start();
    if (data.size() % 4 != 0) {
        protocolError(QStringLiteral("bad_audio"),
                      QStringLiteral("An audio frame must hold whole 32-bit float samples."));
        return;
    }
    if (!m_accepting || data.isEmpty())
        return;
    if (m_backlog->load() > kMaxBacklogSamples) {
        if (!m_overloadReported) {
            m_overloadReported = true;
            send(QJsonObject{{QStringLiteral("type"), QStringLiteral("error")},
                             {QStringLiteral("code"), QStringLiteral("overloaded")},
                             {QStringLiteral("message"),
                              QStringLiteral("Parloquent is falling behind: some audio was not "
                                             "transcribed.")},
                             {QStringLiteral("retryable"), true}});
        }
        return;
    }
    qint64 count = data.size() / 4;
    if (m_samples + count > m_maxSamples)
        count = std::max<qint64>(0, m_maxSamples - m_samples);
    if (count > 0) {
        m_samples += count;
        m_backlog->fetch_add(count);
        // A copy of its own for the worker: nothing shared with the socket's buffers.
        QByteArray samples(data.constData(), count * 4);
        m_worker->post([r = m_recognizer.get(), sound = m_sound.get(), backlog = m_backlog,
                        s = std::move(samples), count] {
            r->feed(s);
            if (sound && sound->isOpen()) {
                std::vector<float> pcm(static_cast<size_t>(s.size() / 4));
                std::memcpy(pcm.data(), s.constData(), size_t(count) * 4);
                sound->write(pcm.data(), count);
            }
            backlog->fetch_sub(count);
        });
    }
    if (m_samples >= m_maxSamples)
        finish(QStringLiteral("max_duration"));
}

void UplinkSession::onText(const QString& text) {
    if (m_finishing)
        return;
    m_idle.start();
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(text.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject()) {
        protocolError(QStringLiteral("bad_message"),
                      QStringLiteral("A text message must be a JSON object."));
        return;
    }
    const QJsonObject message = doc.object();
    const QJsonValue type = message.value(QStringLiteral("type"));
    if (!type.isString()) {
        protocolError(QStringLiteral("bad_message"),
                      QStringLiteral("A message needs a \"type\" text."));
        return;
    }
    const QString t = type.toString();
    if (t == QLatin1String("clock")) {
        const QJsonValue pcm = message.value(QStringLiteral("pcm"));
        const QJsonValue wall = message.value(QStringLiteral("wall"));
        if (!pcm.isDouble() || pcm.toDouble() < 0 || !wall.isDouble() || wall.toDouble() < 0)
            protocolError(QStringLiteral("bad_message"),
                          QStringLiteral("\"clock\" needs the numbers \"pcm\" and \"wall\"."));
    } else if (t == QLatin1String("session.update")) {
        onUpdate(message);
    } else if (t == QLatin1String("eof")) {
        finish(QStringLiteral("eof"));
    }
    // Other types are for other versions of the protocol: ignored.
}

void UplinkSession::onUpdate(const QJsonObject& message) {
    std::optional<QString> spoken;
    std::optional<QString> labels;
    const QJsonValue language = message.value(QStringLiteral("spokenLanguage"));
    if (!language.isUndefined() && !language.isNull()) {
        const QString code = language.toString();
        if (!language.isString()) {
            protocolError(QStringLiteral("bad_message"),
                          QStringLiteral("\"spokenLanguage\" must be text."));
        } else if (code != QLatin1String("auto") && !Languages::isTranscribed(code)) {
            protocolError(
                QStringLiteral("unsupported_language"),
                QStringLiteral("Parloquent cannot transcribe \"%1\" here.").arg(code.left(20)));
        } else {
            spoken = code;
        }
    } else if (language.isNull()) {
        spoken = QStringLiteral("auto");
    }
    const QJsonValue speakers = message.value(QStringLiteral("speakerLabels"));
    if (!speakers.isUndefined() && !speakers.isNull()) {
        const QString value = speakers.toString();
        if (value == QLatin1String("auto") || value == QLatin1String("on") ||
            value == QLatin1String("off"))
            labels = value;
        else
            protocolError(QStringLiteral("bad_message"),
                          QStringLiteral("\"speakerLabels\" must be \"auto\", \"on\" or \"off\"."));
    }
    if (spoken || labels)
        m_sink->settingsUpdated(spoken, labels);

    const QJsonValue translate = message.value(QStringLiteral("translate"));
    if (translate.isUndefined())
        return;
    if (!translate.isArray()) {
        protocolError(QStringLiteral("bad_message"),
                      QStringLiteral("\"translate\" must be a list of language codes."));
        return;
    }
    QStringList langs;
    for (const auto& v : translate.toArray()) {
        if (!v.isString() || !Languages::isCode(v.toString())) {
            protocolError(QStringLiteral("bad_message"),
                          QStringLiteral("\"translate\" must be a list of language codes."));
            return;
        }
        if (!m_translator.canTranslate(v.toString())) {
            protocolError(
                QStringLiteral("unsupported_language"),
                QStringLiteral("Parloquent cannot translate into \"%1\" here.").arg(v.toString()));
            continue;
        }
        if (!langs.contains(v.toString()))
            langs.append(v.toString());
    }
    m_sink->translateUpdated(langs);
}

void UplinkSession::finish(const QString& reason) {
    if (m_finishing)
        return;
    m_finishing = true;
    m_reason = reason;
    m_idle.stop();
    qCDebug(lcUplink) << m_sessionId << "ends:" << reason << "after" << m_samples << "samples";
    if (!m_worker) {
        drained();
        return;
    }
    m_worker->post([r = m_recognizer.get()] { r->flush(1); });
}

void UplinkSession::drained() {
    const bool told =
        m_reason == QLatin1String("disconnected") || m_reason == QLatin1String("error");
    if (!told) {
        QJsonObject done = frame("session.done");
        done.insert(QStringLiteral("reason"), m_reason);
        send(done);
    }
    if (m_socket && m_socket->state() == QAbstractSocket::ConnectedState) {
        m_socket->close(m_reason == QLatin1String("error")
                            ? QWebSocketProtocol::CloseCodeBadOperation
                            : QWebSocketProtocol::CloseCodeNormal,
                        m_reason);
    }
    // The decoder (~100 MB) is not needed any more.
    stopRecognizer();
    emit finished(m_reason);
}

} // namespace pq::server
