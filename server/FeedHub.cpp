#include "FeedHub.h"

#include "Faults.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QPointer>
#include <QSet>
#include <QWebSocket>

namespace pq::server {

namespace {

QJsonObject onlyTranslation(QJsonObject holder, const std::optional<QString>& lang) {
    const QJsonObject all = holder.value(QStringLiteral("translations")).toObject();
    holder.remove(QStringLiteral("translations"));
    if (lang && all.contains(*lang))
        holder.insert(QStringLiteral("translations"), QJsonObject{{*lang, all.value(*lang)}});
    return holder;
}

} // namespace

FeedHub::FeedHub(Faults& faults, double noopIntervalS, QObject* parent)
    : QObject(parent), m_faults(faults) {
    m_noop.setInterval(int(noopIntervalS * 1000));
    connect(&m_noop, &QTimer::timeout, this, &FeedHub::tick);
}

FeedHub::~FeedHub() {
    for (Subscriber* s : std::as_const(m_subscribers)) {
        s->socket->disconnect(this);
        delete s->socket;
        delete s;
    }
}

void FeedHub::subscribe(std::unique_ptr<QWebSocket> owned, const QString& recordingId,
                        const std::optional<QString>& lang, const QString& deviceId,
                        qint64 cursor) {
    QWebSocket* socket = owned.release();
    socket->setParent(this);
    // Readers send nothing; anything large is refused by the socket itself.
    socket->setMaxAllowedIncomingFrameSize(64 * 1024);
    socket->setMaxAllowedIncomingMessageSize(64 * 1024);
    auto* s = new Subscriber{socket, recordingId, lang, deviceId, 0};
    m_subscribers.insert(socket, s);
    connect(socket, &QWebSocket::disconnected, this, [this, socket] { drop(socket); });
    connect(socket, &QWebSocket::bytesWritten, this, [this, socket](qint64 n) {
        if (Subscriber* sub = m_subscribers.value(socket))
            sub->waiting = std::max<qint64>(0, sub->waiting - n);
    });
    QJsonObject ready{{QStringLiteral("type"), QStringLiteral("subscribe.ready")},
                      {QStringLiteral("recordingId"), recordingId},
                      {QStringLiteral("cursor"), cursor}};
    ready.insert(QStringLiteral("lang"), lang ? QJsonValue(*lang) : QJsonValue());
    sendNow(socket, QJsonDocument(ready).toJson(QJsonDocument::Compact));
    if (!m_noop.isActive() && m_noop.interval() > 0)
        m_noop.start();
}

void FeedHub::drop(QWebSocket* socket) {
    Subscriber* s = m_subscribers.take(socket);
    if (!s)
        return;
    socket->disconnect(this);
    socket->deleteLater();
    delete s;
    if (m_subscribers.isEmpty())
        m_noop.stop();
}

QJsonObject FeedHub::forReader(const QJsonObject& event, const QString& onlyLang,
                               const std::optional<QString>& lang) {
    const QString type = event.value(QStringLiteral("type")).toString();
    if (!onlyLang.isEmpty() && lang != onlyLang) {
        return QJsonObject{{QStringLiteral("type"), QStringLiteral("noop")},
                           {QStringLiteral("cursor"), event.value(QStringLiteral("cursor"))}};
    }
    if (type == QLatin1String("transcript.sentence")) {
        QJsonObject out = event;
        out.insert(QStringLiteral("sentence"),
                   onlyTranslation(event.value(QStringLiteral("sentence")).toObject(), lang));
        return out;
    }
    if (type == QLatin1String("transcript.draft")) {
        QJsonArray segments;
        for (const auto& v : event.value(QStringLiteral("segments")).toArray())
            segments.append(onlyTranslation(v.toObject(), lang));
        QJsonObject out = event;
        out.insert(QStringLiteral("segments"), segments);
        return out;
    }
    return event;
}

void FeedHub::publish(const QString& recordingId, const QJsonObject& event,
                      const QString& onlyLang) {
    const bool positioned = event.contains(QStringLiteral("cursor"));
    // Subscribers can go away while we send: look each one up again.
    QList<QPointer<QWebSocket>> targets;
    for (const Subscriber* s : std::as_const(m_subscribers)) {
        if (s->recordingId == recordingId)
            targets.append(s->socket);
    }
    for (const auto& socket : targets) {
        if (Subscriber* s = socket ? m_subscribers.value(socket) : nullptr)
            deliver(socket, forReader(event, onlyLang, s->lang), positioned);
    }
    if (m_audience.deliver)
        m_audience.deliver(recordingId, event, onlyLang);
}

void FeedHub::deliver(QWebSocket* socket, const QJsonObject& event, bool positioned) {
    const QByteArray text = QJsonDocument(event).toJson(QJsonDocument::Compact);
    if (positioned && m_faults.active()) {
        if (m_faults.dropFeedEvent())
            return;
        if (const auto delay = m_faults.delayFeedEventMs()) {
            QPointer<QWebSocket> guard(socket);
            QTimer::singleShot(*delay, this, [this, guard, text] {
                if (guard)
                    sendNow(guard, text);
            });
            return;
        }
        if (m_faults.duplicateFeedEvent())
            sendNow(socket, text);
    }
    sendNow(socket, text);
}

void FeedHub::sendNow(QWebSocket* socket, const QByteArray& text) {
    Subscriber* s = m_subscribers.value(socket);
    if (!s || s->closing || socket->state() != QAbstractSocket::ConnectedState)
        return;
    s->waiting += socket->sendTextMessage(QString::fromUtf8(text));
    if (s->waiting > kMaxBacklogBytes) {
        s->closing = true;
        QPointer<QWebSocket> guard(socket);
        QTimer::singleShot(0, this, [this, guard] {
            if (!guard)
                return;
            guard->abort();
            drop(guard);
        });
    }
}

void FeedHub::tick() {
    if (!m_noopSource)
        return;
    QSet<QString> recordings;
    for (const Subscriber* s : std::as_const(m_subscribers))
        recordings.insert(s->recordingId);
    for (const QString& id : recordings) {
        if (const auto cursor = m_noopSource(id)) {
            publish(id,
                    QJsonObject{{QStringLiteral("type"), QStringLiteral("noop")},
                                {QStringLiteral("cursor"), *cursor}},
                    {});
        }
    }
}

QStringList FeedHub::languages(const QString& recordingId) const {
    QStringList out;
    for (const Subscriber* s : std::as_const(m_subscribers)) {
        if (s->recordingId == recordingId && s->lang && !out.contains(*s->lang))
            out.append(*s->lang);
    }
    if (m_audience.languages) {
        for (const QString& lang : m_audience.languages(recordingId)) {
            if (!out.contains(lang))
                out.append(lang);
        }
    }
    out.sort();
    return out;
}

int FeedHub::listeners(const QString& recordingId) const {
    int n = 0;
    for (const Subscriber* s : std::as_const(m_subscribers))
        n += s->recordingId == recordingId ? 1 : 0;
    return n;
}

} // namespace pq::server
