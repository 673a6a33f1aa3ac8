#pragma once

#include <QFile>
#include <QObject>
#include <QPointer>
#include <QUrl>

class QNetworkAccessManager;
class QNetworkReply;

namespace pq::server {

// Downloads an address (http or https) into a file as it arrives, never holding it in memory:
// redirects are followed (not from https to http), the size is bounded, and a transfer that
// stalls for a minute is ended. The outcome is one `finished` with an empty error on success,
// or a sentence saying what went wrong.
class UrlFetcher : public QObject {
    Q_OBJECT

public:
    UrlFetcher(QNetworkAccessManager& network, QUrl url, QString path, qint64 maxBytes,
               QObject* parent = nullptr);
    ~UrlFetcher() override;

    void start();
    qint64 received() const { return m_received; }
    qint64 expected() const { return m_expected; } // 0 while unknown

    static constexpr int kIdleTimeoutMs = 60'000;
    static constexpr qint64 kReadBuffer = 1 << 20;

signals:
    void progressed();
    void finished(const QString& error);

private:
    void onReadyRead();
    void onFinished();
    void end(const QString& error);

    QNetworkAccessManager& m_network;
    QUrl m_url;
    QFile m_file;
    qint64 m_maxBytes;
    QPointer<QNetworkReply> m_reply;
    qint64 m_received = 0;
    qint64 m_expected = 0;
    QString m_error;
    bool m_done = false;
};

} // namespace pq::server
