#include "FileWindow.h"

namespace pq::server {

FileWindow::FileWindow(const QString& path, qint64 offset, qint64 length, QObject* parent)
    : QIODevice(parent), m_file(path), m_offset(offset), m_length(length) {}

bool FileWindow::open(OpenMode mode) {
    if ((mode & WriteOnly) || !m_file.open(QIODevice::ReadOnly) || !m_file.seek(m_offset))
        return false;
    return QIODevice::open(mode | Unbuffered);
}

void FileWindow::close() {
    m_file.close();
    QIODevice::close();
}

bool FileWindow::seek(qint64 pos) {
    if (pos < 0 || pos > m_length || !m_file.seek(m_offset + pos))
        return false;
    return QIODevice::seek(pos);
}

qint64 FileWindow::readData(char* data, qint64 maxSize) {
    const qint64 left = m_length - pos();
    if (left <= 0)
        return 0;
    return m_file.read(data, std::min(maxSize, left));
}

} // namespace pq::server
