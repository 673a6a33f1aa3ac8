#include "TestClient.h"

#include <QBuffer>
#include <QEventLoop>
#include <QJsonDocument>
#include <QNetworkRequest>
#include <QTimer>

namespace pq::test {

QJsonObject Answer::json() const {
    return QJsonDocument::fromJson(body).object();
}

QByteArray Answer::header(const QByteArray& name) const {
    for (const auto& [key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    }
    return {};
}

Answer TestClient::get(const QString& pathAndQuery) {
    return send("GET", pathAndQuery);
}

Answer TestClient::post(const QString& path, const QJsonObject& body) {
    return send("POST", path, QJsonDocument(body).toJson(QJsonDocument::Compact));
}

QString TestClient::createLive(const QString& name) {
    const Answer a =
        post(QStringLiteral("/v1/transcriptions/live"),
             QJsonObject{{QStringLiteral("name"), name},
                         {QStringLiteral("settings"),
                          QJsonObject{{QStringLiteral("spokenLanguage"), QJsonValue()}}},
                         {QStringLiteral("source"),
                          QJsonObject{{QStringLiteral("kind"), QStringLiteral("mic")}}}});
    if (a.status != 201)
        qWarning() << "live transcription refused:" << a.status << a.body;
    return a.json().value(QStringLiteral("id")).toString();
}

LiveStart TestClient::startRecording(const QString& transcription, const QString& deviceId,
                                     bool takeover) {
    const Answer a = post(QStringLiteral("/v1/transcriptions/%1/recordings").arg(transcription),
                          QJsonObject{{QStringLiteral("deviceId"), deviceId},
                                      {QStringLiteral("takeover"), takeover}});
    const QJsonObject grant = a.json();
    return LiveStart{
        a.status,
        grant.value(QStringLiteral("recording")).toObject().value(QStringLiteral("id")).toString(),
        grant.value(QStringLiteral("streamUrl")).toString()};
}

Answer TestClient::patch(const QString& path, const QJsonObject& body) {
    return send("PATCH", path, QJsonDocument(body).toJson(QJsonDocument::Compact));
}

Answer TestClient::send(const QByteArray& method, const QString& pathAndQuery,
                        const QByteArray& body, bool withKey, const QByteArray& contentType) {
    QNetworkRequest request(QUrl(m_base.toString() + pathAndQuery));
    request.setRawHeader("Accept", "application/json");
    if (withKey && !m_key.isEmpty())
        request.setRawHeader("Authorization", "Bearer " + m_key.toUtf8());
    if (!body.isEmpty() || method == "POST" || method == "PATCH")
        request.setHeader(QNetworkRequest::ContentTypeHeader, contentType);
    auto* buffer = new QBuffer;
    buffer->setData(body);
    buffer->open(QIODevice::ReadOnly);
    QNetworkReply* reply = m_net.sendCustomRequest(request, method, buffer);
    buffer->setParent(reply);
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(30'000, &loop, &QEventLoop::quit);
    loop.exec();
    Answer answer;
    if (!reply->isFinished()) {
        reply->abort();
        answer.error = QNetworkReply::TimeoutError;
    } else {
        answer.error = reply->error();
    }
    answer.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    answer.body = reply->readAll();
    answer.headers = reply->rawHeaderPairs();
    reply->deleteLater();
    return answer;
}

} // namespace pq::test
