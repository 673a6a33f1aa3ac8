#pragma once

#include "RequestGate.h"

#include <QTcpServer>

namespace pq::server {

// A listening socket that puts a RequestGate on every connection before QHttpServer sees it.
class GatedTcpServer : public QTcpServer {
    Q_OBJECT

public:
    GatedTcpServer(RequestGate::Limits limits, RequestGate::UpgradeCheck upgradeCheck,
                   RequestGate::Takeover takeover = {}, QObject* parent = nullptr);

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    RequestGate::Limits m_limits;
    RequestGate::UpgradeCheck m_upgradeCheck;
    RequestGate::Takeover m_takeover;
};

} // namespace pq::server
