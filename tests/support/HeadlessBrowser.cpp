#include "HeadlessBrowser.h"

#include "EndProcess.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QStandardPaths>
#include <QTest>
#include <QThread>

namespace pq::test {

namespace {

// Runs the event loop until `done` or the time is up.
template <class Done> bool spinUntil(Done done, std::chrono::milliseconds timeout) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeout.count())
            return false;
        QTest::qWait(10);
    }
    return true;
}

} // namespace

HeadlessBrowser::HeadlessBrowser() {
    QObject::connect(&m_page, &QWebSocket::textMessageReceived, [this](const QString& text) {
        const QJsonObject message = QJsonDocument::fromJson(text.toUtf8()).object();
        if (message.contains(QLatin1String("id")))
            m_answers.insert(message.value(QLatin1String("id")).toInt(), message);
    });
}

HeadlessBrowser::~HeadlessBrowser() {
    m_page.close();
    endProcess(m_chromium, 3000);
    // Chromium's helper processes may still write into the profile for a moment after the
    // browser itself has ended: remove it once they are done.
    QElapsedTimer clock;
    clock.start();
    while (!QDir(m_profile.path()).removeRecursively() && clock.elapsed() < 3000)
        QThread::msleep(50);
    QThread::msleep(100);
    QDir(m_profile.path()).removeRecursively();
}

bool HeadlessBrowser::start() {
    const QString program = QStandardPaths::findExecutable(QStringLiteral("chromium"));
    if (program.isEmpty()) {
        m_error = QStringLiteral("chromium is not installed (scripts/setup installs it)");
        return false;
    }
    // Without the networking switches Chromium keeps trying to reach hosts this machine cannot.
    m_chromium.start(
        program,
        {QStringLiteral("--headless"), QStringLiteral("--no-sandbox"),
         QStringLiteral("--disable-gpu"), QStringLiteral("--disable-quic"),
         QStringLiteral("--no-first-run"), QStringLiteral("--disable-background-networking"),
         QStringLiteral("--disable-component-update"), QStringLiteral("--disable-sync"),
         QStringLiteral("--user-data-dir=") + m_profile.path(),
         QStringLiteral("--remote-debugging-port=0"), QStringLiteral("about:blank")});
    const QString portFile = m_profile.filePath(QStringLiteral("DevToolsActivePort"));
    if (!spinUntil([&] { return QFile::exists(portFile) && QFile(portFile).size() > 0; },
                   std::chrono::seconds(20))) {
        m_error = QStringLiteral("Chromium did not open its DevTools port: ") +
                  QString::fromUtf8(m_chromium.readAllStandardError().right(2000));
        return false;
    }
    QFile file(portFile);
    file.open(QIODevice::ReadOnly);
    const int port = file.readLine().trimmed().toInt();

    QNetworkAccessManager http;
    std::unique_ptr<QNetworkReply> reply(
        http.get(QNetworkRequest(QUrl(QStringLiteral("http://127.0.0.1:%1/json/list").arg(port)))));
    if (!spinUntil([&] { return reply->isFinished(); }, std::chrono::seconds(10))) {
        m_error = QStringLiteral("Chromium did not list its pages");
        return false;
    }
    QString pageSocket;
    for (const QJsonValue& target : QJsonDocument::fromJson(reply->readAll()).array())
        if (target[QLatin1String("type")].toString() == QLatin1String("page"))
            pageSocket = target[QLatin1String("webSocketDebuggerUrl")].toString();
    if (pageSocket.isEmpty()) {
        m_error = QStringLiteral("Chromium has no page to drive");
        return false;
    }
    m_page.open(QUrl(pageSocket));
    if (!spinUntil([&] { return m_page.state() == QAbstractSocket::ConnectedState; },
                   std::chrono::seconds(10))) {
        m_error = QStringLiteral("could not connect to the page: ") + m_page.errorString();
        return false;
    }
    call(QStringLiteral("Page.enable"), {});
    return true;
}

QJsonObject HeadlessBrowser::call(const QString& method, const QJsonObject& params,
                                  std::chrono::milliseconds timeout) {
    const int id = m_nextId++;
    const QJsonObject message{{QStringLiteral("id"), id},
                              {QStringLiteral("method"), method},
                              {QStringLiteral("params"), params}};
    m_page.sendTextMessage(
        QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact)));
    if (!spinUntil([&] { return m_answers.contains(id); }, timeout))
        return {{QStringLiteral("error"), QStringLiteral("no answer to ") + method}};
    return m_answers.take(id);
}

QJsonValue HeadlessBrowser::evaluate(const QString& expression) {
    const QJsonObject answer =
        call(QStringLiteral("Runtime.evaluate"), {{QStringLiteral("expression"), expression},
                                                  {QStringLiteral("returnByValue"), true},
                                                  {QStringLiteral("awaitPromise"), true}});
    return answer[QLatin1String("result")][QLatin1String("result")][QLatin1String("value")];
}

bool HeadlessBrowser::waitFor(const QString& expression, std::chrono::milliseconds timeout) {
    return spinUntil([&] { return evaluate(expression).toBool(); }, timeout);
}

bool HeadlessBrowser::navigate(const QUrl& url) {
    const QJsonObject answer = call(QStringLiteral("Page.navigate"),
                                    {{QStringLiteral("url"), url.toString(QUrl::FullyEncoded)}});
    if (answer.contains(QLatin1String("error")))
        return false;
    return waitFor(QStringLiteral("document.readyState === 'complete' && location.href !== "
                                  "'about:blank'"));
}

} // namespace pq::test

namespace pq::test {

bool HeadlessBrowser::screenshot(const QString& path) {
    const QJsonObject answer = call(QStringLiteral("Page.captureScreenshot"),
                                    {{QStringLiteral("format"), QStringLiteral("png")}});
    const QByteArray png = QByteArray::fromBase64(
        answer[QLatin1String("result")][QLatin1String("data")].toString().toLatin1());
    if (png.isEmpty())
        return false;
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(png) == png.size();
}

} // namespace pq::test
