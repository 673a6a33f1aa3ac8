#pragma once

#include "ConnectGrants.h"
#include "StoreRows.h"

#include <QString>
#include <QUrl>

#include <optional>

namespace pq::server {

class BroadcastHub;
class SessionRegistry;
class Store;
class VoiceService;
struct ServerConfig;

// The content of the web application's pages, read from the store and the running service.
// Each method returns a whole page; every user-derived string in it is escaped. Missing items
// throw HttpError 404. `csrf` is the form token of the browser the page goes to.
class WebPages {
public:
    WebPages(Store& store, SessionRegistry& registry, BroadcastHub& broadcasts,
             VoiceService& voices, const ServerConfig& config);

    void setApiBase(const QUrl& base) { m_apiBase = base; }

    QString dashboard(const QString& query, std::optional<qint64> before);
    QString transcription(const QString& id, const QString& csrf);
    QString recording(const QString& transcriptionId, const QString& recordingId);
    QString broadcast(const QString& code, const std::optional<QString>& lang);
    QString developers(const QString& csrf, const QString& newKey = {},
                       const QString& keyName = {});
    QString consent(const ConnectGrants::Request& request, const QString& heldId,
                    const QString& csrf);
    QString voices(const QString& csrf, const QString& lang, const QString& message = {});
    // A page that only says something (errors, refusals).
    static QString message(const QString& title, const QString& text);

private:
    struct State {
        QString text;  // "Recording", "Transcribing 40 %", …
        QString klass; // "live", "ready", "failed" or empty
        std::optional<QString> error;
    };

    State stateOf(const TranscriptionRow& t);
    QString stateBadge(const State& s) const;
    QString transcriptLines(const QString& recordingId, bool anchors);
    QString recordingSection(const TranscriptionRow& t, const RecordingRow& r, int number);
    QString hidden(const QString& csrf) const;

    Store& m_store;
    SessionRegistry& m_registry;
    BroadcastHub& m_broadcasts;
    VoiceService& m_voices;
    const ServerConfig& m_config;
    QUrl m_apiBase;
};

} // namespace pq::server
