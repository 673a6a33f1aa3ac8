#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace pq {

// How the browser sign-in's loopback listener treats one request: read the request line, decide
// what the request means for the sign-in waiting on it, and render the page the browser gets.
// Pure functions, so they can be tested and fuzzed without sockets.
class ConnectCallback {
public:
    // The most a browser connection is read for.
    static constexpr qsizetype maxRequestBytes = 16384;

    enum class Kind {
        unreadable, // empty, too long or not UTF-8: the connection is dropped unanswered
        notWaiting, // not "/callback", or no sign-in pending
        wrongState, // "state" missing or not ours
        refused,    // the user said no on the consent page
        noCode,     // approved, but without a code
        code,       // approved: exchange `code` for a key
    };

    struct Outcome {
        Kind kind = Kind::unreadable;
        QString code;
    };

    // `request` is what one read of the connection gave; `expectedState` is the pending sign-in's
    // state, or nothing when no sign-in is pending.
    static Outcome decide(const QByteArray& request, const std::optional<QString>& expectedState);

    // The request target: the second word of the request line (empty when there is none).
    static QString target(const QString& request);

    // The browser's page for `message` (escaped), with the tab-closing script when asked.
    static QByteArray page(const QString& message, bool closeTab);
    // The whole HTTP answer carrying `page(message, closeTab)`.
    static QByteArray response(const QString& message, bool closeTab);

    // The messages shown in the browser.
    static QString notWaitingMessage();
    static QString wrongStateMessage();
    static QString refusedMessage();
    static QString noCodeMessage();
    static QString successMessage();
    static QString exchangeFailedMessage(const QString& description);
};

} // namespace pq
