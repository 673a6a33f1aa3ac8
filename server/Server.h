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
class FeedHub;
class GatedTcpServer;
class JobQueue;
class SessionRegistry;
class SpeechEngine;
class Store;
class Translator;
struct RequestHead;

// The whole service: storage, recogniser, translator, REST routes and WebSockets on one port.
class Server : public QObject {
    Q_OBJECT

public:
    // Opens the database; throws StoreError when it cannot.
    Server(ServerConfig config, Faults faults, QObject* parent = nullptr);
    ~Server() override;

    bool listen(QString* error);
    quint16 port() const { return m_port; }

private:
    std::optional<HttpError> checkUpgrade(const RequestHead& head);
    void onWebSocket();

    ServerConfig m_config;
    Faults m_faults;
    std::unique_ptr<Store> m_store;
    std::unique_ptr<Auth> m_auth;
    Translator* m_translator;
    SpeechEngine* m_engine;
    FeedHub* m_feeds;
    SessionRegistry* m_registry;
    JobQueue* m_jobs;
    ApiRoutes* m_routes;
    QHttpServer* m_http;
    GatedTcpServer* m_tcp = nullptr;
    quint16 m_port = 0;
};

} // namespace pq::server
