#pragma once

#include "HttpError.h"
#include "MultipartReader.h"
#include "RequestGate.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonObject>
#include <QObject>
#include <QTimer>

#include <functional>
#include <memory>

class QTcpSocket;

namespace pq::server {

// A file received for transcription, on disk.
struct UploadedFile {
    QString path;       // where it is stored now (the receiver's caller takes it over)
    QString fileName;   // the name the client gave
    QByteArray options; // the "options" part (JSON), empty when there was none
    qint64 size = 0;
};

// Receives one multipart upload (POST /v1/transcriptions) on a connection the RequestGate
// handed over: checks the key and the size before reading the body, then reads the body piece
// by piece, writing the "file" part straight to a file in the uploads folder (the socket's
// buffer is bounded too, so memory stays flat whatever the size). When the body is complete,
// `accept` makes the transcription and its answer is sent; any failure is answered in the
// service's error form, the file removed, and the connection closed.
class UploadReceiver : public QObject {
    Q_OBJECT

public:
    struct Context {
        std::function<void(const QByteArray& authorization)> authorize; // throws HttpError
        std::function<QJsonObject(const UploadedFile&)> accept;         // throws HttpError
        QString folder;                                                 // for received files
        qint64 maxBytes = 0;
    };

    static constexpr qint64 kMaxOptionsBytes = 64 * 1024;
    static constexpr qint64 kReadBlock = 1 << 20;
    static constexpr int kIdleTimeoutMs = 120'000;

    // Takes over the socket; it deletes itself (with the socket's ending).
    static void start(QTcpSocket* socket, const RequestHead& head, qsizetype skip,
                      std::shared_ptr<Context> context);
    ~UploadReceiver() override;

private:
    UploadReceiver(QTcpSocket* socket, qsizetype skip, std::shared_ptr<Context> context);

    void begin(const RequestHead& head);
    void onReadyRead();
    void complete();
    void refuse(const HttpError& error);
    void abandon();
    // Ends the upload and removes what was written; false when it had already ended.
    bool discard();
    bool beginPart(const MultipartReader::Part& part);
    bool partData(const char* data, qsizetype size);
    bool endPart();
    QString extensionOf(const QString& fileName) const;

    QTcpSocket* m_socket;
    qsizetype m_skip;
    std::shared_ptr<Context> m_context;
    std::unique_ptr<MultipartReader> m_reader;
    qint64 m_remaining = 0;
    enum class Part { None, Options, File, Other } m_part = Part::None;
    QFile m_file;
    UploadedFile m_upload;
    bool m_haveFile = false;
    bool m_tooLarge = false;
    bool m_done = false;
    QString m_writeError;
    QTimer m_idle;
};

} // namespace pq::server
