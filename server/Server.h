#pragma once

#include "Faults.h"
#include "HttpError.h"
#include "ServerConfig.h"

#include <QObject>

#include <memory>
#include <optional>

class QHttpServer;

namespace pq::server {

class ApiRoutes;
class Auth;
class BroadcastHub;
class ConnectGrants;
class FeedHub;
class GatedTcpServer;
class JobQueue;
class SessionRegistry;
class SpeechEngine;
class Store;
class SummaryService;
class Translator;
class VoiceService;
class WebApp;
struct RequestHead;

// The whole service: storage, recogniser, translator, REST routes and WebSockets on one port.
class Server : public QObject {
    Q_OBJECT

public:
    // Opens the database; throws StoreError when it cannot.
    Server(ServerConfig config, Faults faults, QObject* parent = nullptr);
    ~Server() override;

    // Listens for the API and for the web application; false with the reason otherwise.
    bool listen(QString* error);
    quint16 port() const { return m_port; }
    quint16 appPort() const;

private:
    std::optional<HttpError> checkUpgrade(const RequestHead& head);
    void onWebSocket();

    ServerConfig m_config;
    Faults m_faults;
    std::unique_ptr<Store> m_store;
    std::unique_ptr<Auth> m_auth;
    std::unique_ptr<ConnectGrants> m_grants;
    Translator* m_translator;
    SpeechEngine* m_engine;
    FeedHub* m_feeds;
    SessionRegistry* m_registry;
    JobQueue* m_jobs;
    VoiceService* m_voices;
    SummaryService* m_summaries;
    BroadcastHub* m_broadcasts;
    WebApp* m_web;
    ApiRoutes* m_routes;
    QHttpServer* m_http;
    GatedTcpServer* m_tcp = nullptr;
    quint16 m_port = 0;
};

} // namespace pq::server
