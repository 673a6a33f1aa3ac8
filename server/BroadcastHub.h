#pragma once

#include "StoreRows.h"

#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QStringList>

#include <memory>
#include <optional>

class QWebSocket;

namespace pq::server {

class FeedHub;
class SessionRegistry;
class Store;
class Translator;

// The open "/s/{code}" pages of the web application, each with a WebSocket that follows its
// broadcast's live recording in the reader's language. A page is told which recording it shows
// ("broadcast.recording"), gets the sentences it missed since the position it names, then the
// recording's sentences and drafts as they are published (in its language when there is a
// translation; sentences from before anyone read that language are translated when the page
// comes), and is moved on to the next recording when a new one starts. Pages only read; they
// count as the broadcast's listeners.
class BroadcastHub : public QObject {
    Q_OBJECT

public:
    BroadcastHub(Store& store, SessionRegistry& registry, FeedHub& feeds, Translator& translator,
                 QObject* parent = nullptr);
    ~BroadcastHub() override;

    // A page's socket; `recordingId` and `after` say what the page already shows.
    void attach(std::unique_ptr<QWebSocket> socket, const BroadcastRow& broadcast,
                const std::optional<QString>& lang, const QString& recordingId, qint64 after);
    int listeners(const QString& broadcastId) const;
    // The recording a broadcast shows now: the live one, else the last one (or nothing).
    std::optional<RecordingRow> recordingOf(const BroadcastRow& broadcast);

    static constexpr qint64 kMaxBacklogBytes = 1 << 20;

private:
    struct Page {
        QWebSocket* socket;
        QString broadcastId;
        QString transcriptionId;
        std::optional<QString> lang;
        QString recordingId;
        qint64 waiting = 0;
    };

    QStringList languages(const QString& recordingId) const;
    void deliver(const QString& recordingId, const QJsonObject& event, const QString& onlyLang);
    void recordingStarted(const QString& recordingId, const QString& transcriptionId);
    void recordingFinished(const QString& recordingId, const QString& transcriptionId);
    // Tells the page which recording it shows and sends what it misses of it.
    void show(Page* page, const std::optional<RecordingRow>& recording, qint64 after);
    void send(Page* page, const QJsonObject& message);
    void sendSentence(Page* page, const SentenceRow& sentence);
    void drop(QWebSocket* socket);

    Store& m_store;
    SessionRegistry& m_registry;
    Translator& m_translator;
    QHash<QWebSocket*, Page*> m_pages;
};

} // namespace pq::server
