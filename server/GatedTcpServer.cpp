#include "GatedTcpServer.h"

#include <QHttpServer>
#include <QTcpSocket>

namespace pq::server {

GatedTcpServer::GatedTcpServer(RequestGate::Limits limits, RequestGate::UpgradeCheck upgradeCheck,
                               RequestGate::Takeover takeover, QObject* parent)
    : QTcpServer(parent), m_limits(limits), m_upgradeCheck(std::move(upgradeCheck)),
      m_takeover(std::move(takeover)) {}

GatedTcpServer* GatedTcpServer::serve(QHttpServer* http, const QHostAddress& address, quint16 port,
                                      RequestGate::Limits limits,
                                      RequestGate::UpgradeCheck upgradeCheck,
                                      RequestGate::Takeover takeover, QString* error) {
    auto* tcp = new GatedTcpServer(limits, std::move(upgradeCheck), std::move(takeover), http);
    if (!tcp->listen(address, port)) {
        *error = tcp->errorString();
        delete tcp;
        return nullptr;
    }
    tcp->setMaxPendingConnections(256);
    http->bind(tcp);
    return tcp;
}

void GatedTcpServer::incomingConnection(qintptr descriptor) {
    auto* socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return;
    }
    new RequestGate(socket, m_limits, m_upgradeCheck, m_takeover);
    addPendingConnection(socket);
}

} // namespace pq::server
