#include "ConnectCallback.h"

#include <QStringDecoder>
#include <QUrl>
#include <QUrlQuery>

namespace pq {

namespace {

// The first item named `name`, if it has a value.
std::optional<QString> firstValue(const QUrlQuery& query, const QString& name) {
    for (const auto& [key, value] : query.queryItems(QUrl::FullyDecoded))
        if (key == name)
            return value.isEmpty() ? std::nullopt : std::optional(value);
    return std::nullopt;
}

// The first item named `name` that has a value, skipping empty ones.
std::optional<QString> firstWithValue(const QUrlQuery& query, const QString& name) {
    for (const auto& [key, value] : query.queryItems(QUrl::FullyDecoded))
        if (key == name && !value.isEmpty())
            return value;
    return std::nullopt;
}

bool hasValue(const QUrlQuery& query, const QString& name) {
    for (const auto& [key, value] : query.queryItems(QUrl::FullyDecoded))
        if (key == name && !value.isEmpty())
            return true;
    return false;
}

} // namespace

QString ConnectCallback::target(const QString& request) {
    const qsizetype end = request.indexOf(QLatin1String("\r\n"));
    const QString line = end < 0 ? request : request.left(end);
    const QStringList words = line.split(QLatin1Char(' '));
    return words.size() < 2 ? QString() : words.at(1);
}

ConnectCallback::Outcome ConnectCallback::decide(const QByteArray& request,
                                                 const std::optional<QString>& expectedState) {
    if (request.isEmpty() || request.size() > maxRequestBytes)
        return {};
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = utf8.decode(request);
    if (utf8.hasError())
        return {};

    QUrl address(QStringLiteral("http://127.0.0.1") + target(text), QUrl::StrictMode);
    if (!address.isValid())
        address = QUrl(QStringLiteral("http://x/"));
    const QUrlQuery query(address);

    if (!expectedState || address.path() != QLatin1String("/callback"))
        return {Kind::notWaiting, {}};
    const std::optional<QString> state = firstValue(query, QStringLiteral("state"));
    if (!state || *state != *expectedState)
        return {Kind::wrongState, {}};
    if (hasValue(query, QStringLiteral("error")))
        return {Kind::refused, {}};
    const std::optional<QString> code = firstWithValue(query, QStringLiteral("code"));
    if (!code)
        return {Kind::noCode, {}};
    return {Kind::code, *code};
}

QByteArray ConnectCallback::page(const QString& message, bool closeTab) {
    QString escaped = message;
    escaped.replace(QLatin1Char('&'), QLatin1String("&amp;"));
    escaped.replace(QLatin1Char('<'), QLatin1String("&lt;"));
    const QString html =
        QStringLiteral("<!doctype html><meta charset=utf-8><title>Parloquent</title><body "
                       "style=\"font:16px system-ui;margin:3em;text-align:center\"><p>") +
        escaped + QStringLiteral("</p>") +
        (closeTab ? QStringLiteral("<script>setTimeout(function(){window.close()},500)</script>")
                  : QString()) +
        QStringLiteral("</body>");
    return html.toUtf8();
}

QByteArray ConnectCallback::response(const QString& message, bool closeTab) {
    const QByteArray body = page(message, closeTab);
    return "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " +
           QByteArray::number(body.size()) +
           "\r\nConnection: close\r\nCache-Control: no-store\r\n\r\n" + body;
}

QString ConnectCallback::notWaitingMessage() {
    return QStringLiteral("This sign-in link is not waiting for an answer.");
}

QString ConnectCallback::wrongStateMessage() {
    return QStringLiteral(
        "This answer does not belong to the sign-in Parloquent for Linux started.");
}

QString ConnectCallback::refusedMessage() {
    return QStringLiteral("Sign-in cancelled. You can close this tab.");
}

QString ConnectCallback::noCodeMessage() {
    return QStringLiteral("Sign-in did not return a code.");
}

QString ConnectCallback::successMessage() {
    return QStringLiteral("Signed in. You can close this tab and go back to Parloquent.");
}

QString ConnectCallback::exchangeFailedMessage(const QString& description) {
    return QStringLiteral("Parloquent for Linux could not finish signing in: ") + description;
}

} // namespace pq
