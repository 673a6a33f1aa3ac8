#include "ConnectLogin.h"

#include "API.h"
#include "APIError.h"
#include "ConnectCallback.h"
#include "Mailbox.h"

#include <QCryptographicHash>
#include <QEventLoop>
#include <QFile>
#include <QRandomGenerator>
#include <QSysInfo>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <coroutine>
#include <future>
#include <pthread.h>
#include <thread>

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

// The pending end of one `run`, awaited and completed on the object's own thread.
struct ConnectLogin::Completion {
    std::optional<Finish> outcome;
    std::coroutine_handle<> waiter;

    void complete(Finish finish) {
        if (outcome)
            return;
        outcome = std::move(finish);
        if (const auto w = std::exchange(waiter, nullptr))
            w.resume();
    }

    // QCoro copies what it awaits, so the awaiter only points at the completion.
    struct Awaiter {
        std::shared_ptr<Completion> completion;
        bool await_ready() const noexcept { return completion->outcome.has_value(); }
        void await_suspend(std::coroutine_handle<> h) noexcept { completion->waiter = h; }
        Finish await_resume() { return std::move(*completion->outcome); }
    };
};

// Everything that changes during an attempt, touched only on the connect thread. Work reaches
// that thread, and results come back, through mailboxes (a std::mutex ThreadSanitizer can see).
class ConnectLogin::Queue {
public:
    explicit Queue(ConnectLogin* owner) : m_owner(owner) {
        std::promise<void> started;
        std::future<void> running = started.get_future();
        m_thread = std::thread([this, &started] {
            pthread_setname_np(pthread_self(), "parloquent.connect");
            QEventLoop loop;
            Mailbox mailbox;
            m_loop = &loop;
            m_mailbox = &mailbox;
            started.set_value();
            loop.exec();
            // Listener, timer and connections go with their thread.
            delete m_context;
        });
        running.wait();
    }

    ~Queue() {
        m_mailbox->post([this] {
            finish(failure("cancelled", QStringLiteral("Sign-in was cancelled.")));
            m_loop->quit();
        });
        m_thread.join();
    }

    void start(std::shared_ptr<Completion> completion, QUrl app, QString computerName,
               std::function<void(const QUrl&)> open) {
        m_mailbox->post([this, completion, app, computerName, open] {
            onStart(completion, app, computerName, open);
        });
    }

    void cancel() {
        m_mailbox->post(
            [this] { finish(failure("cancelled", QStringLiteral("Sign-in was cancelled."))); });
    }

    // The token exchange's outcome, back on the connect thread.
    void exchanged(QPointer<QTcpSocket> connection, Finish outcome) {
        m_mailbox->post([this, connection, outcome] {
            if (outcome.error)
                reply(connection, ConnectCallback::exchangeFailedMessage(describe(outcome.error)),
                      false);
            else
                reply(connection, ConnectCallback::successMessage(), true);
            finish(outcome);
        });
    }

private:
    // Parent of everything made on the connect thread.
    QObject* context() {
        if (!m_context)
            m_context = new QObject;
        return m_context;
    }

    void onStart(const std::shared_ptr<Completion>& completion, const QUrl& app,
                 const QString& computerName, const std::function<void(const QUrl&)>& open) {
        if (m_continuation) {
            m_owner->m_home->post([completion] {
                completion->complete(
                    failure("invalid_state", QStringLiteral("A sign-in is already running.")));
            });
            return;
        }
        m_continuation = completion;

        m_listener = new QTcpServer(context());
        QObject::connect(m_listener, &QTcpServer::newConnection, context(),
                         [this] { onConnection(); });
        if (!m_listener->listen(QHostAddress::LocalHost, 0)) {
            finish(failure("auth", QStringLiteral("Could not listen on this computer: ") +
                                       m_listener->errorString()));
            return;
        }

        m_timeout = new QTimer(context());
        m_timeout->setSingleShot(true);
        QObject::connect(m_timeout, &QTimer::timeout, context(), [this] {
            finish(failure("cancelled", QStringLiteral("Sign-in timed out. Try again.")));
        });
        m_timeout->start(m_owner->m_options.timeout);

        // Ready: make this attempt's secrets and hand the consent page to the browser.
        m_verifier = token(verifierLength);
        m_state = token(stateLength);
        const quint16 port = m_listener->serverPort();
        m_redirectURI = QStringLiteral("http://127.0.0.1:%1/callback").arg(port);
        const QUrl address =
            consentAddress(app, port, m_verifier, m_state, clientName(computerName));
        m_owner->m_home->post([open, address] { open(address); });
    }

    void onConnection() {
        while (QTcpSocket* socket = m_listener->nextPendingConnection()) {
            socket->setParent(context());
            auto* idle = new QTimer(socket);
            idle->setSingleShot(true);
            QObject::connect(idle, &QTimer::timeout, socket, &QTcpSocket::abort);
            idle->start(connectionIdle);
            QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            // One read decides the answer; later bytes are not looked at.
            auto answered = std::make_shared<bool>(false);
            QObject::connect(socket, &QTcpSocket::readyRead, socket,
                             [this, socket, idle, answered] {
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
        m_owner->m_home->post([owner = m_owner, socket = QPointer(socket), code = outcome.code,
                               verifier = m_verifier, redirect = m_redirectURI] {
            exchange(owner->m_api, owner, socket, code, verifier, redirect);
        });
    }

    // Runs on the API's thread, which is also the owner's: the owner, and with it this queue,
    // is only ever deleted there.
    static QCoro::Task<void> exchange(QPointer<API> api, QPointer<ConnectLogin> owner,
                                      QPointer<QTcpSocket> socket, QString code, QString verifier,
                                      QString redirect) {
        Finish outcome;
        try {
            if (!api)
                throw APIError(QStringLiteral("cancelled"),
                               QStringLiteral("Sign-in was cancelled."), std::nullopt, false);
            QCoro::Task<ConnectToken> exchanging = api->connectToken(code, verifier, redirect);
            const ConnectToken token = co_await exchanging;
            outcome.result =
                Result{token.access_token,
                       token.account ? token.account->name : QStringLiteral("Parloquent")};
        } catch (...) {
            outcome.error = std::current_exception();
        }
        if (owner)
            owner->m_queue->exchanged(socket, outcome);
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
        m_owner->m_home->post([continuation = std::exchange(m_continuation, nullptr), outcome] {
            continuation->complete(outcome);
        });
    }

    ConnectLogin* m_owner;
    std::thread m_thread;
    QEventLoop* m_loop = nullptr;
    Mailbox* m_mailbox = nullptr;
    QObject* m_context = nullptr;
    std::shared_ptr<Completion> m_continuation;
    QTcpServer* m_listener = nullptr;
    QTimer* m_timeout = nullptr;
    QString m_verifier;
    QString m_state;
    QString m_redirectURI;
};

ConnectLogin::ConnectLogin(API* api, QObject* parent) : ConnectLogin(api, Options(), parent) {}

ConnectLogin::ConnectLogin(API* api, Options options, QObject* parent)
    : QObject(parent), m_api(api), m_options(std::move(options)), m_home(new Mailbox(this)),
      m_queue(std::make_unique<Queue>(this)) {}

ConnectLogin::~ConnectLogin() {
    m_queue.reset();
    // The queue's last word may still sit in the mailbox, which goes with this object: end a
    // waiting run here instead.
    if (m_current)
        m_current->complete(failure("cancelled", QStringLiteral("Sign-in was cancelled.")));
}

QCoro::Task<ConnectLogin::Result> ConnectLogin::run(std::function<void(const QUrl&)> open) {
    auto completion = std::make_shared<Completion>();
    m_current = completion;
    m_queue->start(completion, m_api ? m_api->env().app : QUrl(), m_options.computerName(),
                   std::move(open));
    Completion::Awaiter ending{completion};
    const Finish outcome = co_await ending;
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
