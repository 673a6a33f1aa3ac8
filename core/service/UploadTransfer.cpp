#include "UploadTransfer.h"

#include "FileError.h"
#include "TransportError.h"

#include <QFile>
#include <QFileInfo>

#include <condition_variable>
#include <curl/curl.h>
#include <fcntl.h>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace pq {

namespace {

using namespace std::chrono_literals;

// What the copying thread has put on disk, shared with libcurl's read callback.
struct Shared {
    std::mutex mutex;
    std::condition_variable changed;
    qint64 onDisk = 0;
    bool finished = false;
    std::exception_ptr failure;
    std::atomic<bool> abandon{false}; // the transfer ended: stop copying
};

struct Context {
    const UploadTransfer::Job* job;
    Shared* shared = nullptr;
    int fd = -1;
    qint64 sent = 0;
    qint64 total = 0;
    QByteArray answer;
    bool tooLarge = false;

    bool stopped() const { return job->cancel.stop_requested() || job->owner.stop_requested(); }
};

size_t readBody(char* buffer, size_t size, size_t count, void* userdata) {
    auto* c = static_cast<Context*>(userdata);
    const qint64 want = static_cast<qint64>(size * count);
    qint64 available = 0;
    {
        std::unique_lock lock(c->shared->mutex);
        // Wait for the copy to get ahead; wake now and then to notice a cancellation.
        while (c->shared->onDisk <= c->sent && !c->shared->failure && !c->stopped() &&
               !(c->shared->finished && c->sent >= c->shared->onDisk))
            c->shared->changed.wait_for(lock, 50ms);
        if (c->shared->failure || c->stopped())
            return CURL_READFUNC_ABORT;
        available = std::min(want, c->shared->onDisk - c->sent);
    }
    if (available <= 0)
        return 0;
    const ssize_t n = pread(c->fd, buffer, static_cast<size_t>(available), c->sent);
    if (n <= 0)
        return CURL_READFUNC_ABORT;
    c->sent += n;
    return static_cast<size_t>(n);
}

size_t writeAnswer(char* data, size_t size, size_t count, void* userdata) {
    auto* c = static_cast<Context*>(userdata);
    const size_t n = size * count;
    if (c->answer.size() + static_cast<qint64>(n) > c->job->maxAnswerBytes) {
        c->tooLarge = true;
        return 0; // makes libcurl fail the transfer
    }
    c->answer.append(data, static_cast<qsizetype>(n));
    return n;
}

int onProgress(void* userdata, curl_off_t, curl_off_t, curl_off_t upTotal, curl_off_t upNow) {
    auto* c = static_cast<Context*>(userdata);
    if (c->stopped())
        return 1;
    if (c->job->progress)
        c->job->progress(upNow, upTotal);
    return 0;
}

QNetworkReply::NetworkError networkError(CURLcode code) {
    switch (code) {
    case CURLE_COULDNT_CONNECT:
        return QNetworkReply::ConnectionRefusedError;
    case CURLE_COULDNT_RESOLVE_HOST:
        return QNetworkReply::HostNotFoundError;
    case CURLE_OPERATION_TIMEDOUT:
        return QNetworkReply::TimeoutError;
    case CURLE_ABORTED_BY_CALLBACK:
        return QNetworkReply::OperationCanceledError;
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
        return QNetworkReply::RemoteHostClosedError;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
        return QNetworkReply::SslHandshakeFailedError;
    default:
        return QNetworkReply::UnknownNetworkError;
    }
}

void initialiseOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

} // namespace

UploadTransfer::Answer UploadTransfer::run(const Job& job) {
    initialiseOnce();
    Answer out;

    // The file's size fixes the body's length before anything is sent.
    const QFileInfo source(job.body.file());
    if (!source.exists() || !source.isFile() || !source.isReadable()) {
        QFile probe(job.body.file());
        probe.open(QIODevice::ReadOnly);
        out.error = std::make_exception_ptr(FileError(
            QStringLiteral("Could not open “%1”: %2.").arg(job.body.file(), probe.errorString())));
        return out;
    }
    const qint64 fileSize = source.size();

    Context context{.job = &job, .total = job.body.size(fileSize)};

    // Open the body file twice and drop its name at once: nothing is left behind whatever happens
    // from here on, and the data lives until the last descriptor closes.
    const QByteArray tempName = QFile::encodeName(job.temp);
    const int writeFd = ::open(tempName.constData(), O_WRONLY | O_CLOEXEC);
    context.fd = ::open(tempName.constData(), O_RDONLY | O_CLOEXEC);
    ::unlink(tempName.constData());
    if (writeFd < 0 || context.fd < 0) {
        out.error = std::make_exception_ptr(FileError(
            QStringLiteral("Could not open “%1”: %2.").arg(job.temp, qt_error_string(errno))));
        if (writeFd >= 0)
            ::close(writeFd);
        if (context.fd >= 0)
            ::close(context.fd);
        return out;
    }
    // Reserving the space up front spares the file system a block allocation per write.
    ::posix_fallocate(writeFd, 0, context.total);

    Shared shared;
    context.shared = &shared;
    std::thread copier([&] {
        try {
            QFile file;
            if (!file.open(writeFd, QIODevice::WriteOnly | QIODevice::Unbuffered,
                           QFileDevice::AutoCloseHandle))
                throw FileError(QStringLiteral("Could not write “%1”.").arg(job.temp));
            job.body.write(file, fileSize, [&](qint64 onDisk) {
                {
                    std::lock_guard lock(shared.mutex);
                    shared.onDisk = onDisk;
                }
                shared.changed.notify_all();
                return !shared.abandon.load();
            });
            std::lock_guard lock(shared.mutex);
            shared.finished = true;
        } catch (...) {
            std::lock_guard lock(shared.mutex);
            shared.failure = std::current_exception();
        }
        shared.changed.notify_all();
    });

    CURL* curl = curl_easy_init();
    curl_slist* headers = nullptr;
    for (const auto& [name, value] : job.headers)
        headers = curl_slist_append(headers, (name + ": " + value).constData());
    // libcurl would otherwise add "Expect: 100-continue" and wait for the server's go-ahead.
    headers = curl_slist_append(headers, "Expect:");
    char errorText[CURL_ERROR_SIZE] = {};
    const QByteArray url = job.url.toEncoded();

    curl_easy_setopt(curl, CURLOPT_URL, url.constData());
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(context.total));
    curl_easy_setopt(curl, CURLOPT_READFUNCTION, readBody);
    curl_easy_setopt(curl, CURLOPT_READDATA, &context);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, writeAnswer);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &context);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, onProgress);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &context);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorText);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_UPLOAD_BUFFERSIZE, 512L * 1024);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 60L);
    // A stall of the whole idle time-out ends the transfer; a slow but moving one goes on.
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, static_cast<long>(job.idleTimeout.count()));

    const CURLcode code = curl_easy_perform(curl);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);

    shared.abandon = true;
    copier.join();
    // Freeing a large file's blocks takes a noticeable while: let it happen after the answer.
    std::thread([fd = context.fd] { ::close(fd); }).detach();

    if (shared.failure) {
        out.error = shared.failure;

    } else if (code == CURLE_ABORTED_BY_CALLBACK || context.stopped()) {
        out.error = std::make_exception_ptr(TransportError::cancellation());
    } else if (context.tooLarge) {
        out.error = std::make_exception_ptr(
            TransportError(QNetworkReply::UnknownContentError,
                           QStringLiteral("Parloquent sent an answer larger than %1 MiB.")
                               .arg(job.maxAnswerBytes / (1024 * 1024))));
    } else if (code != CURLE_OK) {
        const QString detail = errorText[0] ? QString::fromUtf8(errorText)
                                            : QString::fromUtf8(curl_easy_strerror(code));
        out.error = std::make_exception_ptr(TransportError(networkError(code), detail));
    } else {
        out.status = static_cast<int>(status);
        out.body = std::move(context.answer);
    }
    return out;
}

} // namespace pq
