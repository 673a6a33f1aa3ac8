#pragma once

#include <QString>
#include <QUrl>

#include <atomic>
#include <functional>
#include <string>

namespace pq::server {

// Downloads an address (http or https) into a file as it arrives, never holding it in memory,
// with libcurl on the calling thread (a job's worker, so nothing of it runs on the event loop):
// redirects are followed (from https only to https), the size is bounded, a transfer without
// data for a minute is ended, and setting `cancel` ends it at once. Error pages are not kept.
class UrlFetcher {
public:
    // Bytes received so far and expected in all (0 while unknown).
    using Progress = std::function<void(qint64 received, qint64 expected)>;

    static constexpr long kIdleTimeoutS = 60;
    static constexpr long kMaxRedirects = 5;

    // Once, on the main thread before any worker fetches.
    static void initialise();
    // An empty text on success, else a sentence saying what went wrong (plain UTF-8, made on
    // this thread for whichever thread reads it).
    static std::string fetch(const QUrl& url, const QString& path, qint64 maxBytes,
                             const std::atomic<bool>& cancel, const Progress& progress);
};

} // namespace pq::server
