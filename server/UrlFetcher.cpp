#include "UrlFetcher.h"

#include <curl/curl.h>

#include <cstdio>
#include <mutex>

namespace pq::server {

namespace {

struct Transfer {
    CURL* curl = nullptr;
    std::FILE* file = nullptr;
    qint64 maxBytes = 0;
    qint64 received = 0;
    bool tooLarge = false;
    bool writeFailed = false;
    const std::atomic<bool>* cancel = nullptr;
    const UrlFetcher::Progress* progress = nullptr;
    qint64 reported = -1;
};

size_t onData(char* data, size_t size, size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    const size_t n = size * count;
    long status = 0;
    curl_easy_getinfo(t->curl, CURLINFO_RESPONSE_CODE, &status);
    if (status >= 300)
        return n; // an error page: read, not kept
    if (t->received + qint64(n) > t->maxBytes) {
        t->tooLarge = true;
        return 0; // ends the transfer
    }
    if (std::fwrite(data, 1, n, t->file) != n) {
        t->writeFailed = true;
        return 0;
    }
    t->received += qint64(n);
    return n;
}

int onProgress(void* user, curl_off_t total, curl_off_t, curl_off_t, curl_off_t) {
    auto* t = static_cast<Transfer*>(user);
    if (t->cancel->load())
        return 1;
    // Reported at most once for each percent.
    const qint64 step = total > 0 ? t->received * 100 / total : t->received >> 20;
    if (*t->progress && step != t->reported) {
        t->reported = step;
        (*t->progress)(t->received, qint64(total));
    }
    return 0;
}

std::string mib(qint64 bytes) {
    return std::to_string(bytes >> 20);
}

} // namespace

void UrlFetcher::initialise() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::string UrlFetcher::fetch(const QUrl& url, const QString& path, qint64 maxBytes,
                              const std::atomic<bool>& cancel, const Progress& progress) {
    Transfer t;
    t.file = std::fopen(path.toLocal8Bit().constData(), "wb");
    if (!t.file)
        return "The service cannot store the file.";
    t.curl = curl_easy_init();
    if (!t.curl) {
        std::fclose(t.file);
        return "The service cannot fetch addresses right now.";
    }
    t.maxBytes = maxBytes;
    t.cancel = &cancel;
    t.progress = &progress;
    char errorText[CURL_ERROR_SIZE] = {};
    const QByteArray address = url.toEncoded();
    const bool secure = url.scheme() == QLatin1String("https");
    curl_slist* headers = curl_slist_append(nullptr, "Accept: audio/*, video/*, */*;q=0.5");
    curl_easy_setopt(t.curl, CURLOPT_URL, address.constData());
    curl_easy_setopt(t.curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(t.curl, CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : "http,https");
    curl_easy_setopt(t.curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(t.curl, CURLOPT_MAXREDIRS, kMaxRedirects);
    curl_easy_setopt(t.curl, CURLOPT_MAXFILESIZE_LARGE, curl_off_t(maxBytes));
    curl_easy_setopt(t.curl, CURLOPT_USERAGENT, "Parloquent-Server/" PQ_SERVER_VERSION);
    curl_easy_setopt(t.curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(t.curl, CURLOPT_WRITEFUNCTION, onData);
    curl_easy_setopt(t.curl, CURLOPT_WRITEDATA, &t);
    curl_easy_setopt(t.curl, CURLOPT_XFERINFOFUNCTION, onProgress);
    curl_easy_setopt(t.curl, CURLOPT_XFERINFODATA, &t);
    curl_easy_setopt(t.curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(t.curl, CURLOPT_CONNECTTIMEOUT, 30L);
    curl_easy_setopt(t.curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(t.curl, CURLOPT_LOW_SPEED_TIME, kIdleTimeoutS);
    curl_easy_setopt(t.curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(t.curl, CURLOPT_ERRORBUFFER, errorText);

    const CURLcode code = curl_easy_perform(t.curl);
    long status = 0;
    curl_easy_getinfo(t.curl, CURLINFO_RESPONSE_CODE, &status);
    curl_slist_free_all(headers);
    curl_easy_cleanup(t.curl);
    const bool closed = std::fclose(t.file) == 0;

    const std::string tooLarge =
        "The file at this address is larger than the " + mib(maxBytes) + " MiB this service takes.";
    if (t.tooLarge || code == CURLE_FILESIZE_EXCEEDED)
        return tooLarge;
    if (t.writeFailed || (code == CURLE_OK && !closed))
        return "The service cannot store the file.";
    if (code == CURLE_ABORTED_BY_CALLBACK)
        return "The transfer was stopped.";
    if (code == CURLE_TOO_MANY_REDIRECTS)
        return "The address redirects too often.";
    if (code == CURLE_UNSUPPORTED_PROTOCOL)
        return "The address leads somewhere this service does not follow.";
    if (code == CURLE_OPERATION_TIMEDOUT)
        return "The address stopped sending data.";
    if (code != CURLE_OK)
        return std::string("Could not fetch the address: ") +
               (errorText[0] ? errorText : curl_easy_strerror(code)) + ".";
    if (status >= 400)
        return "The address answered with HTTP " + std::to_string(status) + ".";
    if (status < 200 || status >= 300)
        return "The address answered with HTTP " + std::to_string(status) + ", not with a file.";
    return {};
}

} // namespace pq::server
