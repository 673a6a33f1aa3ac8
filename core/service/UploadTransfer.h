#pragma once

#include "UploadBody.h"

#include <QByteArray>
#include <QList>
#include <QUrl>

#include <chrono>
#include <exception>
#include <functional>
#include <stop_token>

namespace pq {

// Sends an upload body from its temporary file while the body is still being written there: one
// thread copies the user's file into the body file block by block, libcurl reads behind it and
// sends. Waiting for the whole copy first would add the copy's time to every upload, and Qt's
// HTTP/1 uploader writes 16 KiB at a time, several times slower than the disk.
class UploadTransfer {
public:
    struct Job {
        QUrl url;
        QList<std::pair<QByteArray, QByteArray>> headers;
        UploadBody body;
        QString temp; // the body file, already created
        std::chrono::seconds idleTimeout{3600};
        qint64 maxAnswerBytes = 64 * 1024 * 1024;
        // Body bytes sent and expected (0 while unknown), on the transfer's thread.
        std::function<void(qint64 sent, qint64 total)> progress;
        std::stop_token cancel;
        std::stop_token owner; // the client going away
    };

    struct Answer {
        int status = 0; // 0 when nothing HTTP came back
        QByteArray body;
        std::exception_ptr error; // FileError or TransportError; status and body unset then
    };

    // Blocks until the exchange ends; run it off the GUI thread.
    static Answer run(const Job& job);
};

} // namespace pq
