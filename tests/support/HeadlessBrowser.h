#pragma once

#include <QJsonObject>
#include <QJsonValue>
#include <QProcess>
#include <QTemporaryDir>
#include <QUrl>
#include <QWebSocket>

#include <chrono>

namespace pq::test {

// Debian's Chromium, headless, driven over the DevTools protocol: for end-to-end tests that need
// a real browser on a page of the local service. Calls block the test (running the event loop)
// until Chromium answers.
class HeadlessBrowser {
public:
    HeadlessBrowser();
    ~HeadlessBrowser();

    // False, with `error()` saying why, when Chromium could not be started.
    bool start();
    QString error() const { return m_error; }

    // Loads `url` and waits until the page (or the page it redirects to) has finished loading.
    bool navigate(const QUrl& url);
    // The value of a JavaScript expression in the page (awaited when it is a promise).
    QJsonValue evaluate(const QString& expression);
    // Waits until `expression` is true in the page.
    bool waitFor(const QString& expression,
                 std::chrono::milliseconds timeout = std::chrono::seconds(10));

    // Saves what the page shows as a PNG file (DevTools Page.captureScreenshot).
    bool screenshot(const QString& path);

    QString location() { return evaluate(QStringLiteral("location.href")).toString(); }
    QString text() {
        return evaluate(QStringLiteral("document.body ? document.body.innerText : ''")).toString();
    }

private:
    QJsonObject call(const QString& method, const QJsonObject& params,
                     std::chrono::milliseconds timeout = std::chrono::seconds(15));

    QTemporaryDir m_profile;
    QProcess m_chromium;
    QWebSocket m_page;
    int m_nextId = 1;
    QHash<int, QJsonObject> m_answers;
    QString m_error;
};

} // namespace pq::test
