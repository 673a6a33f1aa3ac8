#include "GatedTcpServer.h"

#include <QTcpSocket>

namespace pq::server {

GatedTcpServer::GatedTcpServer(RequestGate::Limits limits, RequestGate::UpgradeCheck upgradeCheck,
                               RequestGate::Takeover takeover, QObject* parent)
    : QTcpServer(parent), m_limits(limits), m_upgradeCheck(std::move(upgradeCheck)),
      m_takeover(std::move(takeover)) {}

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
