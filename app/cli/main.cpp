// parloquent-cli: the headless way to use Parloquent, sharing the app's key store and
// preferences.
#include "AccountCommands.h"
#include "Credentials.h"
#include "Interrupts.h"
#include "Keychain.h"
#include "Terminal.h"

#include <QCommandLineParser>
#include <QCoreApplication>

using namespace pq;
using namespace pq::cli;

namespace {

const char* usage = R"(Usage: parloquent-cli COMMAND [OPTIONS]

Commands:
  sign-in          Sign in through the browser and keep the key in the Secret Service.
  sign-in --key    Sign in with an API key read from standard input.
  sign-out         Forget the key of the current deployment.

The deployment is the app's ("env" preference), or PARLOQUENT_API when set.)";

QCoro::Task<int> dispatch(QStringList arguments, Credentials& credentials, Interrupts& interrupts) {
    const QString command = arguments.value(1);
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("What to do."));
    AccountCommands account(credentials, interrupts);

    if (command == QLatin1String("sign-in")) {
        parser.addOption({QStringLiteral("key"),
                          QStringLiteral("Read an API key from standard input instead.")});
        if (!parser.parse(arguments) || parser.positionalArguments().size() != 1) {
            Terminal::printError(parser.errorText().isEmpty() ? QString::fromUtf8(usage)
                                                              : parser.errorText());
            co_return 2;
        }
        QCoro::Task<int> running = parser.isSet(QStringLiteral("key"))
                                       ? account.signInWithKey()
                                       : account.signInWithBrowser();
        co_return co_await running;
    }
    if (command == QLatin1String("sign-out")) {
        if (!parser.parse(arguments) || parser.positionalArguments().size() != 1) {
            Terminal::printError(QString::fromUtf8(usage));
            co_return 2;
        }
        QCoro::Task<int> running = account.signOut();
        co_return co_await running;
    }
    if (command.isEmpty() || command == QLatin1String("help") ||
        command == QLatin1String("--help") || command == QLatin1String("-h")) {
        Terminal::print(QString::fromUtf8(usage));
        co_return command.isEmpty() ? 2 : 0;
    }
    Terminal::printError(QStringLiteral("Unknown command “%1”.\n\n").arg(command) +
                         QString::fromUtf8(usage));
    co_return 2;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("parloquent-cli"));
    Interrupts interrupts;
    Keychain keychain;
    Credentials credentials(keychain);
    std::optional<int> status;
    QCoro::connect(dispatch(app.arguments(), credentials, interrupts), &app, [&](int code) {
        status = code;
        QCoreApplication::exit(code);
    });
    // A command can end before the loop starts (bad arguments): exit() would do nothing then.
    if (!status)
        app.exec();
    return status.value_or(1);
}
