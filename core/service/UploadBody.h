#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

class QFile;

namespace pq {

// The multipart/form-data body of an upload: an "options" JSON part and a "file" part holding the
// file's bytes, written to disk block by block so memory stays bounded whatever the file's size.
class UploadBody {
public:
    static constexpr qint64 blockSize = 4 * 1024 * 1024;

    // Called after each write with the number of body bytes on disk so far; returning false stops
    // the copy (the body is then incomplete and the caller discards it).
    using Written = std::function<bool(qint64 bytesOnDisk)>;

    UploadBody(QString file, QByteArray boundary, QByteArray optionsJson);

    const QString& file() const { return m_file; }

    // The options name: the file's last path component without its extension.
    static QString optionsName(const QString& file);
    // The name put in the part header: the last path component without double quotes and line
    // breaks, which would end the quoted value or the header.
    static QString headerFileName(const QString& file);

    // Everything before the file's bytes, and everything after them.
    QByteArray head() const;
    QByteArray tail() const;
    // The body's length for a file of `fileSize` bytes.
    qint64 size(qint64 fileSize) const { return head().size() + fileSize + tail().size(); }

    // Writes the whole body into `target` (created or truncated). With `fileSize` given, exactly
    // that many bytes of the file are copied and a file that turns out shorter is an error; with
    // -1 the file is copied to its end. Throws FileError when a file cannot be opened, read,
    // written or closed; `target` is then left for the caller to remove.
    void write(const QString& target, qint64 fileSize = -1, const Written& written = {}) const;
    // The same into a file already open for writing; closes it.
    void write(QFile& out, qint64 fileSize = -1, const Written& written = {}) const;

private:
    QString m_file;
    QByteArray m_boundary;
    QByteArray m_options;
};

} // namespace pq
