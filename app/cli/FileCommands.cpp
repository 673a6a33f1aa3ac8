#include "FileCommands.h"

#include "API.h"
#include "Credentials.h"
#include "Interrupts.h"
#include "Terminal.h"
#include "Transcript.h"
#include "TranscriptPrinter.h"
#include "TransportError.h"
#include "Wait.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QTemporaryDir>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <memory>
#include <stop_token>

namespace pq::cli {

namespace {

using namespace std::chrono_literals;

constexpr auto pollInterval = 1s;
constexpr int transcriptWords = 60;

// Why a file cannot be sent, if it cannot.
std::optional<QString> fileProblem(const QString& file) {
    const QFileInfo info(file);
    if (!info.exists())
        return QStringLiteral("%1: no such file.").arg(file);
    if (info.isDir())
        return QStringLiteral("%1: is a folder, not a file.").arg(file);
    if (!info.isReadable())
        return QStringLiteral("%1: the file cannot be read.").arg(file);
    return std::nullopt;
}

// The service names an upload after its file: a link named as the user asked stands in for it.
QString namedLink(const QTemporaryDir& links, int index, const QString& file, QString name) {
    name.replace(QLatin1Char('/'), QLatin1Char('-'));
    const QString folder = links.filePath(QString::number(index));
    QDir().mkpath(folder);
    const QString suffix = QFileInfo(file).suffix();
    const QString link =
        folder + QLatin1Char('/') + name + (suffix.isEmpty() ? QString() : "." + suffix);
    if (!QFile::link(QFileInfo(file).absoluteFilePath(), link))
        return file;
    return link;
}

bool isCancellation(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const TransportError& e) {
        return e.cancelled();
    } catch (...) {
        return false;
    }
}

// The upload's progress on a terminal: reports come from the transfer's thread, the bar is drawn
// on the main thread a few times a second.
class ProgressView {
public:
    ProgressView(QString label, bool shown)
        : m_label(std::move(label)), m_fraction(std::make_shared<std::atomic<double>>(0.0)) {
        if (!shown)
            return;
        m_timer = std::make_unique<QTimer>();
        QObject::connect(m_timer.get(), &QTimer::timeout, m_timer.get(), [this] { draw(); });
        m_timer->start(100);
        draw();
    }
    API::Progress report() const {
        return [fraction = m_fraction](double f) { fraction->store(f); };
    }
    void end(bool sent) {
        if (!m_timer)
            return;
        m_timer.reset();
        if (sent) {
            m_fraction->store(1.0);
            draw();
            std::fputs("\n", stderr);
        } else {
            Terminal::clearLine(true);
        }
    }

private:
    void draw() const {
        Terminal::rewrite(FileCommands::progressBar(m_label, m_fraction->load(), Terminal::width()),
                          true);
    }

    QString m_label;
    std::shared_ptr<std::atomic<double>> m_fraction;
    std::unique_ptr<QTimer> m_timer;
};

QMetaObject::Connection cancelOnInterrupt(Interrupts& interrupts, QObject* context,
                                          std::stop_source& cancel) {
    return QObject::connect(&interrupts, &Interrupts::interrupted, context,
                            [&cancel] { cancel.request_stop(); });
}

QString transcriptText(const TranscriptSnapshot& snapshot) {
    Transcript transcript;
    transcript.apply(snapshot);
    const QList<Transcript::Line> lines = transcript.lines(transcriptWords);
    QSet<qint64> speakers;
    for (const auto& line : lines)
        speakers.insert(line.speaker);
    QStringList out;
    for (const auto& line : lines)
        out.append(TranscriptPrinter::format(line, transcript, speakers.size() > 1));
    return out.join(QLatin1Char('\n'));
}

struct Upload {
    QString label;
    Transcription transcription;
};

// A step of `label` failed: a cancellation ends the command, anything else is shown and the
// other files go on.
void noteFailure(const QString& label, std::exception_ptr failure, bool& cancelled, bool& failed) {
    if (isCancellation(failure)) {
        cancelled = true;
        return;
    }
    Terminal::printError(label + QStringLiteral(": ") + describe(failure));
    failed = true;
}

} // namespace

bool FileCommands::isPending(const QString& jobState) {
    return jobState == QLatin1String("queued") || jobState == QLatin1String("fetching") ||
           jobState == QLatin1String("transcribing");
}

QString FileCommands::progressBar(const QString& name, double fraction, int columns) {
    fraction = std::clamp(fraction, 0.0, 1.0);
    const QString percent = QStringLiteral("%1%").arg(int(fraction * 100.0), 3);
    // name, two spaces, [bar], two spaces, percent
    const int room = columns - 1 - int(percent.size()) - 6;
    const int bar = std::clamp(room - int(name.size()), 10, 30);
    QString label = name;
    const int nameRoom = std::max(0, room - bar);
    if (label.size() > nameRoom)
        label = nameRoom > 1 ? label.left(nameRoom - 1) + QStringLiteral("…") : QString();
    const int filled = int(fraction * bar + 0.5);
    return label + QStringLiteral("  [") + QString(filled, QLatin1Char('#')) +
           QString(bar - filled, QLatin1Char('-')) + QStringLiteral("]  ") + percent;
}

QCoro::Task<int> FileCommands::transcribe(QStringList files, std::optional<QString> name,
                                          std::optional<QString> language) {
    const Env env = Env::current();
    QCoro::Task<std::optional<QString>> reading = m_credentials.keyForCommand(env.name);
    const std::optional<QString> key = co_await std::move(reading);
    if (!key)
        co_return 1;
    API api(env, key);
    std::stop_source cancel;
    const QMetaObject::Connection interrupt = cancelOnInterrupt(m_interrupts, &api, cancel);
    const SettingsPatch settings(language, std::nullopt);
    QTemporaryDir links;
    bool failed = false;
    bool cancelled = false;

    // Every file is sent first, one at a time with its bar; then the jobs are waited for.
    QList<Upload> uploads;
    for (int i = 0; i < files.size() && !cancelled; ++i) {
        const QString& file = files[i];
        const QString label = QFileInfo(file).fileName();
        if (const auto problem = fileProblem(file)) {
            Terminal::printError(*problem);
            failed = true;
            continue;
        }
        const QString path = name ? namedLink(links, i, file, *name) : file;
        ProgressView view(label, Terminal::errorIsTerminal());
        QCoro::Task<Transcription> uploading =
            api.upload(path, settings, view.report(), cancel.get_token());
        try {
            Transcription created = co_await std::move(uploading);
            view.end(true);
            uploads.append(Upload{label, std::move(created)});
        } catch (...) {
            view.end(false);
            noteFailure(label, std::current_exception(), cancelled, failed);
        }
    }

    for (qsizetype u = 0; u < uploads.size() && !cancelled; ++u) {
        const QString& label = uploads[u].label;
        Transcription current = uploads[u].transcription;
        std::optional<QString> problem;
        while (current.job && isPending(current.job->state)) {
            QCoro::Task<bool> waiting = sleepFor(pollInterval, cancel.get_token());
            if (!co_await std::move(waiting)) {
                cancelled = true;
                break;
            }
            QCoro::Task<Transcription> asking = api.json<Transcription>(
                "GET", QStringLiteral("/v1/transcriptions/") + API::segment(current.id),
                API::Query(), std::nullopt, false, cancel.get_token());
            try {
                current = co_await std::move(asking);
            } catch (...) {
                if (isCancellation(std::current_exception()))
                    cancelled = true;
                else
                    problem = describe(std::current_exception());
                break;
            }
        }
        if (cancelled)
            break;
        std::optional<QString> recording;
        if (!problem && current.job && current.job->state == QLatin1String("failed"))
            problem = current.job->error.value_or(
                QStringLiteral("Parloquent could not transcribe this file."));
        else if (current.job)
            recording = current.job->recordingId;
        else if (current.lastRecording)
            recording = current.lastRecording->recordingId;
        if (!problem && (!recording || recording->isEmpty()))
            problem = QStringLiteral("Parloquent gave no transcript for this file.");
        if (problem) {
            Terminal::printError(label + QStringLiteral(": ") + *problem);
            failed = true;
            continue;
        }
        QCoro::Task<TranscriptSnapshot> fetching =
            api.transcript(*recording, std::nullopt, std::nullopt, cancel.get_token());
        try {
            const TranscriptSnapshot snapshot = co_await std::move(fetching);
            if (uploads.size() > 1 || files.size() > 1)
                Terminal::print(QStringLiteral("== %1 ==").arg(label));
            const QString text = transcriptText(snapshot);
            if (text.isEmpty())
                Terminal::printError(label + QStringLiteral(": no speech was heard."));
            else
                Terminal::print(text);
        } catch (...) {
            noteFailure(label, std::current_exception(), cancelled, failed);
        }
    }
    QObject::disconnect(interrupt);
    if (cancelled) {
        Terminal::printError(QStringLiteral("Cancelled."));
        co_return 130;
    }
    co_return failed ? 1 : 0;
}

} // namespace pq::cli
