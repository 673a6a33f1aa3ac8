#pragma once

#include <QByteArray>

namespace pq::server {

// The web application's static files, built into the program.
class WebAssets {
public:
    static QByteArray stylesheet();
    // Follows a broadcast on "/s/{code}" over its WebSocket, building lines as text nodes only.
    static QByteArray broadcastScript();
};

} // namespace pq::server
