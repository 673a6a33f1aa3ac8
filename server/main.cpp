// parloquent-server: the local Parloquent speech service, and its key commands.
#include "Auth.h"
#include "Faults.h"
#include "Server.h"
#include "ServerConfig.h"
#include "SqlStatement.h"
#include "Store.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QSocketNotifier>
#include <QStandardPaths>

#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

using namespace pq::server;

namespace {

int g_signalFds[2] = {-1, -1};

void onSignal(int) {
    const char c = 1;
    [[maybe_unused]] auto n = ::write(g_signalFds[0], &c, 1);
}

// SIGINT and SIGTERM end the event loop, so the service closes its database cleanly.
void quitOnSignals(QCoreApplication& app) {
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, g_signalFds) != 0)
        return;
    auto* notifier = new QSocketNotifier(g_signalFds[1], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [] {
        char c;
        [[maybe_unused]] auto n = ::read(g_signalFds[1], &c, 1);
        QCoreApplication::quit();
    });
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

int fail(const QString& message) {
    std::fprintf(stderr, "parloquent-server: %s\n", qPrintable(message));
    return 1;
}

int keys(Store& store, const QStringList& args) {
    const QString command = args.value(1);
    if (command == QLatin1String("create") && args.size() == 3) {
        Auth auth(store);
        QString secret;
        const QString id = auth.create(args[2], &secret);
        std::printf("%s\n", qPrintable(secret));
        std::fprintf(stderr, "Created API key %s (\"%s\"). It is shown only this once.\n",
                     qPrintable(id), qPrintable(args[2]));
        return 0;
    }
    if (command == QLatin1String("list") && args.size() == 2) {
        std::printf("%-18s %-24s %-26s %-26s %s\n", "ID", "NAME", "CREATED", "LAST USED", "STATE");
        for (const KeyRow& k : store.keys()) {
            std::printf("%-18s %-24s %-26s %-26s %s\n", qPrintable(k.id), qPrintable(k.name),
                        qPrintable(k.createdAt), qPrintable(k.lastUsedAt.value_or("-")),
                        k.revokedAt ? "revoked" : "active");
        }
        return 0;
    }
    if (command == QLatin1String("revoke") && args.size() == 3) {
        if (!store.revokeKey(args[2]))
            return fail(QStringLiteral("there is no active key %1").arg(args[2]));
        std::fprintf(stderr, "Revoked API key %s.\n", qPrintable(args[2]));
        return 0;
    }
    return fail(QStringLiteral("use: keys create NAME | keys list | keys revoke ID"));
}

int broadcasts(Store& store, const QStringList& args) {
    const QString command = args.value(1);
    if (command == QLatin1String("create") && (args.size() == 3 || args.size() == 4)) {
        std::optional<QString> transcription;
        if (args.size() == 4) {
            if (!store.transcription(args[3]))
                return fail(QStringLiteral("there is no transcription %1").arg(args[3]));
            transcription = args[3];
        }
        const BroadcastRow b = store.createBroadcast(args[2], transcription);
        std::printf("%s %s\n", qPrintable(b.id), qPrintable(b.code));
        return 0;
    }
    if (command == QLatin1String("archive") && args.size() == 3) {
        if (!store.archiveBroadcast(args[2]))
            return fail(QStringLiteral("there is no active broadcast %1").arg(args[2]));
        return 0;
    }
    return fail(QStringLiteral("use: broadcasts create NAME [TRANSCRIPTION_ID] | "
                               "broadcasts archive ID"));
}

} // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("parloquent-server"));
    QCoreApplication::setApplicationVersion(QStringLiteral(PQ_SERVER_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("The local Parloquent speech service.\n\n"
                       "Commands (instead of serving):\n"
                       "  keys create NAME        make an API key and print it once\n"
                       "  keys list               list the keys\n"
                       "  keys revoke ID          revoke a key\n"
                       "  broadcasts create NAME [TRANSCRIPTION_ID]\n"
                       "  broadcasts archive ID"));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption data(QStringLiteral("data"),
                                  QStringLiteral("Folder of the database (default: "
                                                 "$XDG_DATA_HOME/parloquent-server)."),
                                  QStringLiteral("dir"));
    const QCommandLineOption port(QStringLiteral("port"),
                                  QStringLiteral("Port of the API and WebSockets (8080; 0 picks a "
                                                 "free one)."),
                                  QStringLiteral("n"), QStringLiteral("8080"));
    const QCommandLineOption listen(QStringLiteral("listen"),
                                    QStringLiteral("Address to listen on (127.0.0.1)."),
                                    QStringLiteral("address"), QStringLiteral("127.0.0.1"));
    const QCommandLineOption appPort(QStringLiteral("app-port"),
                                     QStringLiteral("Port of the web application (5176)."),
                                     QStringLiteral("n"), QStringLiteral("5176"));
    const QCommandLineOption grammar(QStringLiteral("grammar"),
                                     QStringLiteral("Recognise only the sentences of this JSGF "
                                                    "grammar."),
                                     QStringLiteral("file"));
    const QCommandLineOption model(QStringLiteral("model"),
                                   QStringLiteral("pocketsphinx en-us model folder."),
                                   QStringLiteral("dir"));
    const QCommandLineOption modes(QStringLiteral("apertium-modes"),
                                   QStringLiteral("apertium modes folder."), QStringLiteral("dir"));
    const QCommandLineOption maxDuration(QStringLiteral("max-duration"),
                                         QStringLiteral("Longest live stream, in seconds "
                                                        "(14400)."),
                                         QStringLiteral("s"), QStringLiteral("14400"));
    const QCommandLineOption idle(QStringLiteral("idle-timeout"),
                                  QStringLiteral("End an uplink silent for this long, in seconds "
                                                 "(600)."),
                                  QStringLiteral("s"), QStringLiteral("600"));
    const QCommandLineOption noop(QStringLiteral("noop-interval"),
                                  QStringLiteral("Seconds between keep-alives on feeds (15)."),
                                  QStringLiteral("s"), QStringLiteral("15"));
    const QCommandLineOption maxBody(QStringLiteral("max-body"),
                                     QStringLiteral("Largest request body in bytes (1048576)."),
                                     QStringLiteral("bytes"), QStringLiteral("1048576"));
    const QCommandLineOption warm(QStringLiteral("warm"),
                                  QStringLiteral("Recognisers kept loaded for new sessions (1)."),
                                  QStringLiteral("n"), QStringLiteral("1"));
    const QCommandLineOption maxSessions(QStringLiteral("max-sessions"),
                                         QStringLiteral("Live streams at once (8)."),
                                         QStringLiteral("n"), QStringLiteral("8"));
    const QCommandLineOption fault(QStringLiteral("fault"),
                                   QStringLiteral("Inject faults: feed-drop=P, feed-duplicate=P, "
                                                  "feed-delay=P, feed-delay-ms=N, "
                                                  "rest-unavailable=P (comma-separated)."),
                                   QStringLiteral("spec"));
    const QCommandLineOption faultSeed(QStringLiteral("fault-seed"),
                                       QStringLiteral("Seed of the fault decisions (random)."),
                                       QStringLiteral("n"), QStringLiteral("0"));
    const QCommandLineOption asrOption(QStringLiteral("asr-option"),
                                       QStringLiteral("Extra pocketsphinx argument, as "
                                                      "-name=value (repeatable)."),
                                       QStringLiteral("arg"));
    const QCommandLineOption maxUpload(QStringLiteral("max-upload"),
                                       QStringLiteral("Largest file to transcribe, in bytes "
                                                      "(4294967296)."),
                                       QStringLiteral("bytes"), QStringLiteral("4294967296"));
    const QCommandLineOption jobs(QStringLiteral("jobs"),
                                  QStringLiteral("File transcriptions at once (1)."),
                                  QStringLiteral("n"), QStringLiteral("1"));
    const QCommandLineOption fileUrls(QStringLiteral("allow-file-urls"),
                                      QStringLiteral("Transcribe file:// addresses too (tests)."));
    const QCommandLineOption codeLifetime(QStringLiteral("connect-code-lifetime"),
                                          QStringLiteral("Seconds a browser sign-in code stays "
                                                         "valid (60)."),
                                          QStringLiteral("s"), QStringLiteral("60"));
    parser.addOptions({data,        port,      listen,    appPort, grammar,  model,       modes,
                       maxDuration, idle,      noop,      maxBody, warm,     maxSessions, fault,
                       faultSeed,   asrOption, maxUpload, jobs,    fileUrls, codeLifetime});
    parser.addPositionalArgument(QStringLiteral("command"),
                                 QStringLiteral("keys … or broadcasts … (see above)."),
                                 QStringLiteral("[command]"));
    parser.process(app);

    ServerConfig config;
    config.dataDir =
        parser.isSet(data)
            ? parser.value(data)
            : QDir(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation))
                  .filePath(QStringLiteral("parloquent-server"));

    const QStringList args = parser.positionalArguments();
    if (!args.isEmpty()) {
        try {
            Store store(config.dataDir);
            if (args[0] == QLatin1String("keys"))
                return keys(store, args);
            if (args[0] == QLatin1String("broadcasts"))
                return broadcasts(store, args);
        } catch (const StoreError& e) {
            return fail(QString::fromUtf8(e.what()));
        }
        return fail(QStringLiteral("unknown command \"%1\" (see --help)").arg(args[0]));
    }

    bool ok = true;
    auto number = [&](const QCommandLineOption& o, double min, double max) {
        bool good = false;
        const double v = parser.value(o).toDouble(&good);
        if (!good || v < min || v > max) {
            ok = false;
            fail(QStringLiteral("--%1 must be a number from %2 to %3")
                     .arg(o.names().first())
                     .arg(min)
                     .arg(max));
        }
        return v;
    };
    config.port = quint16(number(port, 0, 65535));
    config.appPort = quint16(number(appPort, 0, 65535));
    config.maxDurationS = number(maxDuration, 0.1, 7 * 86400);
    config.idleTimeoutS = number(idle, 1, 86400);
    config.noopIntervalS = number(noop, 0.05, 3600);
    config.maxBodyBytes = qint64(number(maxBody, 1024, 1 << 30));
    config.warmDecoders = int(number(warm, 0, 8));
    config.maxSessions = int(number(maxSessions, 1, 256));
    config.maxUploadBytes = qint64(number(maxUpload, 1024, 1e13));
    config.jobs = int(number(jobs, 1, 16));
    config.connectCodeLifetimeS = int(number(codeLifetime, 1, 3600));
    config.allowFileUrls = parser.isSet(fileUrls);
    if (!ok)
        return 2;
    if (!config.listen.setAddress(parser.value(listen)))
        return fail(QStringLiteral("--listen needs an IP address"));
    if (parser.isSet(grammar))
        config.grammar = parser.value(grammar);
    if (parser.isSet(model))
        config.modelDir = parser.value(model);
    if (parser.isSet(modes))
        config.apertiumModes = parser.value(modes);
    for (const QString& option : parser.values(asrOption)) {
        const qsizetype eq = option.indexOf(QLatin1Char('='));
        if (!option.startsWith(QLatin1Char('-')) || eq < 2)
            return fail(QStringLiteral("--asr-option takes -name=value"));
        config.decoderOptions << option.left(eq) << option.mid(eq + 1);
    }
    QString error;
    const auto faults =
        Faults::parse(parser.values(fault), parser.value(faultSeed).toULongLong(), &error);
    if (!faults)
        return fail(QStringLiteral("--fault: ") + error);

    quitOnSignals(app);
    std::unique_ptr<Server> server;
    try {
        server = std::make_unique<Server>(config, *faults);
    } catch (const StoreError& e) {
        return fail(QString::fromUtf8(e.what()));
    }
    if (!server->listen(&error))
        return fail(QStringLiteral("cannot listen on %1: %2").arg(config.listen.toString(), error));
    std::printf("parloquent-server: listening on http://%s:%u\n",
                qPrintable(config.listen.toString()), unsigned(server->port()));
    std::printf("parloquent-server: web application on http://%s:%u\n",
                qPrintable(config.listen.toString()), unsigned(server->appPort()));
    std::fflush(stdout);
    if (faults->active())
        std::fprintf(stderr, "parloquent-server: injecting faults: %s\n",
                     qPrintable(faults->describe()));
    const int code = app.exec();
    server.reset();
    return code;
}
