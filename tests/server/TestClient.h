#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPair>
#include <QUrl>

namespace pq::test {

// What the service answered to one request.
struct Answer {
    int status = 0;
    QByteArray body;
    QList<QPair<QByteArray, QByteArray>> headers;
    QNetworkReply::NetworkError error = QNetworkReply::NoError;

    QJsonObject json() const;
    QByteArray header(const QByteArray& name) const;
    // The "code" of an error body.
    QString code() const { return json().value(QStringLiteral("code")).toString(); }
};

// A recording of a live transcription, granted to one device.
struct LiveStart {
    int status = 0; // of the grant
    QString recording;
    QString streamUrl;
};

// Plain HTTP requests to a test server, waited for in a local event loop.
class TestClient {
public:
    TestClient(QUrl base, QString key) : m_base(std::move(base)), m_key(std::move(key)) {}

    void setKey(const QString& key) { m_key = key; }

    Answer get(const QString& pathAndQuery);
    Answer post(const QString& path, const QJsonObject& body);
    Answer patch(const QString& path, const QJsonObject& body);
    // Any method and raw body; the key is sent when withKey.
    Answer send(const QByteArray& method, const QString& pathAndQuery, const QByteArray& body = {},
                bool withKey = true, const QByteArray& contentType = "application/json");

    // A new live transcription (spoken language detected, from the microphone): its id, empty
    // when the service refused it.
    QString createLive(const QString& name);
    // A recording of `transcription` for `deviceId`.
    LiveStart startRecording(const QString& transcription, const QString& deviceId,
                             bool takeover = false);

private:
    QUrl m_base;
    QString m_key;
    QNetworkAccessManager m_net;
};

} // namespace pq::test
