// parloquent-cli: the headless way to use Parloquent, sharing the app's key store and
// preferences.
#include "AccountCommands.h"
#include "Credentials.h"
#include "FileCommands.h"
#include "Interrupts.h"
#include "Keychain.h"
#include "LiveCommands.h"
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
  record --app ID|--mac|--mic [--with-mic] [--name N] [--reading LANG]
                   Record an application, the whole computer or the microphone, printing
                   the transcript as it comes, until Ctrl-C.
  captions --app ID [--reading LANG]
                   Live captions of an application (nothing is stored), until Ctrl-C.
  apps             List the applications that play sound, with the IDs --app takes.
  transcribe FILE... [--name N] [--language LANG]
                   Transcribe audio or video files and print their transcripts.

The deployment is the app's ("env" preference), or PARLOQUENT_API when set. The key is the one
the app keeps in the Secret Service, else PARLOQUENT_KEY.)";

struct Commands {
    AccountCommands account;
    LiveCommands live;
    FileCommands files;
};

QCoro::Task<int> exitWith(int status) {
    co_return status;
}

QCoro::Task<int> usageError(const QString& problem) {
    Terminal::printError(problem.isEmpty()
                             ? QString::fromUtf8(usage)
                             : problem + QStringLiteral("\n\n") + QString::fromUtf8(usage));
    return exitWith(2);
}

std::optional<QString> value(const QCommandLineParser& parser, const QString& name) {
    if (!parser.isSet(name))
        return std::nullopt;
    return parser.value(name);
}

// Options that take a text must not be given an empty one.
std::optional<QString> emptyValue(const QCommandLineParser& parser, const QStringList& names) {
    for (const QString& name : names)
        if (parser.isSet(name) && parser.value(name).trimmed().isEmpty())
            return QStringLiteral("--%1 needs a value.").arg(name);
    return std::nullopt;
}

QCoro::Task<int> live(const QStringList& arguments, Commands& commands, bool record) {
    QCommandLineParser parser;
    const QCommandLineOption app(QStringLiteral("app"), QStringLiteral("Application ID."),
                                 QStringLiteral("ID"));
    const QCommandLineOption reading(QStringLiteral("reading"),
                                     QStringLiteral("Reading language (translation)."),
                                     QStringLiteral("LANG"));
    parser.addOption(app);
    parser.addOption(reading);
    if (record) {
        parser.addOption({QStringLiteral("mac"), QStringLiteral("The whole computer.")});
        parser.addOption({QStringLiteral("mic"), QStringLiteral("The microphone.")});
        parser.addOption({QStringLiteral("with-mic"), QStringLiteral("Add the microphone.")});
        parser.addOption({QStringLiteral("name"), QStringLiteral("Name of the recording."),
                          QStringLiteral("N")});
    }
    if (!parser.parse(arguments))
        return usageError(parser.errorText());
    if (parser.positionalArguments().size() != 1)
        return usageError(
            QStringLiteral("Unexpected argument “%1”.").arg(parser.positionalArguments().value(1)));
    QStringList texts{QStringLiteral("app"), QStringLiteral("reading")};
    if (record)
        texts.append(QStringLiteral("name"));
    if (const auto problem = emptyValue(parser, texts))
        return usageError(*problem);

    LiveCommands::Run run;
    run.mode = record ? LiveSession::Mode::record() : LiveSession::Mode::captions();
    run.reading = value(parser, QStringLiteral("reading"));
    if (!record) {
        if (!parser.isSet(app))
            return usageError(QStringLiteral("Choose the application: --app ID."));
        run.app = parser.value(app);
        return commands.live.live(run);
    }
    const int sources = int(parser.isSet(app)) + int(parser.isSet(QStringLiteral("mac"))) +
                        int(parser.isSet(QStringLiteral("mic")));
    if (sources != 1)
        return usageError(QStringLiteral("Choose one thing to record: --app ID, --mac or --mic."));
    if (parser.isSet(app)) {
        run.source = AudioSource::Kind::app;
        run.app = parser.value(app);
    } else if (parser.isSet(QStringLiteral("mac"))) {
        run.source = AudioSource::Kind::mac;
    } else {
        run.source = AudioSource::Kind::mic;
    }
    run.withMic = parser.isSet(QStringLiteral("with-mic"));
    run.name = value(parser, QStringLiteral("name"));
    return commands.live.live(run);
}

QCoro::Task<int> transcribe(const QStringList& arguments, Commands& commands) {
    QCommandLineParser parser;
    parser.addOption({QStringLiteral("name"), QStringLiteral("Name of the transcription."),
                      QStringLiteral("N")});
    parser.addOption(
        {QStringLiteral("language"), QStringLiteral("Spoken language."), QStringLiteral("LANG")});
    if (!parser.parse(arguments))
        return usageError(parser.errorText());
    if (const auto problem =
            emptyValue(parser, {QStringLiteral("name"), QStringLiteral("language")}))
        return usageError(*problem);
    QStringList files = parser.positionalArguments();
    files.removeFirst();
    if (files.isEmpty())
        return usageError(QStringLiteral("Name at least one file to transcribe."));
    return commands.files.transcribe(files, value(parser, QStringLiteral("name")),
                                     value(parser, QStringLiteral("language")));
}

QCoro::Task<int> dispatch(const QStringList& arguments, Commands& commands) {
    const QString command = arguments.value(1);
    QCommandLineParser parser;

    if (command == QLatin1String("sign-in")) {
        parser.addOption({QStringLiteral("key"),
                          QStringLiteral("Read an API key from standard input instead.")});
        if (!parser.parse(arguments) || parser.positionalArguments().size() != 1)
            return usageError(parser.errorText());
        return parser.isSet(QStringLiteral("key")) ? commands.account.signInWithKey()
                                                   : commands.account.signInWithBrowser();
    }
    if (command == QLatin1String("sign-out")) {
        if (!parser.parse(arguments) || parser.positionalArguments().size() != 1)
            return usageError({});
        return commands.account.signOut();
    }
    if (command == QLatin1String("record") || command == QLatin1String("captions"))
        return live(arguments, commands, command == QLatin1String("record"));
    if (command == QLatin1String("apps")) {
        if (!parser.parse(arguments) || parser.positionalArguments().size() != 1)
            return usageError(parser.errorText());
        return commands.live.apps();
    }
    if (command == QLatin1String("transcribe"))
        return transcribe(arguments, commands);
    if (command.isEmpty() || command == QLatin1String("help") ||
        command == QLatin1String("--help") || command == QLatin1String("-h")) {
        Terminal::print(QString::fromUtf8(usage));
        return exitWith(command.isEmpty() ? 2 : 0);
    }
    return usageError(QStringLiteral("Unknown command “%1”.").arg(command));
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("parloquent-cli"));
    Interrupts interrupts;
    Keychain keychain;
    Credentials credentials(keychain);
    Commands commands{AccountCommands(credentials, interrupts),
                      LiveCommands(credentials, interrupts), FileCommands(credentials, interrupts)};
    std::optional<int> status;
    QCoro::connect(dispatch(app.arguments(), commands), &app, [&](int code) {
        status = code;
        QCoreApplication::exit(code);
    });
    // A command can end before the loop starts (bad arguments): exit() would do nothing then.
    if (!status)
        app.exec();
    return status.value_or(1);
}
