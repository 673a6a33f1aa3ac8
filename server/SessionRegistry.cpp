#include "SessionRegistry.h"

#include "CaptionSession.h"
#include "FeedHub.h"
#include "Ids.h"
#include "LiveRecording.h"
#include "ServerConfig.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QUrlQuery>
#include <QWebSocket>

namespace pq::server {

SessionRegistry::SessionRegistry(Store& store, FeedHub& feeds, Translator& translator,
                                 SpeechEngine& engine, const ServerConfig& config, QObject* parent)
    : QObject(parent), m_store(store), m_feeds(feeds), m_translator(translator), m_engine(engine),
      m_config(config) {
    m_expiry.setInterval(std::min(30'000, config.tokenLifetimeS * 1000));
    connect(&m_expiry, &QTimer::timeout, this, &SessionRegistry::expire);
    m_expiry.start();
}

SessionRegistry::~SessionRegistry() {
    // Children (sessions and their uplinks) go with us; nothing is reported any more.
    for (LiveRecording* r : std::as_const(m_recordings))
        r->disconnect(this);
    for (CaptionSession* c : std::as_const(m_captions))
        c->disconnect(this);
}

bool SessionRegistry::full() const {
    return m_recordings.size() + m_captions.size() >= m_config.maxSessions;
}

SessionRegistry::Grant SessionRegistry::issue(const QString& sessionId, Pending pending) {
    const QString token = Ids::random(QString(), 32);
    pending.tokenHash = Ids::hash(token);
    pending.expires = QDateTime::currentDateTimeUtc().addSecs(m_config.tokenLifetimeS);
    m_pending.insert(sessionId, pending);
    return Grant{sessionId, token};
}

SessionRegistry::Grant SessionRegistry::createCaption(const Settings& settings,
                                                      const QStringList& translate) {
    const QString id = Ids::random(QStringLiteral("rt_"), 16);
    auto* caption =
        new CaptionSession(id, settings, translate, m_translator, m_engine, m_config, this);
    m_captions.insert(id, caption);
    connect(caption, &CaptionSession::finished, this, [this](const QString& sessionId) {
        if (CaptionSession* c = m_captions.take(sessionId))
            c->deleteLater();
        m_pending.remove(sessionId);
    });
    Pending p;
    p.caption = caption;
    return issue(id, p);
}

LiveRecording* SessionRegistry::startRecording(const RecordingRow& row, Grant* grant) {
    auto* recording =
        new LiveRecording(row, m_store, m_feeds, m_translator, m_engine, m_config, this);
    m_recordings.insert(row.id, recording);
    const QString sessionId = Ids::random(QStringLiteral("rt_"), 16);
    connect(recording, &LiveRecording::finished, this,
            [this, sessionId, transcription = row.transcriptionId](const QString& id) {
                if (LiveRecording* r = m_recordings.take(id))
                    r->deleteLater();
                m_pending.remove(sessionId);
                emit recordingFinished(id, transcription);
            });
    Pending p;
    p.recording = recording;
    *grant = issue(sessionId, p);
    emit recordingStarted(row.id, row.transcriptionId);
    return recording;
}

LiveRecording* SessionRegistry::recording(const QString& recordingId) const {
    return m_recordings.value(recordingId);
}

LiveRecording* SessionRegistry::recordingOf(const QString& transcriptionId) const {
    for (LiveRecording* r : m_recordings) {
        if (r->transcriptionId() == transcriptionId)
            return r;
    }
    return nullptr;
}

void SessionRegistry::refuse(std::unique_ptr<QWebSocket> owned, const QString& code,
                             const QString& message) {
    QWebSocket* socket = owned.release();
    socket->setParent(this);
    const QJsonObject error{{QStringLiteral("type"), QStringLiteral("error")},
                            {QStringLiteral("code"), code},
                            {QStringLiteral("message"), message},
                            {QStringLiteral("retryable"), false}};
    socket->sendTextMessage(QString::fromUtf8(QJsonDocument(error).toJson(QJsonDocument::Compact)));
    socket->close(QWebSocketProtocol::CloseCodePolicyViolated, code);
    connect(socket, &QWebSocket::disconnected, socket, &QObject::deleteLater);
    // A peer that never answers the close is cut off.
    QTimer::singleShot(5000, socket, [socket] {
        socket->abort();
        socket->deleteLater();
    });
}

void SessionRegistry::connectUplink(std::unique_ptr<QWebSocket> socket) {
    const QUrl url = socket->requestUrl();
    const QString sessionId = url.path().section(QLatin1Char('/'), 3, 3);
    const QString token = QUrlQuery(url).queryItemValue(QStringLiteral("token"));
    const auto it = m_pending.find(sessionId);
    if (it == m_pending.end() || token.isEmpty() ||
        !Ids::equalConstantTime(it->tokenHash, Ids::hash(token))) {
        refuse(std::move(socket), QStringLiteral("invalid_token"),
               QStringLiteral("This stream address is not valid. Start the session again."));
        return;
    }
    const Pending pending = *it;
    m_pending.erase(it); // one use only
    if (pending.expires < QDateTime::currentDateTimeUtc()) {
        refuse(std::move(socket), QStringLiteral("invalid_token"),
               QStringLiteral("This stream address has expired. Start the session again."));
        if (pending.caption)
            pending.caption->stop();
        if (pending.recording)
            pending.recording->stop(QStringLiteral("expired"));
        return;
    }
    if (pending.caption)
        pending.caption->attach(std::move(socket));
    else if (pending.recording && pending.recording->state() != QLatin1String("ready"))
        pending.recording->attach(std::move(socket), sessionId);
    else
        refuse(std::move(socket), QStringLiteral("invalid_state"),
               QStringLiteral("This recording has ended."));
}

void SessionRegistry::expire() {
    const QDateTime now = QDateTime::currentDateTimeUtc();
    QList<Pending> expired;
    for (auto it = m_pending.begin(); it != m_pending.end();) {
        if (it->expires < now) {
            expired.append(*it);
            it = m_pending.erase(it);
        } else {
            ++it;
        }
    }
    for (const Pending& p : expired) {
        if (p.caption)
            p.caption->stop();
        if (p.recording && !p.recording->hasUplink())
            p.recording->stop(QStringLiteral("expired"));
    }
}

} // namespace pq::server
