#include "HttpReply.h"

#include "HttpError.h"

#include <QHttpServerResponder>
#include <QJsonDocument>

namespace pq::server {

void HttpReply::json(QHttpServerResponder& responder, int status, const QJsonObject& body,
                     const Headers& headers) {
    const QByteArray bytes = QJsonDocument(body).toJson(QJsonDocument::Compact);
    responder.writeStatusLine(static_cast<QHttpServerResponder::StatusCode>(status));
    responder.writeHeader("Content-Type", "application/json");
    responder.writeHeader("Content-Length", QByteArray::number(bytes.size()));
    responder.writeHeader("Cache-Control", "no-store");
    for (const auto& [name, value] : headers)
        responder.writeHeader(name, value);
    responder.writeBody(bytes);
}

void HttpReply::error(QHttpServerResponder& responder, const HttpError& error) {
    Headers headers;
    if (error.status() == 401)
        headers.append(qMakePair(QByteArray("WWW-Authenticate"), QByteArray("Bearer")));
    if (error.status() == 503)
        headers.append(qMakePair(QByteArray("Retry-After"), QByteArray("2")));
    json(responder, error.status(), error.body(), headers);
}

QByteArray HttpReply::closingAnswer(const HttpError& error) {
    return closingJson(error.status(), error.body());
}

QByteArray HttpReply::closingJson(int status, const QJsonObject& json) {
    const QByteArray body = QJsonDocument(json).toJson(QJsonDocument::Compact);
    QByteArray out = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonPhrase(status) + "\r\n";
    out += "Content-Type: application/json\r\n";
    out += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    out += "Cache-Control: no-store\r\n";
    if (status == 401)
        out += "WWW-Authenticate: Bearer\r\n";
    out += "Connection: close\r\n\r\n";
    return out + body;
}

void HttpReply::bytes(QHttpServerResponder& responder, int status, const QByteArray& contentType,
                      const QByteArray& body, const Headers& headers) {
    responder.writeStatusLine(static_cast<QHttpServerResponder::StatusCode>(status));
    responder.writeHeader("Content-Type", contentType);
    responder.writeHeader("Content-Length", QByteArray::number(body.size()));
    for (const auto& [name, value] : headers)
        responder.writeHeader(name, value);
    responder.writeBody(body);
}

QByteArray HttpReply::reasonPhrase(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 201:
        return "Created";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 408:
        return "Request Timeout";
    case 409:
        return "Conflict";
    case 411:
        return "Length Required";
    case 413:
        return "Payload Too Large";
    case 426:
        return "Upgrade Required";
    case 431:
        return "Request Header Fields Too Large";
    case 500:
        return "Internal Server Error";
    case 501:
        return "Not Implemented";
    case 503:
        return "Service Unavailable";
    case 507:
        return "Insufficient Storage";
    default:
        return "Error";
    }
}

} // namespace pq::server
