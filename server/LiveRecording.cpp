#include "LiveRecording.h"

#include "FeedHub.h"
#include "ServerConfig.h"
#include "SqlStatement.h"
#include "Store.h"
#include "Translator.h"
#include "UplinkSession.h"

#include <QLoggingCategory>
#include <QWebSocket>

Q_LOGGING_CATEGORY(lcRecording, "parloquent.server.recording")

namespace pq::server {

LiveRecording::LiveRecording(RecordingRow row, Store& store, FeedHub& feeds, Translator& translator,
                             SpeechEngine& engine, const ServerConfig& config, QObject* parent)
    : QObject(parent), StoredTranscript(row.id, store, feeds, translator, row.lastCursor,
                                        store.nextSentenceId(row.id)),
      m_row(std::move(row)), m_store(store), m_translator(translator), m_engine(engine),
      m_config(config) {}

LiveRecording::~LiveRecording() = default;

double LiveRecording::durationS() const {
    return m_uplink ? m_uplink->receivedSeconds() : 0.0;
}

void LiveRecording::attach(std::unique_ptr<QWebSocket> socket, const QString& sessionId) {
    m_uplink = new UplinkSession(std::move(socket), sessionId, m_engine, m_translator, this,
                                 m_config, this);
    m_uplink->keepSound(m_config.mediaPath(m_row.id));
    connect(m_uplink, &UplinkSession::finished, this, [this] { finalize(); });
    m_uplink->setAccepting(m_row.state == QLatin1String("live"));
    m_uplink->start();
    if (m_row.state == QLatin1String("stopping"))
        m_uplink->finish(QStringLiteral("stopped"));
}

void LiveRecording::setState(const QString& state) {
    if (m_row.state == state)
        return;
    m_row.state = state;
    try {
        m_store.setRecordingState(m_row.id, state);
    } catch (const StoreError& e) {
        qCWarning(lcRecording) << "cannot store the state of" << m_row.id << e.what();
    }
}

bool LiveRecording::pause() {
    if (m_row.state == QLatin1String("paused"))
        return true;
    if (m_row.state != QLatin1String("live"))
        return false;
    setState(QStringLiteral("paused"));
    if (m_uplink) {
        m_uplink->setAccepting(false);
        m_uplink->flushUtterance();
    }
    return true;
}

bool LiveRecording::resume() {
    if (m_row.state == QLatin1String("live"))
        return true;
    if (m_row.state != QLatin1String("paused"))
        return false;
    setState(QStringLiteral("live"));
    if (m_uplink)
        m_uplink->setAccepting(true);
    return true;
}

void LiveRecording::stop(const QString& reason) {
    if (m_finished || m_row.state == QLatin1String("stopping"))
        return;
    setState(QStringLiteral("stopping"));
    if (m_uplink)
        m_uplink->finish(reason); // finalize() follows once the last words are out
    else
        finalize();
}

void LiveRecording::updateSettings(const Settings& settings) {
    m_row.settings = settings;
    try {
        m_store.setRecordingSettings(m_row.id, settings);
    } catch (const StoreError& e) {
        qCWarning(lcRecording) << "cannot store the settings of" << m_row.id << e.what();
    }
}

void LiveRecording::settingsUpdated(const std::optional<QString>& spokenLanguage,
                                    const std::optional<QString>& speakerLabels) {
    Settings s = m_row.settings;
    if (spokenLanguage)
        s.spokenLanguage = *spokenLanguage == QLatin1String("auto") ? std::nullopt : spokenLanguage;
    if (speakerLabels)
        s.speakerLabels = *speakerLabels;
    updateSettings(s);
}

void LiveRecording::finalize() {
    if (m_finished)
        return;
    m_finished = true;
    m_row.state = QStringLiteral("ready");
    try {
        m_store.finishRecording(m_row.id, durationS());
    } catch (const StoreError& e) {
        qCWarning(lcRecording) << "cannot finish" << m_row.id << e.what();
    }
    emit finished(m_row.id);
}

std::optional<qint64> LiveRecording::noop() {
    if (m_finished)
        return std::nullopt;
    const qint64 cursor = nextCursor();
    try {
        m_store.setCursor(m_row.id, cursor);
    } catch (const StoreError& e) {
        qCWarning(lcRecording) << "cannot store the cursor of" << m_row.id << e.what();
    }
    return cursor;
}

} // namespace pq::server
