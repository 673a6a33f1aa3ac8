#pragma once

#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>

class QWebSocket;

namespace pq::server {

class Faults;

// The transcript feeds of recordings (/v1/recordings/{id}/subscribe): every subscriber gets
// "subscribe.ready", then each event of its recording in its own reading language. Positioned
// events carry the recording's "cursor"; an event that only readers of another language need is
// replaced by a positioned "noop", so positions never skip. A positioned "noop" also goes out
// every noop interval while the recording is live. A subscriber that does not read what it is
// sent (over 4 MiB waiting) is disconnected; it can repair from the snapshot.
class FeedHub : public QObject {
    Q_OBJECT

public:
    // Allocates the position of a keep-alive "noop" for a recording, or nothing when the
    // recording is not live.
    using NoopSource = std::function<std::optional<qint64>(const QString& recordingId)>;
    // Readers outside the feeds (the web application's broadcast pages): their languages count
    // for translation, and every published event is shown to them too.
    struct Audience {
        std::function<QStringList(const QString& recordingId)> languages;
        std::function<void(const QString& recordingId, const QJsonObject& event,
                           const QString& onlyLang)>
            deliver;
    };

    FeedHub(Faults& faults, double noopIntervalS, QObject* parent = nullptr);
    ~FeedHub() override;

    void setNoopSource(NoopSource source) { m_noopSource = std::move(source); }
    void setAudience(Audience audience) { m_audience = std::move(audience); }

    void subscribe(std::unique_ptr<QWebSocket> socket, const QString& recordingId,
                   const std::optional<QString>& lang, const QString& deviceId, qint64 cursor);
    // Sends an event to every subscriber of the recording.
    void publish(const QString& recordingId, const QJsonObject& event, const QString& onlyLang);
    // The distinct reading languages of the recording's subscribers.
    QStringList languages(const QString& recordingId) const;
    int listeners(const QString& recordingId) const;

    static constexpr qint64 kMaxBacklogBytes = 4 << 20;

    // The event as a reader of `lang` sees it: only that translation, or a positioned "noop"
    // when the event is meant for readers of another language.
    static QJsonObject forReader(const QJsonObject& event, const QString& onlyLang,
                                 const std::optional<QString>& lang);

private:
    struct Subscriber {
        QWebSocket* socket;
        QString recordingId;
        std::optional<QString> lang;
        QString deviceId;
        qint64 waiting = 0; // bytes queued but not written
        bool closing = false;
    };

    void deliver(QWebSocket* socket, const QJsonObject& event, bool positioned);
    void sendNow(QWebSocket* socket, const QByteArray& text);
    void drop(QWebSocket* socket);
    void tick();

    Faults& m_faults;
    NoopSource m_noopSource;
    Audience m_audience;
    QHash<QWebSocket*, Subscriber*> m_subscribers;
    QTimer m_noop;
};

} // namespace pq::server
