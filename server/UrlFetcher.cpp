#include "UrlFetcher.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>

namespace pq::server {

UrlFetcher::UrlFetcher(QNetworkAccessManager& network, QUrl url, QString path, qint64 maxBytes,
                       QObject* parent)
    : QObject(parent), m_network(network), m_url(std::move(url)), m_file(path),
      m_maxBytes(maxBytes) {}

UrlFetcher::~UrlFetcher() {
    if (m_reply) {
        m_reply->disconnect(this);
        m_reply->abort();
        m_reply->deleteLater();
    }
}

void UrlFetcher::start() {
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        end(QStringLiteral("The service cannot store the file."));
        return;
    }
    QNetworkRequest request(m_url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setMaximumRedirectsAllowed(5);
    request.setTransferTimeout(kIdleTimeoutMs);
    request.setRawHeader("User-Agent", "Parloquent-Server/" PQ_SERVER_VERSION);
    request.setRawHeader("Accept", "audio/*, video/*, */*;q=0.5");
    m_reply = m_network.get(request);
    m_reply->setReadBufferSize(kReadBuffer);
    connect(m_reply, &QNetworkReply::metaDataChanged, this, [this] {
        const int status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        const QVariant length = m_reply->header(QNetworkRequest::ContentLengthHeader);
        if (status >= 200 && status < 300 && length.isValid()) {
            m_expected = length.toLongLong();
            if (m_expected > m_maxBytes)
                end(QStringLiteral("The file at this address is larger than the %1 MiB this "
                                   "service takes.")
                        .arg(m_maxBytes >> 20));
        }
    });
    connect(m_reply, &QNetworkReply::readyRead, this, &UrlFetcher::onReadyRead);
    connect(m_reply, &QNetworkReply::finished, this, &UrlFetcher::onFinished);
}

void UrlFetcher::onReadyRead() {
    if (m_done || !m_reply)
        return;
    // Bodies of error pages are not kept.
    const int status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status >= 300) {
        m_reply->readAll();
        return;
    }
    char block[64 * 1024];
    for (;;) {
        const qint64 n = m_reply->read(block, sizeof block);
        if (n <= 0)
            break;
        m_received += n;
        if (m_received > m_maxBytes) {
            end(QStringLiteral("The file at this address is larger than the %1 MiB this service "
                               "takes.")
                    .arg(m_maxBytes >> 20));
            return;
        }
        if (m_file.write(block, n) != n) {
            end(QStringLiteral("The service cannot store the file."));
            return;
        }
    }
    emit progressed();
}

void UrlFetcher::onFinished() {
    if (m_done || !m_reply)
        return;
    onReadyRead();
    if (m_done)
        return;
    const int status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QString reason =
        m_reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString().left(100);
    if (status >= 400) {
        end(QStringLiteral("The address answered with HTTP %1%2.")
                .arg(status)
                .arg(reason.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(reason)));
        return;
    }
    if (m_reply->error() != QNetworkReply::NoError) {
        end(m_reply->error() == QNetworkReply::TooManyRedirectsError
                ? QStringLiteral("The address redirects too often.")
                : QStringLiteral("Could not fetch the address: %1.").arg(m_reply->errorString()));
        return;
    }
    if (status < 200 || status >= 300) {
        end(QStringLiteral("The address answered with HTTP %1, not with a file.").arg(status));
        return;
    }
    if (!m_file.flush()) {
        end(QStringLiteral("The service cannot store the file."));
        return;
    }
    end({});
}

void UrlFetcher::end(const QString& error) {
    if (m_done)
        return;
    m_done = true;
    m_file.close();
    if (m_reply) {
        QNetworkReply* reply = m_reply;
        m_reply = nullptr;
        reply->disconnect(this);
        if (reply->isRunning())
            reply->abort();
        reply->deleteLater();
    }
    emit finished(error);
}

} // namespace pq::server
