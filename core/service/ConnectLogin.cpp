#include "ConnectLogin.h"

#include "API.h"
#include "APIError.h"
#include "ConnectCallback.h"

#include <QCoroFuture>
#include <QCryptographicHash>
#include <QFile>
#include <QPromise>
#include <QRandomGenerator>
#include <QSysInfo>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

namespace pq {

namespace {

using namespace std::chrono_literals;

// A browser connection that sends nothing is dropped after this long.
constexpr auto connectionIdle = 30s;

struct Finish {
    std::optional<ConnectLogin::Result> result;
    std::exception_ptr error;
};

Finish failure(const QString& code, const QString& message) {
    return {std::nullopt, std::make_exception_ptr(APIError(code, message, std::nullopt, false))};
}

} // namespace

// Everything that changes during an attempt, touched only on the connect thread.
class ConnectLogin::Queue : public QObject {
public:
    explicit Queue(ConnectLogin* owner) : m_owner(owner) {
        m_thread.setObjectName(QStringLiteral("parloquent.connect"));
        moveToThread(&m_thread);
        m_thread.start();
    }

    ~Queue() override {
        // End a pending attempt and drop the listener and connections on their own thread.
        QMetaObject::invokeMethod(
            this,
            [this] {
                finish(failure("cancelled", QStringLiteral("Sign-in was cancelled.")));
                qDeleteAll(children());
            },
            Qt::BlockingQueuedConnection);
        m_thread.quit();
        m_thread.wait();
    }

    void start(std::shared_ptr<QPromise<Finish>> promise, QUrl app,
               std::function<void(const QUrl&)> open) {
        QMetaObject::invokeMethod(this,
                                  [this, promise, app, open] { onStart(promise, app, open); });
    }

    void cancel() {
        QMetaObject::invokeMethod(this, [this] {
            finish(failure("cancelled", QStringLiteral("Sign-in was cancelled.")));
        });
    }

    // The token exchange's outcome, back on the connect thread.
    void exchanged(QPointer<QTcpSocket> connection, Finish outcome) {
        QMetaObject::invokeMethod(this, [this, connection, outcome] {
            if (outcome.error)
                reply(connection, ConnectCallback::exchangeFailedMessage(describe(outcome.error)),
                      false);
            else
                reply(connection, ConnectCallback::successMessage(), true);
            finish(outcome);
        });
    }

private:
    void onStart(const std::shared_ptr<QPromise<Finish>>& promise, const QUrl& app,
                 const std::function<void(const QUrl&)>& open) {
        if (m_continuation) {
            promise->addResult(
                failure("invalid_state", QStringLiteral("A sign-in is already running.")));
            promise->finish();
            return;
        }
        m_continuation = promise;

        m_listener = new QTcpServer(this);
        QObject::connect(m_listener, &QTcpServer::newConnection, this, [this] { onConnection(); });
        if (!m_listener->listen(QHostAddress::LocalHost, 0)) {
            finish(failure("auth", QStringLiteral("Could not listen on this computer: ") +
                                       m_listener->errorString()));
            return;
        }

        m_timeout = new QTimer(this);
        m_timeout->setSingleShot(true);
        QObject::connect(m_timeout, &QTimer::timeout, this, [this] {
            finish(failure("cancelled", QStringLiteral("Sign-in timed out. Try again.")));
        });
        m_timeout->start(m_owner->m_options.timeout);

        // Ready: make this attempt's secrets and hand the consent page to the browser.
        m_verifier = token(verifierLength);
        m_state = token(stateLength);
        const quint16 port = m_listener->serverPort();
        m_redirectURI = QStringLiteral("http://127.0.0.1:%1/callback").arg(port);
        const QUrl address = consentAddress(app, port, m_verifier, m_state,
                                            clientName(m_owner->m_options.computerName()));
        QMetaObject::invokeMethod(m_owner, [open, address] { open(address); });
    }

    void onConnection() {
        while (QTcpSocket* socket = m_listener->nextPendingConnection()) {
            socket->setParent(this);
            auto* idle = new QTimer(socket);
            idle->setSingleShot(true);
            QObject::connect(idle, &QTimer::timeout, socket, &QTcpSocket::abort);
            idle->start(connectionIdle);
            QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            // One read decides the answer; later bytes are not looked at.
            auto answered = std::make_shared<bool>(false);
            QObject::connect(socket, &QTcpSocket::readyRead, this, [this, socket, idle, answered] {
                if (*answered)
                    return;
                *answered = true;
                idle->stop();
                onRequest(socket, socket->read(ConnectCallback::maxRequestBytes));
            });
        }
    }

    void onRequest(QTcpSocket* socket, const QByteArray& request) {
        const auto outcome = ConnectCallback::decide(
            request, m_continuation ? std::optional(m_state) : std::nullopt);
        switch (outcome.kind) {
        case ConnectCallback::Kind::unreadable:
            socket->abort();
            return;
        case ConnectCallback::Kind::notWaiting:
            reply(socket, ConnectCallback::notWaitingMessage(), false);
            return;
        case ConnectCallback::Kind::wrongState:
            reply(socket, ConnectCallback::wrongStateMessage(), false);
            return;
        case ConnectCallback::Kind::refused:
            reply(socket, ConnectCallback::refusedMessage(), false);
            finish(failure("cancelled", QStringLiteral("You cancelled on the Parloquent screen.")));
            return;
        case ConnectCallback::Kind::noCode:
            reply(socket, ConnectCallback::noCodeMessage(), false);
            finish(failure("auth", ConnectCallback::noCodeMessage()));
            return;
        case ConnectCallback::Kind::code:
            break;
        }
        // Later browser requests are refused by the system from here on.
        stopListener();
        QMetaObject::invokeMethod(m_owner, [owner = m_owner, queue = QPointer<Queue>(this),
                                            socket = QPointer(socket), code = outcome.code,
                                            verifier = m_verifier, redirect = m_redirectURI] {
            exchange(owner->m_api, queue, socket, code, verifier, redirect);
        });
    }

    // Runs on the API's thread; `queue` is only ever deleted on that thread too.
    static QCoro::Task<void> exchange(QPointer<API> api, QPointer<Queue> queue,
                                      QPointer<QTcpSocket> socket, QString code, QString verifier,
                                      QString redirect) {
        Finish outcome;
        try {
            if (!api)
                throw APIError(QStringLiteral("cancelled"),
                               QStringLiteral("Sign-in was cancelled."), std::nullopt, false);
            const ConnectToken token = co_await api->connectToken(code, verifier, redirect);
            outcome.result =
                Result{token.access_token,
                       token.account ? token.account->name : QStringLiteral("Parloquent")};
        } catch (...) {
            outcome.error = std::current_exception();
        }
        if (queue)
            queue->exchanged(socket, outcome);
    }

    void reply(const QPointer<QTcpSocket>& socket, const QString& message, bool closeTab) {
        if (!socket || socket->state() != QAbstractSocket::ConnectedState)
            return;
        socket->write(ConnectCallback::response(message, closeTab));
        QObject::connect(socket, &QTcpSocket::bytesWritten, socket, [s = socket.data()] {
            if (s->bytesToWrite() == 0)
                s->disconnectFromHost();
        });
    }

    void stopListener() {
        if (m_listener) {
            m_listener->close();
            m_listener->deleteLater();
            m_listener = nullptr;
        }
    }

    void finish(const Finish& outcome) {
        stopListener();
        if (m_timeout) {
            m_timeout->stop();
            m_timeout->deleteLater();
            m_timeout = nullptr;
        }
        if (!m_continuation)
            return;
        const auto continuation = std::exchange(m_continuation, nullptr);
        continuation->addResult(outcome);
        continuation->finish();
    }

    ConnectLogin* m_owner;
    QThread m_thread;
    std::shared_ptr<QPromise<Finish>> m_continuation;
    QTcpServer* m_listener = nullptr;
    QTimer* m_timeout = nullptr;
    QString m_verifier;
    QString m_state;
    QString m_redirectURI;
};

ConnectLogin::ConnectLogin(API* api, QObject* parent) : ConnectLogin(api, Options(), parent) {}

ConnectLogin::ConnectLogin(API* api, Options options, QObject* parent)
    : QObject(parent), m_api(api), m_options(std::move(options)),
      m_queue(std::make_unique<Queue>(this)) {}

ConnectLogin::~ConnectLogin() = default;

QCoro::Task<ConnectLogin::Result> ConnectLogin::run(std::function<void(const QUrl&)> open) {
    auto promise = std::make_shared<QPromise<Finish>>();
    promise->start();
    QFuture<Finish> future = promise->future();
    m_queue->start(promise, m_api ? m_api->env().app : QUrl(), std::move(open));
    const Finish outcome = co_await future;
    if (outcome.error)
        std::rethrow_exception(outcome.error);
    co_return *outcome.result;
}

void ConnectLogin::cancel() {
    m_queue->cancel();
}

QString ConnectLogin::token(int length) {
    static const QString alphabet = QString::fromLatin1(tokenAlphabet);
    QString out;
    out.reserve(length);
    for (int i = 0; i < length; ++i)
        out.append(alphabet.at(QRandomGenerator::system()->bounded(alphabet.size())));
    return out;
}

QString ConnectLogin::challenge(const QString& verifier) {
    return QString::fromLatin1(
        QCryptographicHash::hash(verifier.toUtf8(), QCryptographicHash::Sha256)
            .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

QString ConnectLogin::clientName(const QString& computerName) {
    QString name = QStringLiteral("Parloquent for Linux on ") +
                   (computerName.isEmpty() ? QStringLiteral("this computer") : computerName);
    if (name.size() > clientNameLimit) {
        name.truncate(clientNameLimit);
        if (name.back().isHighSurrogate()) // never leave half a character
            name.chop(1);
    }
    return name;
}

QString ConnectLogin::defaultComputerName() {
    // What hostnamectl shows as the pretty name, without a D-Bus round trip.
    QFile info(QStringLiteral("/etc/machine-info"));
    if (info.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : info.readAll().split('\n')) {
            if (!line.startsWith("PRETTY_HOSTNAME="))
                continue;
            QByteArray value = line.mid(16).trimmed();
            if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
                value.back() == value.front())
                value = value.mid(1, value.size() - 2);
            if (!value.isEmpty())
                return QString::fromUtf8(value);
        }
    }
    return QSysInfo::machineHostName();
}

QUrl ConnectLogin::consentAddress(const QUrl& app, quint16 port, const QString& verifier,
                                  const QString& state, const QString& clientName) {
    QUrl address = app.resolved(QUrl(QStringLiteral("/connect")));
    address.setQuery(API::formEncoded({
                         {QStringLiteral("response_type"), QStringLiteral("code")},
                         {QStringLiteral("client_name"), clientName},
                         {QStringLiteral("redirect_uri"),
                          QStringLiteral("http://127.0.0.1:%1/callback").arg(port)},
                         {QStringLiteral("state"), state},
                         {QStringLiteral("code_challenge"), challenge(verifier)},
                         {QStringLiteral("code_challenge_method"), QStringLiteral("S256")},
                         {QStringLiteral("scope"), QStringLiteral("read write recordings:publish")},
                         {QStringLiteral("reach"), QStringLiteral("account")},
                     }),
                     QUrl::StrictMode);
    return address;
}

} // namespace pq
