#pragma once

#include "HttpError.h"
#include "StoreRows.h"

#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QRegularExpression>
#include <QUrlQuery>

#include <functional>
#include <optional>

class QHttpServerRequest;
class QHttpServerResponder;

namespace pq::server {

class Auth;
class BroadcastHub;
class ConnectGrants;
class Faults;
class FeedHub;
class JobQueue;
class JsonFields;
class SessionRegistry;
class SpeechEngine;
class Store;
class SummaryService;
class VoiceService;
class Translator;
struct ServerConfig;
struct UploadedFile;

// The REST interface under /v1/: routes, authentication, request bodies, answers and errors in
// the service's form. Answers are JSON; a handler that must wait (a snapshot being translated)
// answers later through the responder.
class ApiRoutes : public QObject {
    Q_OBJECT

public:
    // The parts of the service beyond live transcription.
    struct Services {
        JobQueue& jobs;
        VoiceService& voices;
        SummaryService& summaries;
        ConnectGrants& grants;
        BroadcastHub& broadcasts;
    };

    ApiRoutes(Store& store, Auth& auth, SessionRegistry& registry, FeedHub& feeds,
              Translator& translator, SpeechEngine& engine, Services services, Faults& faults,
              const ServerConfig& config, QObject* parent = nullptr);

    // Every request except WebSocket upgrades.
    void handle(const QHttpServerRequest& request, QHttpServerResponder&& responder);
    // Whether a WebSocket upgrade to the feed of a recording may go ahead.
    std::optional<HttpError> checkFeed(const QString& recordingId, const QByteArray& authorization);
    // A multipart upload received in full: its transcription (as answered); throws HttpError.
    QJsonObject acceptUpload(const UploadedFile& file);
    // The Transcription record of a row, as every route answers it.
    QJsonObject transcriptionJson(const TranscriptionRow& row);

private:
    struct Reply {
        int status = 200;
        QJsonObject body;
        bool deferred = false; // the handler took the responder and answers later
    };
    struct Call {
        const QHttpServerRequest& request;
        QRegularExpressionMatch match;
        QUrlQuery query;
        QString keyId;
        QHttpServerResponder* responder;
        QString arg(int n) const { return match.captured(n); }
    };
    using Handler = std::function<Reply(Call&)>;
    struct Route {
        QByteArray method;
        QRegularExpression pattern;
        Handler handler;
        bool anonymous = false;
    };

    void add(const char* method, const char* pattern, Handler handler, bool anonymous = false);
    void dispatch(const QHttpServerRequest& request, QHttpServerResponder& responder);

    Reply me(Call& call);
    Reply languages(Call& call);
    Reply transcriptions(Call& call);
    Reply transcription(Call& call);
    Reply createLive(Call& call);
    Reply createFromUrl(Call& call);
    Reply startRecording(Call& call);
    Reply broadcasts(Call& call);
    Reply voices(Call& call);
    Reply voiceCatalogue(Call& call);
    Reply voicePreview(Call& call, bool own);
    Reply summary(Call& call, bool start);
    Reply connectToken(Call& call);
    Reply search(Call& call);
    Reply recording(Call& call);
    Reply pause(Call& call);
    Reply resume(Call& call);
    Reply stop(Call& call);
    Reply updateSettings(Call& call);
    Reply transcript(Call& call);
    Reply createRealtimeSession(Call& call);

    // Live streams need a loaded recogniser and a free place (unless one is being replaced).
    void requireEngine(bool replacing = false) const;
    RecordingRow requireRecording(const QString& id);
    Settings parseSettings(const JsonFields& fields, Settings base) const;
    QString streamUrl(const QHttpServerRequest& request, const QString& sessionId,
                      const QString& token) const;
    QJsonObject recordingJson(const RecordingRow& row) const;
    QJsonObject snapshot(const QString& recordingId, qint64 after,
                         const std::optional<QString>& lang);
    static int intParam(const QUrlQuery& query, const QString& name, int fallback, int min,
                        int max);

    Store& m_store;
    Auth& m_auth;
    SessionRegistry& m_registry;
    FeedHub& m_feeds;
    Translator& m_translator;
    SpeechEngine& m_engine;
    JobQueue& m_jobs;
    VoiceService& m_voices;
    SummaryService& m_summaries;
    ConnectGrants& m_grants;
    BroadcastHub& m_broadcastHub;
    Faults& m_faults;
    const ServerConfig& m_config;
    QList<Route> m_routes;
};

} // namespace pq::server
