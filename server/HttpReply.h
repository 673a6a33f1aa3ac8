#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QPair>

class QHttpServerResponder;
class QTcpSocket;

namespace pq::server {

class HttpError;

// Writes JSON answers through a QHttpServerResponder, with any headers.
class HttpReply {
public:
    using Headers = QList<QPair<QByteArray, QByteArray>>;

    static void json(QHttpServerResponder& responder, int status, const QJsonObject& body,
                     const Headers& headers = {});
    static void error(QHttpServerResponder& responder, const HttpError& error);
    // The raw bytes of a complete HTTP/1.1 answer that closes the connection, for answers
    // written before the HTTP server has seen the request.
    static QByteArray closingAnswer(const HttpError& error);
    static QByteArray closingJson(int status, const QJsonObject& body);
    // Raw bytes with a content type (audio, pages), with any headers.
    static void bytes(QHttpServerResponder& responder, int status, const QByteArray& contentType,
                      const QByteArray& body, const Headers& headers = {});
    static QByteArray reasonPhrase(int status);
};

} // namespace pq::server
