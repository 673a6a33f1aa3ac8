#pragma once

#include "Broadcast.h"
#include "ConnectToken.h"
#include "Empty.h"
#include "Env.h"
#include "LanguageInfo.h"
#include "Me.h"
#include "Recording.h"
#include "SearchHit.h"
#include "SessionOptions.h"
#include "SettingsPatch.h"
#include "TranscriptSnapshot.h"
#include "Transcription.h"
#include "UploadTransfer.h"
#include "Voice.h"
#include "VoiceOption.h"

#include <QCoroTask>
#include <QMap>
#include <QNetworkRequest>
#include <QObject>
#include <QPointer>

#include <functional>
#include <optional>
#include <stop_token>

class QIODevice;
class QNetworkAccessManager;

namespace pq {

// The client of one deployment with one (replaceable) credential. Every operation is one REST
// exchange and throws APIError for an unsuccessful answer, TransportError for a failure below
// HTTP or a cancellation through its stop token, and DecodeError for an unreadable success body.
// Lives on, and must be used from, the thread that made it.
class API : public QObject {
    Q_OBJECT

public:
    using Query = QMap<QString, std::optional<QString>>;
    using Progress = std::function<void(double)>;

    // A built request: what `send` sends, and sends again when it retries.
    struct Request {
        QByteArray method;
        QNetworkRequest http;
        std::optional<QByteArray> body;
    };

    API(Env env, std::optional<QString> key, QObject* parent = nullptr);
    ~API() override;

    const Env& env() const { return m_env; }
    const std::optional<QString>& key() const { return m_key; }
    void setKey(std::optional<QString> key) { m_key = std::move(key); }
    QNetworkAccessManager* session() const { return m_session; }

    // The application's version ("dev" when the build has none).
    static QString version();
    // "Parloquent-Linux/" + version.
    static QString userAgent();
    // Names this installation to the service; made once ("linux-" + a lower-case UUID) and kept
    // in the preferences under "deviceId".
    static QString deviceId();

    // Largest answer body accepted; anything longer fails as a TransportError.
    static constexpr qint64 maxAnswerBytes = 64 * 1024 * 1024;

    // Request core.
    QUrl url(const QString& path, const Query& query = {}) const;
    QUrl wsURL(const QString& path, const Query& query = {}) const;
    Request request(QByteArray method, const QString& path, const Query& query,
                    bool anonymous) const;
    QCoro::Task<QByteArray> send(Request request, std::stop_token cancel = {});
    template <class T>
    QCoro::Task<T> json(QByteArray method, QString path, Query query,
                        std::optional<QJsonObject> body, bool anonymous,
                        std::stop_token cancel = {}) {
        const QByteArray answer =
            co_await jsonAnswer(std::move(method), std::move(path), std::move(query),
                                std::move(body), anonymous, std::move(cancel));
        co_return decode<T>(answer);
    }
    QCoro::Task<QByteArray> bytes(QString path, Query query, std::stop_token cancel = {});

    // Operations.
    QCoro::Task<Me> me(std::stop_token cancel = {});
    QCoro::Task<LanguageLists> languages(std::stop_token cancel = {});
    QCoro::Task<TranscriptionPage> transcriptions(std::optional<QString> cursor, int limit,
                                                  std::stop_token cancel = {});
    QCoro::Task<QList<Broadcast>> broadcasts(std::stop_token cancel = {});
    QCoro::Task<QList<Voice>> voices(std::stop_token cancel = {});
    QCoro::Task<VoiceCatalogue> voiceCatalogue(QString lang, std::stop_token cancel = {});
    QCoro::Task<QByteArray> voicePreview(QString voice, QString lang, std::stop_token cancel = {});
    QCoro::Task<QByteArray> clonePreview(QString id, QString lang, std::stop_token cancel = {});
    QCoro::Task<SearchResults> search(QString text, std::stop_token cancel = {});
    QCoro::Task<Transcription> createLive(QString name, SettingsPatch settings,
                                          std::stop_token cancel = {});
    QCoro::Task<PublishGrant> startRecording(QString transcription, bool takeover,
                                             std::stop_token cancel = {});
    QCoro::Task<Transcription> createFromURL(QString address, std::optional<QString> name,
                                             SettingsPatch settings, std::stop_token cancel = {});
    QCoro::Task<void> pause(QString recording, std::stop_token cancel = {});
    QCoro::Task<void> resume(QString recording, std::stop_token cancel = {});
    QCoro::Task<void> stop(QString recording, std::stop_token cancel = {});
    QCoro::Task<void> updateSettings(QString recording, SettingsPatch patch,
                                     std::stop_token cancel = {});
    QCoro::Task<TranscriptSnapshot> transcript(QString recording, std::optional<qint64> after,
                                               std::optional<QString> lang,
                                               std::stop_token cancel = {});
    QCoro::Task<SummaryStatus> summarize(QString recording, std::stop_token cancel = {});
    QCoro::Task<SummaryStatus> summary(QString recording, std::stop_token cancel = {});
    QCoro::Task<CreateSessionResponse> createRealtimeSession(SessionOptions options,
                                                             std::stop_token cancel = {});
    QCoro::Task<ConnectToken> connectToken(QString code, QString verifier, QString redirect,
                                           std::stop_token cancel = {});

    // Sends `file` with the transcription's settings as one multipart body assembled in a
    // temporary file. `progress` gets the fraction of the body sent so far. Never retried.
    QCoro::Task<Transcription> upload(QString file, SettingsPatch settings, Progress progress = {},
                                      std::stop_token cancel = {});

    // An identifier made safe to stand as one path segment.
    static QString segment(const QString& id) { return percentEncoded(id); }
    // Every character outside RFC 3986's unreserved set escaped, "+" and "&" included, so a
    // value reads back as itself whatever decoder the other side uses.
    static QString percentEncoded(const QString& text);
    // "name=value&…" in the given order, each side percent-encoded: a query or a form body.
    static QString formEncoded(const QList<std::pair<QString, QString>>& items);

private:
    QCoro::Task<Transcription> sendUpload(UploadTransfer::Job job);
    QCoro::Task<QByteArray> jsonAnswer(QByteArray method, QString path, Query query,
                                       std::optional<QJsonObject> body, bool anonymous,
                                       std::stop_token cancel);

    Env m_env;
    std::optional<QString> m_key;
    QNetworkAccessManager* m_session;
    std::stop_source m_uploads; // stopped when the client goes away
};

// Turns an upload's byte counts into a fraction for `report`. Called on the transfer's thread.
class UploadProgress {
public:
    explicit UploadProgress(API::Progress report) : m_report(std::move(report)) {}
    // Reports nothing while the expected total is unknown or zero.
    void sent(qint64 bytesSent, qint64 bytesExpected) const;

private:
    API::Progress m_report;
};

} // namespace pq
