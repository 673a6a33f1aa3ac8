#include "BroadcastHub.h"

#include "FeedHub.h"
#include "LiveRecording.h"
#include "SessionRegistry.h"
#include "SqlStatement.h"
#include "Store.h"
#include "Translator.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QPointer>
#include <QTimer>
#include <QWebSocket>

Q_LOGGING_CATEGORY(lcBroadcast, "parloquent.server.broadcast")

namespace pq::server {

BroadcastHub::BroadcastHub(Store& store, SessionRegistry& registry, FeedHub& feeds,
                           Translator& translator, QObject* parent)
    : QObject(parent), m_store(store), m_registry(registry), m_translator(translator) {
    FeedHub::Audience audience;
    audience.languages = [this](const QString& id) { return languages(id); };
    audience.deliver = [this](const QString& id, const QJsonObject& event, const QString& only) {
        deliver(id, event, only);
    };
    feeds.setAudience(std::move(audience));
    connect(&registry, &SessionRegistry::recordingStarted, this, &BroadcastHub::recordingStarted);
    connect(&registry, &SessionRegistry::recordingFinished, this, &BroadcastHub::recordingFinished);
}

BroadcastHub::~BroadcastHub() {
    for (Page* p : std::as_const(m_pages)) {
        p->socket->disconnect(this);
        delete p->socket;
        delete p;
    }
}

std::optional<RecordingRow> BroadcastHub::recordingOf(const BroadcastRow& broadcast) {
    if (!broadcast.transcriptionId)
        return std::nullopt;
    if (const LiveRecording* live = m_registry.recordingOf(*broadcast.transcriptionId)) {
        auto row = m_store.recording(live->id());
        if (row)
            row->state = live->state();
        return row;
    }
    return m_store.lastRecording(*broadcast.transcriptionId);
}

void BroadcastHub::attach(std::unique_ptr<QWebSocket> owned, const BroadcastRow& broadcast,
                          const std::optional<QString>& lang, const QString& recordingId,
                          qint64 after) {
    QWebSocket* socket = owned.release();
    socket->setParent(this);
    socket->setMaxAllowedIncomingFrameSize(4096);
    socket->setMaxAllowedIncomingMessageSize(4096);
    auto* page = new Page{socket, broadcast.id, broadcast.transcriptionId.value_or(QString()),
                          lang,   QString(),    0};
    m_pages.insert(socket, page);
    connect(socket, &QWebSocket::disconnected, this, [this, socket] { drop(socket); });
    connect(socket, &QWebSocket::bytesWritten, this, [this, socket](qint64 n) {
        if (Page* p = m_pages.value(socket))
            p->waiting = std::max<qint64>(0, p->waiting - n);
    });
    try {
        const auto recording = recordingOf(broadcast);
        show(page, recording, recording && recording->id == recordingId ? after : -1);
    } catch (const StoreError& e) {
        qCWarning(lcBroadcast) << "cannot read broadcast" << broadcast.id << e.what();
        socket->close(QWebSocketProtocol::CloseCodeAbnormalDisconnection);
    }
}

void BroadcastHub::show(Page* page, const std::optional<RecordingRow>& recording, qint64 after) {
    page->recordingId = recording ? recording->id : QString();
    send(page,
         QJsonObject{
             {QStringLiteral("type"), QStringLiteral("broadcast.recording")},
             {QStringLiteral("recordingId"), recording ? QJsonValue(recording->id) : QJsonValue()},
             {QStringLiteral("state"), recording ? recording->state : QStringLiteral("none")}});
    if (!recording)
        return;
    QList<SentenceRow> missed;
    try {
        missed = m_store.sentences(recording->id, after, page->lang);
    } catch (const StoreError& e) {
        qCWarning(lcBroadcast) << "cannot read" << recording->id << e.what();
    }
    for (const SentenceRow& s : std::as_const(missed))
        sendSentence(page, s);
    // Sentences from before anyone read this language: translated now, and shown again.
    if (!page->lang || !m_translator.canTranslate(*page->lang))
        return;
    const QString lang = *page->lang;
    const QString recordingId = recording->id;
    QPointer<QWebSocket> socket(page->socket);
    QList<SentenceRow> untranslated;
    try {
        for (const SentenceRow& s : m_store.sentences(recordingId, -1, lang)) {
            if (!s.translation)
                untranslated.append(s);
        }
    } catch (const StoreError& e) {
        qCWarning(lcBroadcast) << "cannot read" << recordingId << e.what();
    }
    // What a reader sees on arrival: the last ones are enough.
    for (const SentenceRow& s :
         untranslated.mid(std::max<qsizetype>(0, untranslated.size() - 200))) {
        m_translator.translate(
            lang, s.text, this, [this, socket, lang, recordingId, s](std::optional<QString> text) {
                if (!text || text->isEmpty())
                    return;
                SentenceRow translated = s;
                translated.translation = *text;
                try {
                    m_store.addTranslation(recordingId, true, s.sentenceId, lang, *text, s.cursor);
                } catch (const StoreError& e) {
                    qCWarning(lcBroadcast) << "cannot store a translation" << e.what();
                }
                Page* p = socket ? m_pages.value(socket) : nullptr;
                if (p && p->recordingId == recordingId)
                    sendSentence(p, translated);
            });
    }
}

void BroadcastHub::sendSentence(Page* page, const SentenceRow& s) {
    QJsonArray seqs;
    for (qint64 seq : s.seqs)
        seqs.append(seq);
    QJsonObject sentence{{QStringLiteral("sentenceId"), s.sentenceId},
                         {QStringLiteral("seqs"), seqs},
                         {QStringLiteral("text"), s.text},
                         {QStringLiteral("speaker"), s.speaker}};
    if (page->lang && s.translation)
        sentence.insert(QStringLiteral("translations"), QJsonObject{{*page->lang, *s.translation}});
    send(page, QJsonObject{{QStringLiteral("type"), QStringLiteral("transcript.sentence")},
                           {QStringLiteral("cursor"), s.cursor},
                           {QStringLiteral("sentence"), sentence}});
}

void BroadcastHub::send(Page* page, const QJsonObject& message) {
    if (page->socket->state() != QAbstractSocket::ConnectedState)
        return;
    page->waiting += page->socket->sendTextMessage(
        QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact)));
    if (page->waiting > kMaxBacklogBytes) {
        // A page that does not read is cut off; it reconnects and catches up.
        QPointer<QWebSocket> guard(page->socket);
        QTimer::singleShot(0, this, [this, guard] {
            if (!guard)
                return;
            guard->abort();
            drop(guard);
        });
    }
}

void BroadcastHub::drop(QWebSocket* socket) {
    Page* page = m_pages.take(socket);
    if (!page)
        return;
    socket->disconnect(this);
    socket->deleteLater();
    delete page;
}

QStringList BroadcastHub::languages(const QString& recordingId) const {
    QStringList out;
    for (const Page* p : std::as_const(m_pages)) {
        if (p->recordingId == recordingId && p->lang && !out.contains(*p->lang))
            out.append(*p->lang);
    }
    return out;
}

int BroadcastHub::listeners(const QString& broadcastId) const {
    int n = 0;
    for (const Page* p : std::as_const(m_pages))
        n += p->broadcastId == broadcastId ? 1 : 0;
    return n;
}

void BroadcastHub::deliver(const QString& recordingId, const QJsonObject& event,
                           const QString& onlyLang) {
    const QString type = event.value(QStringLiteral("type")).toString();
    if (type != QLatin1String("transcript.sentence") && type != QLatin1String("transcript.draft"))
        return;
    const QList<Page*> pages = m_pages.values();
    for (Page* p : pages) {
        if (p->recordingId != recordingId || !m_pages.contains(p->socket))
            continue;
        const QJsonObject shown = FeedHub::forReader(event, onlyLang, p->lang);
        if (shown.value(QStringLiteral("type")).toString() == type)
            send(p, shown);
    }
}

void BroadcastHub::recordingStarted(const QString& recordingId, const QString& transcriptionId) {
    std::optional<RecordingRow> row;
    try {
        row = m_store.recording(recordingId);
    } catch (const StoreError& e) {
        qCWarning(lcBroadcast) << "cannot read" << recordingId << e.what();
        return;
    }
    const QList<Page*> pages = m_pages.values();
    for (Page* p : pages) {
        if (p->transcriptionId == transcriptionId)
            show(p, row, -1);
    }
}

void BroadcastHub::recordingFinished(const QString& recordingId, const QString&) {
    const QList<Page*> pages = m_pages.values();
    for (Page* p : pages) {
        if (p->recordingId == recordingId)
            send(p, QJsonObject{{QStringLiteral("type"), QStringLiteral("broadcast.state")},
                                {QStringLiteral("state"), QStringLiteral("ready")}});
    }
}

} // namespace pq::server
