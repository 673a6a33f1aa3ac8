#include "UploadReceiver.h"

#include "HttpReply.h"
#include "Ids.h"

#include <QDir>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <QTcpSocket>

#include <vector>

Q_LOGGING_CATEGORY(lcUpload, "parloquent.server.upload")

namespace pq::server {

namespace {

QString sizeText(qint64 bytes) {
    if (bytes >= (qint64(1) << 30) && bytes % (qint64(1) << 30) == 0)
        return QStringLiteral("%1 GiB").arg(bytes >> 30);
    if (bytes >= (1 << 20))
        return QStringLiteral("%1 MiB").arg(bytes >> 20);
    return QStringLiteral("%1 bytes").arg(bytes);
}

HttpError tooLarge(qint64 max) {
    return HttpError(
        413, QStringLiteral("too_large"),
        QStringLiteral("The file is larger than the %1 this service takes.").arg(sizeText(max)));
}

// Room for the multipart framing and the options around the file itself.
constexpr qint64 kFraming = 1 << 20;

} // namespace

void UploadReceiver::start(QTcpSocket* socket, const RequestHead& head, qsizetype skip,
                           std::shared_ptr<Context> context) {
    auto* receiver = new UploadReceiver(socket, skip, std::move(context));
    receiver->begin(head);
}

UploadReceiver::UploadReceiver(QTcpSocket* socket, qsizetype skip, std::shared_ptr<Context> context)
    : QObject(socket), m_socket(socket), m_skip(skip), m_context(std::move(context)) {
    m_idle.setSingleShot(true);
    m_idle.setInterval(kIdleTimeoutMs);
    connect(&m_idle, &QTimer::timeout, this, [this] {
        refuse(HttpError(408, QStringLiteral("timeout"),
                         QStringLiteral("The upload stalled and was ended.")));
    });
}

UploadReceiver::~UploadReceiver() {
    m_file.close();
    if (!m_upload.path.isEmpty())
        QFile::remove(m_upload.path);
}

void UploadReceiver::begin(const RequestHead& head) {
    try {
        m_context->authorize(head.headers.value("authorization"));
    } catch (const HttpError& e) {
        refuse(e);
        return;
    } catch (const std::exception& e) {
        qCWarning(lcUpload) << "cannot check a key:" << e.what();
        refuse(HttpError::internal());
        return;
    }
    if (!head.headers.contains("content-length")) {
        refuse(HttpError(411, QStringLiteral("length_required"),
                         QStringLiteral("Send the upload with a Content-Length.")));
        return;
    }
    bool ok = false;
    const QByteArray lengthText = head.headers.value("content-length");
    const qint64 length = lengthText.toLongLong(&ok);
    if (!ok || length < 0 || lengthText.size() > 18) {
        refuse(HttpError(400, QStringLiteral("invalid_request"),
                         QStringLiteral("The request is not valid HTTP: Content-Length is not a "
                                        "number.")));
        return;
    }
    if (length > m_context->maxBytes + kFraming) {
        refuse(tooLarge(m_context->maxBytes));
        return;
    }
    const auto boundary = MultipartReader::boundaryOf(head.headers.value("content-type"));
    if (!boundary) {
        refuse(HttpError::invalid(QStringLiteral("The upload's Content-Type needs a valid "
                                                 "multipart boundary.")));
        return;
    }
    MultipartReader::Handler handler;
    handler.begin = [this](const MultipartReader::Part& p) { return beginPart(p); };
    handler.data = [this](const char* d, qsizetype n) { return partData(d, n); };
    handler.end = [this] { return endPart(); };
    m_reader = std::make_unique<MultipartReader>(*boundary, std::move(handler));
    m_remaining = length;

    // Bounded buffering: what the kernel holds for us waits there until we read it.
    m_socket->setReadBufferSize(kReadBlock);
    connect(m_socket, &QTcpSocket::readyRead, this, &UploadReceiver::onReadyRead);
    connect(m_socket, &QTcpSocket::disconnected, this, &UploadReceiver::abandon);
    if (head.headers.value("expect").toLower() == "100-continue")
        m_socket->write("HTTP/1.1 100 Continue\r\n\r\n");
    m_idle.start();
    onReadyRead();
}

QString UploadReceiver::extensionOf(const QString& fileName) const {
    // The extension helps the decoder recognise the format; only a plain one is kept.
    static const QRegularExpression plain(QStringLiteral("\\.([A-Za-z0-9]{1,8})$"));
    const auto match = plain.match(fileName);
    return match.hasMatch() ? QLatin1Char('.') + match.captured(1).toLower() : QString();
}

bool UploadReceiver::beginPart(const MultipartReader::Part& part) {
    if (part.name == QLatin1String("file")) {
        if (m_haveFile) {
            m_reader->fail(QStringLiteral("The upload holds more than one file."));
            return false;
        }
        m_haveFile = true;
        m_upload.fileName = part.fileName.left(500);
        m_file.setFileName(
            QDir(m_context->folder)
                .filePath(Ids::random(QStringLiteral("up_"), 16) + extensionOf(part.fileName)));
        if (!m_file.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
            qCWarning(lcUpload) << "cannot create" << m_file.fileName() << m_file.errorString();
            m_writeError = m_file.errorString();
            m_reader->fail(QStringLiteral("The service cannot store the file."));
            return false;
        }
        m_upload.path = m_file.fileName();
        m_part = Part::File;
    } else if (part.name == QLatin1String("options")) {
        m_part = Part::Options;
    } else {
        m_part = Part::Other;
    }
    return true;
}

bool UploadReceiver::partData(const char* data, qsizetype size) {
    switch (m_part) {
    case Part::File:
        if (m_upload.size + size > m_context->maxBytes) {
            m_tooLarge = true;
            m_reader->fail(tooLarge(m_context->maxBytes).message());
            return false;
        }
        if (m_file.write(data, size) != size) {
            m_writeError = m_file.errorString();
            m_reader->fail(QStringLiteral("The service cannot store the file."));
            return false;
        }
        m_upload.size += size;
        return true;
    case Part::Options:
        if (m_upload.options.size() + size > kMaxOptionsBytes) {
            m_reader->fail(QStringLiteral("The upload's options are too large."));
            return false;
        }
        m_upload.options.append(data, size);
        return true;
    case Part::Other:
    case Part::None:
        return true;
    }
    return true;
}

bool UploadReceiver::endPart() {
    if (m_part == Part::File && !m_file.flush()) {
        m_writeError = m_file.errorString();
        m_reader->fail(QStringLiteral("The service cannot store the file."));
        return false;
    }
    m_part = Part::None;
    return true;
}

void UploadReceiver::onReadyRead() {
    if (m_done)
        return;
    m_idle.start();
    static thread_local std::vector<char> block(kReadBlock);
    while (m_skip > 0 && m_socket->bytesAvailable() > 0) {
        const qint64 n =
            m_socket->read(block.data(), std::min<qint64>(m_skip, qint64(block.size())));
        if (n <= 0)
            return;
        m_skip -= n;
    }
    if (m_skip > 0)
        return;
    while (m_remaining > 0 && m_socket->bytesAvailable() > 0) {
        const qint64 want = std::min<qint64>(m_remaining, qint64(block.size()));
        const qint64 n = m_socket->read(block.data(), want);
        if (n <= 0)
            break;
        m_remaining -= n;
        if (!m_reader->feed(block.data(), n)) {
            if (!m_writeError.isEmpty()) {
                qCWarning(lcUpload) << "cannot store an upload:" << m_writeError;
                refuse(HttpError(507, QStringLiteral("insufficient_storage"),
                                 QStringLiteral("The service has no room to store this file.")));
            } else if (m_tooLarge) {
                refuse(tooLarge(m_context->maxBytes));
            } else {
                refuse(HttpError::invalid(m_reader->error()));
            }
            return;
        }
    }
    if (m_remaining == 0)
        complete();
}

void UploadReceiver::complete() {
    m_idle.stop();
    if (!m_reader->finished()) {
        refuse(HttpError::invalid(
            QStringLiteral("The upload ended before its closing boundary line.")));
        return;
    }
    if (!m_haveFile) {
        refuse(HttpError::invalid(QStringLiteral("The upload has no file (a part named "
                                                 "\"file\")."),
                                  QStringLiteral("file")));
        return;
    }
    m_file.close();
    if (m_file.error() != QFileDevice::NoError) {
        refuse(HttpError(507, QStringLiteral("insufficient_storage"),
                         QStringLiteral("The service has no room to store this file.")));
        return;
    }
    QJsonObject answer;
    try {
        answer = m_context->accept(m_upload);
    } catch (const HttpError& e) {
        refuse(e);
        return;
    } catch (const std::exception& e) {
        qCWarning(lcUpload) << "cannot accept an upload:" << e.what();
        refuse(HttpError::internal());
        return;
    }
    m_done = true;
    m_upload.path.clear(); // it belongs to the job now
    RequestGate::answerAndClose(m_socket, HttpReply::closingJson(201, answer), this);
}

void UploadReceiver::refuse(const HttpError& error) {
    if (!discard())
        return;
    disconnect(m_socket, &QTcpSocket::disconnected, this, nullptr);
    RequestGate::answerAndClose(m_socket, HttpReply::closingAnswer(error), this);
}

void UploadReceiver::abandon() {
    // The client went away in the middle: nothing of the upload is kept.
    discard();
}

bool UploadReceiver::discard() {
    if (m_done)
        return false;
    m_done = true;
    m_idle.stop();
    m_file.close();
    if (!m_upload.path.isEmpty())
        QFile::remove(m_upload.path);
    m_upload.path.clear();
    return true;
}

} // namespace pq::server
