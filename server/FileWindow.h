#pragma once

#include <QFile>
#include <QIODevice>

namespace pq::server {

// A read-only window onto part of a file, for answers to HTTP range requests: it reads as a
// device of its own whose size is the window's length.
class FileWindow : public QIODevice {
    Q_OBJECT

public:
    FileWindow(const QString& path, qint64 offset, qint64 length, QObject* parent = nullptr);

    bool open(OpenMode mode) override;
    void close() override;
    bool isSequential() const override { return false; }
    qint64 size() const override { return m_length; }
    bool seek(qint64 pos) override;

protected:
    qint64 readData(char* data, qint64 maxSize) override;
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    QFile m_file;
    qint64 m_offset;
    qint64 m_length;
};

} // namespace pq::server
