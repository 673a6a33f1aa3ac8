#pragma once

#include <QObject>
#include <QPointer>
#include <QUrl>

#include <QCoroTask>

#include <chrono>
#include <functional>
#include <memory>

namespace pq {

class API;
class Mailbox;

// Browser sign-in: opens the service's consent page, waits on a loopback listener for the
// browser's redirect with a one-time code, and trades the code and its PKCE verifier for an API
// key. Every piece of state lives on the connect thread; the token exchange runs on the API's
// thread and hops back. One attempt at a time per object.
class ConnectLogin : public QObject {
    Q_OBJECT

public:
    struct Result {
        QString key;
        QString accountName;
    };

    struct Options {
        std::chrono::milliseconds timeout = std::chrono::seconds(600);
        // The computer's user-visible name; empty when there is none.
        std::function<QString()> computerName = defaultComputerName;
    };

    static constexpr const char* tokenAlphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~";
    static constexpr int verifierLength = 64;
    static constexpr int stateLength = 32;
    static constexpr int clientNameLimit = 100;

    explicit ConnectLogin(API* api, QObject* parent = nullptr);
    ConnectLogin(API* api, Options options, QObject* parent = nullptr);
    ~ConnectLogin() override;

    // Calls `open` on this object's thread with the consent page's address once the listener is
    // ready, and ends with the new key, or throws (an APIError "cancelled" when the user refused,
    // the time-out passed or `cancel` was called).
    QCoro::Task<Result> run(std::function<void(const QUrl&)> open);
    // Ends a pending sign-in with "Sign-in was cancelled."; harmless when none is pending. Any
    // thread.
    void cancel();

    // `length` characters drawn uniformly from the token alphabet with the system's CSPRNG.
    static QString token(int length);
    // The S256 code challenge of `verifier` (base64url of its SHA-256, without padding).
    static QString challenge(const QString& verifier);
    // "Parloquent for Linux on <name>" ("this computer" without one), cut to 100 characters.
    static QString clientName(const QString& computerName);
    // The pretty host name, else the host name.
    static QString defaultComputerName();
    // The consent page's address with its query in the order the service expects.
    static QUrl consentAddress(const QUrl& app, quint16 port, const QString& verifier,
                               const QString& state, const QString& clientName);

private:
    class Queue;
    struct Completion;

    QPointer<API> m_api;
    Options m_options;
    Mailbox* m_home; // this object's thread
    std::shared_ptr<Completion> m_current;
    std::unique_ptr<Queue> m_queue;
};

} // namespace pq
