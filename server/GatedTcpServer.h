#pragma once

#include "RequestGate.h"

#include <QHostAddress>
#include <QTcpServer>

class QHttpServer;

namespace pq::server {

// A listening socket that puts a RequestGate on every connection before QHttpServer sees it.
class GatedTcpServer : public QTcpServer {
    Q_OBJECT

public:
    GatedTcpServer(RequestGate::Limits limits, RequestGate::UpgradeCheck upgradeCheck,
                   RequestGate::Takeover takeover = {}, QObject* parent = nullptr);

    // A gated server listening on `address`:`port` for `http` (its parent), or null with the
    // reason in `error`.
    static GatedTcpServer* serve(QHttpServer* http, const QHostAddress& address, quint16 port,
                                 RequestGate::Limits limits, RequestGate::UpgradeCheck upgradeCheck,
                                 RequestGate::Takeover takeover, QString* error);

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    RequestGate::Limits m_limits;
    RequestGate::UpgradeCheck m_upgradeCheck;
    RequestGate::Takeover m_takeover;
};

} // namespace pq::server
