#include "UploadBody.h"

#include "FileError.h"

#include <QFile>
#include <QFileInfo>

namespace pq {

namespace {

const QByteArray crlf = QByteArrayLiteral("\r\n");

[[noreturn]] void fail(const char* what, const QFile& f) {
    throw FileError(QStringLiteral("Could not %1 “%2”: %3.")
                        .arg(QLatin1String(what), f.fileName(), f.errorString()));
}

} // namespace

UploadBody::UploadBody(QString file, QByteArray boundary, QByteArray optionsJson)
    : m_file(std::move(file)), m_boundary(std::move(boundary)), m_options(std::move(optionsJson)) {}

QString UploadBody::optionsName(const QString& file) {
    const QString name = QFileInfo(file).fileName();
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    return dot > 0 ? name.left(dot) : name;
}

QString UploadBody::headerFileName(const QString& file) {
    QString name = QFileInfo(file).fileName();
    name.remove(QLatin1Char('"'));
    name.remove(QLatin1Char('\r'));
    name.remove(QLatin1Char('\n'));
    return name;
}

QByteArray UploadBody::head() const {
    return "--" + m_boundary + crlf + "Content-Disposition: form-data; name=\"options\"" + crlf +
           "Content-Type: application/json" + crlf + crlf + m_options + crlf + "--" + m_boundary +
           crlf + "Content-Disposition: form-data; name=\"file\"; filename=\"" +
           headerFileName(m_file).toUtf8() + "\"" + crlf +
           "Content-Type: application/octet-stream" + crlf + crlf;
}

QByteArray UploadBody::tail() const {
    return crlf + "--" + m_boundary + "--" + crlf;
}

void UploadBody::write(const QString& target, qint64 fileSize, const Written& written) const {
    QFile out(target);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered))
        fail("create", out);
    write(out, fileSize, written);
}

void UploadBody::write(QFile& out, qint64 fileSize, const Written& written) const {
    qint64 onDisk = 0;
    const auto put = [&](const char* data, qint64 n) {
        if (out.write(data, n) != n)
            fail("write", out);
        onDisk += n;
        return !written || written(onDisk);
    };

    const QByteArray first = head();
    if (!put(first.constData(), first.size()))
        return;

    QFile in(m_file);
    if (!in.open(QIODevice::ReadOnly))
        fail("open", in);
    QByteArray block(blockSize, Qt::Uninitialized);
    qint64 copied = 0;
    for (;;) {
        const qint64 want = fileSize < 0 ? blockSize : std::min(blockSize, fileSize - copied);
        if (want == 0)
            break;
        const qint64 n = in.read(block.data(), want);
        if (n < 0)
            fail("read", in);
        if (n == 0)
            break;
        copied += n;
        if (!put(block.constData(), n))
            return;
    }
    in.close();
    if (fileSize >= 0 && copied != fileSize)
        throw FileError(QStringLiteral("“%1” changed while it was being read.").arg(m_file));

    const QByteArray last = tail();
    if (!put(last.constData(), last.size()))
        return;
    out.close();
    if (out.error() != QFileDevice::NoError)
        fail("close", out);
}

} // namespace pq
