#include "AccountCommands.h"

#include "API.h"
#include "ConnectLogin.h"
#include "Credentials.h"
#include "Interrupts.h"
#include "PastedKey.h"
#include "Terminal.h"

#include <QProcess>
#include <QStandardPaths>

namespace pq::cli {

namespace {

const QString storeFailed = QStringLiteral(
    "Signed in, but the key could not be kept: no Secret Service (such as GNOME Keyring or "
    "KWallet) is running and unlocked. Start one and sign in again.");

// Hands the address to the desktop's browser when there is a desktop to show it on.
void openInBrowser(const QUrl& address) {
    const bool desktop =
        qEnvironmentVariableIsSet("DISPLAY") || qEnvironmentVariableIsSet("WAYLAND_DISPLAY");
    const QString opener = QStandardPaths::findExecutable(QStringLiteral("xdg-open"));
    if (desktop && !opener.isEmpty())
        QProcess::startDetached(opener, {address.toString(QUrl::FullyEncoded)});
}

} // namespace

QCoro::Task<int> AccountCommands::signInWithBrowser() {
    const Env env = Env::current();
    API api(env, std::nullopt);
    ConnectLogin login(&api);
    const auto connection = QObject::connect(&m_interrupts, &Interrupts::interrupted, &login,
                                             [&login] { login.cancel(); });
    auto opened = [](const QUrl& address) {
        Terminal::print(QStringLiteral("Open this address in your browser to sign in:"));
        Terminal::print(QStringLiteral("  ") + address.toString(QUrl::FullyEncoded));
        openInBrowser(address);
    };
    QCoro::Task<ConnectLogin::Result> running = login.run(std::move(opened));
    std::optional<ConnectLogin::Result> result;
    QString failure;
    try {
        result = co_await running;
    } catch (...) {
        failure = describe(std::current_exception());
    }
    QObject::disconnect(connection);
    if (!result) {
        Terminal::printError(failure);
        co_return 1;
    }
    QCoro::Task<bool> saving =
        m_credentials.save(result->key, result->accountName, false, env.name);
    if (!co_await saving) {
        Terminal::printError(storeFailed);
        co_return 1;
    }
    Terminal::print(QStringLiteral("Signed in as %1.").arg(result->accountName));
    co_return 0;
}

QCoro::Task<int> AccountCommands::signInWithKey() {
    const std::optional<QString> pasted =
        Terminal::readLine(QStringLiteral("Paste your Parloquent API key: "), true);
    if (!pasted) {
        Terminal::printError(QStringLiteral("No key was given on standard input."));
        co_return 1;
    }
    const QString key = PastedKey::trimmed(*pasted);
    if (const auto problem = PastedKey::formatProblem(key)) {
        Terminal::printError(*problem);
        co_return 1;
    }
    const Env env = Env::current();
    API api(env, key);
    QCoro::Task<Me> asking = api.me();
    std::optional<Me> me;
    QString rejection;
    try {
        me = co_await asking;
    } catch (...) {
        rejection = PastedKey::rejection(std::current_exception());
    }
    if (!me) {
        Terminal::printError(rejection);
        co_return 1;
    }
    QCoro::Task<bool> saving = m_credentials.save(key, me->displayName, true, env.name);
    if (!co_await saving) {
        Terminal::printError(storeFailed);
        co_return 1;
    }
    Terminal::print(QStringLiteral("Signed in as %1.").arg(me->displayName));
    co_return 0;
}

QCoro::Task<int> AccountCommands::signOut() {
    QCoro::Task<void> forgetting = m_credentials.forget(Env::current().name);
    co_await forgetting;
    Terminal::print(QStringLiteral("Signed out."));
    co_return 0;
}

} // namespace pq::cli
