#include "CaptionSession.h"

#include "Translator.h"
#include "UplinkSession.h"

#include <QWebSocket>

namespace pq::server {

CaptionSession::CaptionSession(QString id, Settings settings, QStringList translate,
                               Translator& translator, SpeechEngine& engine,
                               const ServerConfig& config, QObject* parent)
    : QObject(parent), m_id(std::move(id)), m_settings(std::move(settings)),
      m_translate(std::move(translate)), m_translator(translator), m_engine(engine),
      m_config(config) {}

void CaptionSession::attach(std::unique_ptr<QWebSocket> socket) {
    m_uplink =
        new UplinkSession(std::move(socket), m_id, m_engine, m_translator, this, m_config, this);
    connect(m_uplink, &UplinkSession::finished, this, [this] { emit finished(m_id); });
    m_uplink->start();
}

void CaptionSession::stop() {
    if (m_uplink)
        m_uplink->finish(QStringLiteral("stopped"));
    else
        emit finished(m_id);
}

QStringList CaptionSession::readingLanguages() {
    return m_translator.translatable(m_translate);
}

void CaptionSession::publish(const QJsonObject& event, const QString&) {
    if (m_uplink)
        m_uplink->send(event);
}

void CaptionSession::settingsUpdated(const std::optional<QString>& spokenLanguage,
                                     const std::optional<QString>& speakerLabels) {
    if (spokenLanguage)
        m_settings.spokenLanguage =
            *spokenLanguage == QLatin1String("auto") ? std::nullopt : spokenLanguage;
    if (speakerLabels)
        m_settings.speakerLabels = *speakerLabels;
}

void CaptionSession::translateUpdated(const QStringList& languages) {
    m_translate = languages;
}

} // namespace pq::server
