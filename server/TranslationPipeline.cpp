#include "TranslationPipeline.h"

#include <QLoggingCategory>
#include <QProcess>

#include <csignal>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcTranslate, "parloquent.server.translate")

namespace pq::server {

TranslationPipeline::TranslationPipeline(QString modeFile, QObject* parent)
    : QObject(parent), m_modeFile(std::move(modeFile)) {
    m_watchdog.setSingleShot(true);
    connect(&m_watchdog, &QTimer::timeout, this, [this] {
        qCWarning(lcTranslate) << "no answer from" << m_modeFile << "- restarting it";
        stop();
        failAll();
    });
}

TranslationPipeline::~TranslationPipeline() {
    stop();
    // Callers are not called back from a destructor.
    m_pending.clear();
}

QByteArray TranslationPipeline::escape(const QString& text) {
    QByteArray out;
    const QByteArray utf8 = text.toUtf8();
    out.reserve(utf8.size() + 8);
    for (char c : utf8) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f) {
            out.append(' '); // line breaks and NULs would end the request early
            continue;
        }
        if (QByteArray("\\[]^$/<>@{}*#").contains(c))
            out.append('\\');
        out.append(c);
    }
    return out;
}

QString TranslationPipeline::unescape(const QByteArray& output) {
    QByteArray out;
    out.reserve(output.size());
    for (qsizetype i = 0; i < output.size(); ++i) {
        const char c = output[i];
        if (c == '\\' && i + 1 < output.size()) {
            out.append(output[++i]);
        } else if (c == '*' || c == '#' || c == '@') {
            continue; // marks of unknown or ungenerated words
        } else if (c != '\0') {
            out.append(c);
        }
    }
    return QString::fromUtf8(out).trimmed();
}

bool TranslationPipeline::start() {
    if (m_process)
        return true;
    if (m_script.isEmpty()) {
        QProcess mode;
        mode.start(QStringLiteral("apertium-wblank-mode"), {QStringLiteral("-z"), m_modeFile});
        if (!mode.waitForFinished(10'000) || mode.exitCode() != 0) {
            qCWarning(lcTranslate) << "cannot read the mode" << m_modeFile;
            mode.kill();
            mode.waitForFinished(1000);
            return false;
        }
        m_script = QString::fromUtf8(mode.readAllStandardOutput()).trimmed();
        if (m_script.isEmpty())
            return false;
    }
    m_process = new QProcess(this);
    // Its own process group, so the whole chain can be ended at once.
    m_process->setChildProcessModifier([] { ::setsid(); });
    m_process->setProcessChannelMode(QProcess::SeparateChannels);
    m_process->setStandardErrorFile(QProcess::nullDevice());
    connect(m_process, &QProcess::readyReadStandardOutput, this, &TranslationPipeline::onOutput);
    connect(m_process, &QProcess::finished, this, [this] {
        qCWarning(lcTranslate) << "the pipeline of" << m_modeFile << "ended";
        m_process->deleteLater();
        m_process = nullptr;
        m_buffer.clear();
        m_watchdog.stop();
        failAll();
    });
    // $1 = "-n": no marks on unknown words; $2 = tagger options (none).
    m_process->start(QStringLiteral("bash"),
                     {QStringLiteral("-c"), m_script, QStringLiteral("apertium"),
                      QStringLiteral("-n"), QString()});
    if (!m_process->waitForStarted(5000)) {
        qCWarning(lcTranslate) << "cannot start the pipeline of" << m_modeFile;
        delete m_process;
        m_process = nullptr;
        return false;
    }
    return true;
}

qint64 TranslationPipeline::processGroup() const {
    return m_process ? m_process->processId() : 0;
}

void TranslationPipeline::stop() {
    if (!m_process)
        return;
    QProcess* process = m_process;
    m_process = nullptr;
    process->disconnect(this);
    const qint64 pid = process->processId();
    if (pid > 0)
        ::kill(-pid_t(pid), SIGKILL);
    process->waitForFinished(2000);
    delete process;
    m_buffer.clear();
    m_watchdog.stop();
}

void TranslationPipeline::translate(const QString& text, QObject* context, Done done) {
    if (int(m_pending.size()) >= kMaxPending || !start()) {
        finish(Request{context, std::move(done)}, std::nullopt);
        return;
    }
    m_pending.push_back(Request{context, std::move(done)});
    m_process->write(escape(text) + QByteArray("\n\0", 2));
    if (!m_watchdog.isActive())
        m_watchdog.start(kAnswerTimeoutMs);
}

void TranslationPipeline::onOutput() {
    if (!m_process)
        return;
    m_buffer.append(m_process->readAllStandardOutput());
    qsizetype nul;
    while ((nul = m_buffer.indexOf('\0')) >= 0) {
        const QByteArray answer = m_buffer.left(nul);
        m_buffer.remove(0, nul + 1);
        if (m_pending.empty())
            continue; // stray terminator
        Request request = std::move(m_pending.front());
        m_pending.pop_front();
        finish(std::move(request), unescape(answer));
    }
    if (m_pending.empty())
        m_watchdog.stop();
    else
        m_watchdog.start(kAnswerTimeoutMs);
}

void TranslationPipeline::failAll() {
    std::deque<Request> pending;
    pending.swap(m_pending);
    for (auto& r : pending)
        finish(std::move(r), std::nullopt);
}

void TranslationPipeline::finish(Request request, std::optional<QString> result) {
    // Always later, never from inside translate(): callers may hold state across the call.
    QObject* context = request.context.data();
    if (!context)
        return;
    QMetaObject::invokeMethod(
        context, [done = std::move(request.done), result = std::move(result)] { done(result); },
        Qt::QueuedConnection);
}

} // namespace pq::server
