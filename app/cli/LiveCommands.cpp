#include "LiveCommands.h"

#include "API.h"
#include "AppResolver.h"
#include "AudioProcesses.h"
#include "CaptureError.h"
#include "Credentials.h"
#include "DesktopEntries.h"
#include "Interrupts.h"
#include "PulseAudioInputs.h"
#include "PulseAudioServer.h"
#include "Terminal.h"
#include "TranscriptPrinter.h"

#include <QCoreApplication>
#include <QCoroFuture>
#include <QElapsedTimer>
#include <QFuture>
#include <QLocale>
#include <QPromise>
#include <QTime>

#include <memory>

namespace pq::cli {

namespace {

struct MeetingApp {
    const char* name;
    QStringList ids;
};

// The known meeting applications, by their Linux application ids.
const QList<MeetingApp>& meetingApps() {
    static const QList<MeetingApp> apps{
        {"Zoom", {"us.zoom.Zoom", "zoom"}},
        {"Microsoft Teams",
         {"com.github.IsmaelMartinez.teams_for_linux", "teams-for-linux", "teams"}},
        {"Webex", {"com.cisco.webex", "webex"}},
        {"Discord", {"com.discordapp.Discord", "discord"}},
    };
    return apps;
}

const MeetingApp* meetingApp(const QString& id) {
    for (const MeetingApp& app : meetingApps())
        if (app.ids.contains(id))
            return &app;
    return nullptr;
}

constexpr qint64 repeatedSignalMs = 500;

QString now() {
    return QLocale::system().toString(QTime::currentTime(), QLocale::ShortFormat);
}

// The terminal's side of a run: transcript and state changes are shown, the first Ctrl-C stops
// the run, a second one stops waiting for it. `over` is finished when the run has ended or the
// user gave up waiting (then `abandoned` is set).
void watch(LiveSession& session, TranscriptPrinter& printer, Interrupts& interrupts,
           std::shared_ptr<QPromise<void>> over, std::shared_ptr<bool> abandoned) {
    const auto finishOver = [over] {
        if (!over->future().isFinished())
            over->finish();
    };
    QObject::connect(&session, &LiveSession::transcriptChanged, &session, [&session, &printer] {
        printer.show(session.transcript(), session.labelsSpeakers());
    });
    QObject::connect(&session, &LiveSession::stateChanged, &session, [&session, &printer] {
        const bool record = session.mode().isRecord();
        switch (session.state()) {
        case LiveSession::State::live:
            if (!session.paused())
                printer.note(record ? QStringLiteral("Recording “%1”. Press Ctrl-C to stop.")
                                          .arg(session.name())
                                    : QStringLiteral("Captions of %1. Press Ctrl-C to stop.")
                                          .arg(session.name()));
            break;
        case LiveSession::State::stopping:
            printer.note(QStringLiteral("Stopping…"));
            break;
        case LiveSession::State::done:
            if (record && session.mode().meeting && session.recordingId())
                printer.note(
                    QStringLiteral("Waiting for the meeting summary (Ctrl-C to skip it)…"));
            break;
        default:
            break;
        }
    });
    QObject::connect(&session, &LiveSession::ended, &session, finishOver);
    // One signal can arrive twice (`timeout` sends it to the process and to its group): only a
    // second interrupt a moment after the first gives up waiting.
    auto firstInterrupt = std::make_shared<QElapsedTimer>();
    QObject::connect(&interrupts, &Interrupts::interrupted, &session,
                     [&session, abandoned, finishOver, firstInterrupt] {
                         if (!firstInterrupt->isValid()) {
                             firstInterrupt->start();
                             if (!session.stopping())
                                 QCoro::connect(session.stop(), &session, [] {});
                             return;
                         }
                         if (firstInterrupt->elapsed() < repeatedSignalMs)
                             return;
                         *abandoned = true;
                         finishOver();
                     });
}

} // namespace

bool LiveCommands::isMeetingApp(const QString& id) {
    return meetingApp(id) != nullptr;
}

QString LiveCommands::recordingName(const Run& run, const QString& appName) {
    if (run.name)
        return *run.name;
    const QString separator = QStringLiteral(" · ");
    if (!run.mode.isRecord())
        return appName;
    switch (run.source) {
    case AudioSource::Kind::mac:
        return QStringLiteral("Recording from your computer") + separator + now();
    case AudioSource::Kind::mic:
        return QStringLiteral("Voice note") + separator + now();
    case AudioSource::Kind::app:
        break;
    }
    if (const MeetingApp* meeting = meetingApp(run.app))
        return QString::fromUtf8(meeting->name) + QStringLiteral(" call") + separator + now();
    return QStringLiteral("Recording from ") + appName + separator + now();
}

QCoro::Task<int> LiveCommands::live(Run run) {
    const Env env = Env::current();
    QCoro::Task<std::optional<QString>> reading = m_credentials.keyForCommand(env.name);
    const std::optional<QString> key = co_await std::move(reading);
    if (!key)
        co_return 1;
    API api(env, key);
    PulseAudioServer server;
    DesktopEntries entries;
    AppResolver resolver(entries);
    PulseAudioInputs inputs(server, resolver);

    AudioSource source = run.source == AudioSource::Kind::mac   ? AudioSource::mac()
                         : run.source == AudioSource::Kind::mic ? AudioSource::mic()
                                                                : AudioSource();
    if (run.source == AudioSource::Kind::app) {
        // The name the desktop shows for it; the session finds out whether it plays at all.
        QCoro::Task<std::vector<AudioProcess>> listing = inputs.processes();
        std::vector<AudioProcess> all;
        try {
            all = co_await std::move(listing);
        } catch (...) {
            // No sound server: the session says so when it starts.
        }
        const AudioProcesses processes(server, resolver);
        QString appName;
        for (const AudioProcess& p : AudioProcesses::of(run.app, all)) {
            if (const auto app = processes.app(p)) {
                appName = app->name;
                break;
            }
        }
        source = AudioSource::app(run.app, appName.isEmpty() ? run.app : appName);
    }
    const bool withMic = run.withMic || run.source == AudioSource::Kind::mic;
    LiveSession::Mode mode = run.mode;
    if (mode.isRecord())
        mode.meeting = run.source == AudioSource::Kind::app && isMeetingApp(run.app);

    // Made before the session, so it outlives everything the session may still tell it.
    TranscriptPrinter printer(mode.isRecord() ? LiveSession::panelWords : captionWords,
                              Terminal::outputIsTerminal());
    LiveSession session(&api, inputs, mode, source, withMic, recordingName(run, source.name),
                        SettingsPatch(), run.reading);
    auto over = std::make_shared<QPromise<void>>();
    over->start();
    const QFuture<void> ended = over->future();
    auto abandoned = std::make_shared<bool>(false);
    watch(session, printer, m_interrupts, over, abandoned);

    QCoro::Task<void> starting = session.start();
    co_await std::move(starting);
    if (!session.hasEnded() && !*abandoned)
        co_await ended;
    printer.finish(session.transcript(), session.labelsSpeakers());
    if (*abandoned) {
        Terminal::printError(QStringLiteral("Stopped without waiting for the end of the run."));
        co_return 130;
    }
    if (session.state() == LiveSession::State::failed) {
        Terminal::printError(session.failure());
        co_return 1;
    }
    if (const auto& summary = session.summary(); summary && summary->summary) {
        Terminal::print(QString());
        Terminal::print(QStringLiteral("Summary: ") + summary->title.value_or(session.name()));
        Terminal::print(*summary->summary);
    }
    co_return 0;
}

QCoro::Task<int> LiveCommands::apps() {
    PulseAudioServer server;
    DesktopEntries entries;
    AppResolver resolver(entries);
    QCoro::Task<int> connecting = server.connect();
    const int connected = co_await std::move(connecting);
    if (connected != 0) {
        Terminal::printError(CaptureError::tap(connected).description());
        co_return 1;
    }
    const AudioProcesses processes(server, resolver);
    const auto self = static_cast<int>(QCoreApplication::applicationPid());
    QStringList ids;
    QStringList names;
    for (const AudioProcess& p : processes.all()) {
        if (!p.playing || p.bundleID.isEmpty() || p.pid == self || ids.contains(p.bundleID))
            continue;
        const auto app = processes.app(p);
        ids.append(p.bundleID);
        names.append(app && !app->name.isEmpty() ? app->name : p.bundleID);
    }
    if (ids.isEmpty()) {
        Terminal::printError(QStringLiteral("No application is playing sound right now."));
        co_return 0;
    }
    qsizetype width = 0;
    for (const QString& id : ids)
        width = std::max(width, id.size());
    for (qsizetype i = 0; i < ids.size(); ++i)
        Terminal::print(ids[i].leftJustified(width) + QStringLiteral("  ") + names[i]);
    co_return 0;
}

} // namespace pq::cli
