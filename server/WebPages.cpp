#include "WebPages.h"

#include "Auth.h"
#include "BroadcastHub.h"
#include "Html.h"
#include "HttpError.h"
#include "Languages.h"
#include "LiveRecording.h"
#include "SearchText.h"
#include "ServerConfig.h"
#include "SessionRegistry.h"
#include "Store.h"
#include "VoiceService.h"

#include <QFileInfo>
#include <QUrlQuery>

namespace pq::server {

namespace {

QString e(const QString& text) {
    return Html::escape(text);
}

QString n(qint64 v) {
    return QString::number(v);
}

QString scopeText(const QString& scope) {
    if (scope == QLatin1String("read"))
        return QStringLiteral("See your transcriptions, recordings, broadcasts and voices");
    if (scope == QLatin1String("write"))
        return QStringLiteral("Create and change transcriptions, and send files to transcribe");
    if (scope == QLatin1String("recordings:publish"))
        return QStringLiteral("Record live and publish recordings");
    if (scope == QLatin1String("search"))
        return QStringLiteral("Search your transcripts");
    if (scope == QLatin1String("realtime"))
        return QStringLiteral("Show live captions");
    return QStringLiteral("Use your %1").arg(scope);
}

} // namespace

WebPages::WebPages(Store& store, SessionRegistry& registry, BroadcastHub& broadcasts,
                   VoiceService& voices, const ServerConfig& config)
    : m_store(store), m_registry(registry), m_broadcasts(broadcasts), m_voices(voices),
      m_config(config) {}

QString WebPages::message(const QString& title, const QString& text) {
    return Html::page(title, QStringLiteral("<section><h1>") + e(title) +
                                 QStringLiteral("</h1><p>") + e(text) +
                                 QStringLiteral("</p></section>"));
}

QString WebPages::hidden(const QString& csrf) const {
    return QStringLiteral("<input type=\"hidden\" name=\"csrf\" value=\"") + e(csrf) +
           QStringLiteral("\">");
}

WebPages::State WebPages::stateOf(const TranscriptionRow& t) {
    if (!t.live) {
        const auto job = m_store.job(t.id);
        if (!job)
            return {QStringLiteral("Ready"), QStringLiteral("ready"), {}};
        if (job->state == QLatin1String("queued"))
            return {QStringLiteral("Waiting"), {}, {}};
        if (job->state == QLatin1String("fetching"))
            return {QStringLiteral("Fetching %1 %").arg(job->pct), {}, {}};
        if (job->state == QLatin1String("transcribing"))
            return {QStringLiteral("Transcribing %1 %").arg(job->pct), {}, {}};
        if (job->state == QLatin1String("failed"))
            return {QStringLiteral("Failed"), QStringLiteral("failed"), job->error};
        return {QStringLiteral("Ready"), QStringLiteral("ready"), {}};
    }
    if (const LiveRecording* live = m_registry.recordingOf(t.id)) {
        if (live->state() == QLatin1String("paused"))
            return {QStringLiteral("Paused"), QStringLiteral("live"), {}};
        if (live->state() == QLatin1String("stopping"))
            return {QStringLiteral("Finishing"), QStringLiteral("live"), {}};
        return {QStringLiteral("Recording"), QStringLiteral("live"), {}};
    }
    if (!m_store.lastRecording(t.id))
        return {QStringLiteral("Not recorded yet"), {}, {}};
    return {QStringLiteral("Ready"), QStringLiteral("ready"), {}};
}

QString WebPages::stateBadge(const State& s) const {
    return QStringLiteral("<span class=\"state ") + s.klass + QStringLiteral("\">") + e(s.text) +
           QStringLiteral("</span>");
}

QString WebPages::dashboard(const QString& query, std::optional<qint64> before) {
    QString body = QStringLiteral("<h1>Library</h1>"
                                  "<form method=\"get\" action=\"/\" role=\"search\">"
                                  "<input type=\"search\" name=\"q\" placeholder=\"Search your "
                                  "transcripts\" value=\"") +
                   e(query) + QStringLiteral("\"> <button type=\"submit\">Search</button></form>");

    if (!query.trimmed().isEmpty()) {
        body += QStringLiteral("<section><h2>Found</h2>");
        const QString match = SearchText::ftsQuery(query);
        const QList<SearchRow> hits =
            match.isEmpty() ? QList<SearchRow>() : m_store.search(match, 50);
        if (hits.isEmpty())
            body += QStringLiteral("<p class=\"muted\">Nothing matches.</p>");
        for (const SearchRow& h : hits) {
            body += QStringLiteral("<p><a href=\"/transcriptions/") + e(h.transcriptionId) +
                    QStringLiteral("/r/") + e(h.recordingId) + QStringLiteral("#s") +
                    n(h.sentenceId) + QStringLiteral("\">") + e(h.linkName) +
                    QStringLiteral("</a> <span class=\"muted\">") + Html::clock(h.mediaStart) +
                    QStringLiteral("</span><br>") + SearchText::rendered(h.marked) +
                    QStringLiteral("</p>");
        }
        body += QStringLiteral("</section>");
    }

    const QList<BroadcastRow> broadcasts = m_store.broadcasts(true);
    if (!broadcasts.isEmpty()) {
        body += QStringLiteral("<section><h2>Broadcasts</h2><table><tr><th>Name</th>"
                               "<th>Link</th><th>Listening</th></tr>");
        for (const BroadcastRow& b : broadcasts) {
            body += QStringLiteral("<tr><td>") + e(b.name) +
                    QStringLiteral("</td><td><a href=\"/s/") + e(b.code) +
                    QStringLiteral("\">/s/") + e(b.code) + QStringLiteral("</a></td><td>") +
                    n(m_broadcasts.listeners(b.id)) + QStringLiteral("</td></tr>");
        }
        body += QStringLiteral("</table></section>");
    }

    bool more = false;
    const QList<TranscriptionRow> rows = m_store.transcriptions(before, 50, &more);
    body += QStringLiteral("<section><h2>Transcriptions</h2>");
    if (rows.isEmpty()) {
        body += QStringLiteral("<p class=\"muted\">Nothing here yet. Record with the Parloquent "
                               "app, or send it a file.</p>");
    } else {
        body += QStringLiteral("<table><tr><th>Name</th><th>Kind</th><th>State</th>"
                               "<th>Created</th><th>Length</th></tr>");
        for (const TranscriptionRow& t : rows) {
            const State s = stateOf(t);
            const auto last = m_store.lastRecording(t.id);
            body += QStringLiteral("<tr><td><a href=\"/transcriptions/") + e(t.id) +
                    QStringLiteral("\">") + e(t.name) + QStringLiteral("</a></td><td>") +
                    (t.live ? QStringLiteral("Live") : QStringLiteral("File")) +
                    QStringLiteral("</td><td>") + stateBadge(s) + QStringLiteral("</td><td>") +
                    Html::when(t.createdAt) + QStringLiteral("</td><td>") +
                    (last && last->durationS > 0 ? Html::clock(last->durationS) : QString()) +
                    QStringLiteral("</td></tr>");
        }
        body += QStringLiteral("</table>");
        if (more)
            body += QStringLiteral("<p><a href=\"/?before=") + n(rows.last().n) +
                    QStringLiteral("\">Older</a></p>");
    }
    body += QStringLiteral("</section>");
    return Html::page(QStringLiteral("Library"), body);
}

QString WebPages::transcriptLines(const QString& recordingId, bool anchors) {
    QString out = QStringLiteral("<div class=\"transcript\">");
    const QList<SentenceRow> sentences = m_store.sentences(recordingId, -1, std::nullopt);
    if (sentences.isEmpty())
        out += QStringLiteral("<p class=\"muted\">No words yet.</p>");
    for (const SentenceRow& s : sentences) {
        out += anchors ? QStringLiteral("<p id=\"s") + n(s.sentenceId) + QStringLiteral("\">")
                       : QStringLiteral("<p>");
        out += QStringLiteral("<span class=\"time\">") + Html::clock(s.start) +
               QStringLiteral("</span><span class=\"speaker\">Speaker ") + n(s.speaker + 1) +
               QStringLiteral("</span>") + e(s.text) + QStringLiteral("</p>");
    }
    return out + QStringLiteral("</div>");
}

QString WebPages::recordingSection(const TranscriptionRow& t, const RecordingRow& r, int number) {
    QString state = r.state;
    if (const LiveRecording* live = m_registry.recording(r.id))
        state = live->state();
    QString out = QStringLiteral("<section class=\"recording\"><h2>Recording ") + n(number) +
                  QStringLiteral(" <span class=\"muted\">· ") + Html::when(r.createdAt);
    if (r.durationS > 0)
        out += QStringLiteral(" · ") + Html::clock(r.durationS);
    out += QStringLiteral("</span> <span class=\"state\">") + e(state) +
           QStringLiteral("</span></h2>");
    if (r.endedAt && QFileInfo::exists(m_config.mediaPath(r.id)))
        out += QStringLiteral("<audio controls preload=\"none\" src=\"/media/") + e(r.id) +
               QStringLiteral(".wav\"></audio>");
    if (const auto summary = m_store.summary(r.id);
        summary && summary->state == QLatin1String("ready")) {
        out += QStringLiteral("<div class=\"summary\"><strong>") +
               e(summary->title.value_or(QString())) + QStringLiteral("</strong><p>") +
               e(summary->summary.value_or(QString())) + QStringLiteral("</p></div>");
    }
    out += transcriptLines(r.id, false);
    out += QStringLiteral("<p><a href=\"/transcriptions/") + e(t.id) + QStringLiteral("/r/") +
           e(r.id) + QStringLiteral("\">This recording on its own</a></p></section>");
    return out;
}

QString WebPages::transcription(const QString& id, const QString& csrf) {
    const auto t = m_store.transcription(id);
    if (!t)
        throw HttpError::notFound(QStringLiteral("There is no such transcription."));
    const State s = stateOf(*t);
    QString body = QStringLiteral("<h1>") + e(t->name) + QStringLiteral("</h1><p>") +
                   stateBadge(s) + QStringLiteral(" <span class=\"muted\">Created ") +
                   Html::when(t->createdAt) + QStringLiteral("</span></p>");
    if (s.error)
        body += QStringLiteral("<p class=\"error\">") + e(*s.error) + QStringLiteral("</p>");
    if (!t->live) {
        if (const auto job = m_store.job(t->id))
            body += QStringLiteral("<p class=\"muted\">From ") + e(job->fileName) +
                    QStringLiteral("</p>");
    } else {
        body += QStringLiteral("<section><h2>Broadcast</h2>");
        if (const auto b = m_store.broadcastOf(t->id)) {
            body +=
                QStringLiteral("<p>Anyone with this link can follow the live recording in "
                               "their own language: <a href=\"/s/") +
                e(b->code) + QStringLiteral("\">/s/") + e(b->code) + QStringLiteral("</a> · ") +
                n(m_broadcasts.listeners(b->id)) +
                QStringLiteral(" listening</p><form method=\"post\" action=\"/transcriptions/") +
                e(t->id) + QStringLiteral("/broadcast/stop\">") + hidden(csrf) +
                QStringLiteral("<button class=\"danger\" type=\"submit\">Stop "
                               "broadcasting</button></form>");
        } else {
            body += QStringLiteral("<p class=\"muted\">Give people a link to follow this "
                                   "transcription live.</p><form method=\"post\" "
                                   "action=\"/transcriptions/") +
                    e(t->id) + QStringLiteral("/broadcast\">") + hidden(csrf) +
                    QStringLiteral("<button type=\"submit\" id=\"broadcast\">Broadcast</button>"
                                   "</form>");
        }
        body += QStringLiteral("</section>");
    }
    const QList<RecordingRow> recordings = m_store.recordings(t->id);
    if (recordings.isEmpty())
        body += QStringLiteral("<p class=\"muted\">Nothing recorded yet.</p>");
    for (int i = 0; i < recordings.size(); ++i)
        body += recordingSection(*t, recordings[i], i + 1);
    return Html::page(t->name, body);
}

QString WebPages::recording(const QString& transcriptionId, const QString& recordingId) {
    const auto t = m_store.transcription(transcriptionId);
    const auto r = m_store.recording(recordingId);
    if (!t || !r || r->transcriptionId != t->id)
        throw HttpError::notFound(QStringLiteral("There is no such recording."));
    QString body = QStringLiteral("<p><a href=\"/transcriptions/") + e(t->id) +
                   QStringLiteral("\">") + e(t->name) + QStringLiteral("</a></p><h1>") +
                   e(t->name) + QStringLiteral(" <span class=\"muted\">· ") +
                   Html::when(r->createdAt) + QStringLiteral("</span></h1>");
    if (r->endedAt && QFileInfo::exists(m_config.mediaPath(r->id)))
        body += QStringLiteral("<audio controls preload=\"metadata\" src=\"/media/") + e(r->id) +
                QStringLiteral(".wav\"></audio>");
    body +=
        QStringLiteral("<section>") + transcriptLines(r->id, true) + QStringLiteral("</section>");
    return Html::page(t->name, body);
}

QString WebPages::broadcast(const QString& code, const std::optional<QString>& lang) {
    const auto b = m_store.broadcastByCode(code);
    if (!b)
        throw HttpError::notFound(QStringLiteral("There is no broadcast with this code."));
    const auto r = m_broadcasts.recordingOf(*b);
    QString lines;
    qint64 cursor = -1;
    if (r) {
        for (const SentenceRow& s : m_store.sentences(r->id, -1, lang)) {
            lines += QStringLiteral("<p id=\"s") + n(s.sentenceId) +
                     QStringLiteral("\"><span class=\"text\">") +
                     e(s.translation.value_or(s.text)) + QStringLiteral("</span>");
            if (s.translation)
                lines += QStringLiteral("<span class=\"original\">") + e(s.text) +
                         QStringLiteral("</span>");
            lines += QStringLiteral("</p>");
            cursor = std::max(cursor, s.cursor);
        }
    }
    const QString state = r ? r->state : QStringLiteral("none");
    const QString body =
        QStringLiteral("<div id=\"broadcast\" data-code=\"") + e(b->code) +
        QStringLiteral("\" data-recording=\"") + e(r ? r->id : QString()) +
        QStringLiteral("\" data-cursor=\"") + n(cursor) + QStringLiteral("\" data-lang=\"") +
        e(lang.value_or(QString())) + QStringLiteral("\" data-state=\"") + e(state) +
        QStringLiteral("\"><h1>") + e(b->name) +
        QStringLiteral("</h1><p><span id=\"status\" class=\"state\">") +
        (state == QLatin1String("live") ? QStringLiteral("Live now")
                                        : QStringLiteral("Not live right now")) +
        QStringLiteral("</span></p><section class=\"live-lines\"><div id=\"lines\">") + lines +
        QStringLiteral("</div><p id=\"draft\"></p></section></div>"
                       "<script src=\"/static/broadcast.js\"></script>");
    return Html::page(b->name, body);
}

QString WebPages::developers(const QString& csrf, const QString& newKey, const QString& keyName) {
    QString body = QStringLiteral("<h1>Developers</h1><section><h2>The API</h2><p>Parloquent's "
                                  "REST interface answers at <code>") +
                   e(m_apiBase.toString()) +
                   QStringLiteral("/v1/</code>. Send an API key with every request as "
                                  "<code>Authorization: Bearer &lt;key&gt;</code>.</p></section>");
    if (!newKey.isEmpty()) {
        body += QStringLiteral("<section><h2>Your new key “") + e(keyName) +
                QStringLiteral("”</h2><p class=\"key\" id=\"new-key\">") + e(newKey) +
                QStringLiteral("</p><p>Copy it now: it is not shown again.</p></section>");
    }
    body += QStringLiteral("<section><h2>API keys</h2>");
    const QList<KeyRow> keys = m_store.keys();
    if (keys.isEmpty()) {
        body += QStringLiteral("<p class=\"muted\">No keys yet.</p>");
    } else {
        body += QStringLiteral("<table><tr><th>Name</th><th>Id</th><th>Created</th>"
                               "<th>Last used</th><th></th></tr>");
        for (const KeyRow& k : keys) {
            body += QStringLiteral("<tr><td>") + e(k.name) + QStringLiteral("</td><td><code>") +
                    e(k.id) + QStringLiteral("</code></td><td>") + Html::when(k.createdAt) +
                    QStringLiteral("</td><td>") +
                    (k.lastUsedAt ? Html::when(*k.lastUsedAt) : QStringLiteral("never")) +
                    QStringLiteral("</td><td>");
            if (k.revokedAt) {
                body += QStringLiteral("<span class=\"muted\">Revoked</span>");
            } else {
                body += QStringLiteral("<form class=\"inline\" method=\"post\" "
                                       "action=\"/developers/keys/") +
                        e(k.id) + QStringLiteral("/revoke\">") + hidden(csrf) +
                        QStringLiteral("<button class=\"danger\" type=\"submit\">Revoke</button>"
                                       "</form>");
            }
            body += QStringLiteral("</td></tr>");
        }
        body += QStringLiteral("</table>");
    }
    body += QStringLiteral("</section><section><h2>New key</h2><form method=\"post\" "
                           "action=\"/developers/keys\">") +
            hidden(csrf) +
            QStringLiteral("<label>Name <input type=\"text\" name=\"name\" required "
                           "maxlength=\"100\" placeholder=\"My script\"></label> <button "
                           "type=\"submit\">Create key</button></form></section>");
    return Html::page(QStringLiteral("Developers"), body);
}

QString WebPages::consent(const ConnectGrants::Request& request, const QString& heldId,
                          const QString& csrf) {
    QString scopes;
    for (const QString& s : request.scope.split(QLatin1Char(' '), Qt::SkipEmptyParts))
        scopes += QStringLiteral("<li>") + e(scopeText(s)) + QStringLiteral("</li>");
    const QUrl back(request.redirectUri);
    const QString body =
        QStringLiteral("<div class=\"consent card\"><h1>Sign in to Parloquent</h1><p><strong "
                       "id=\"client\">") +
        e(request.clientName) + QStringLiteral("</strong> asks to use Parloquent as <strong>") +
        e(Auth::displayName()) +
        QStringLiteral("</strong>.</p><p>If you allow it, it can:</p><ul>") + scopes +
        QStringLiteral("</ul><p class=\"muted\">Your answer goes back to the application on "
                       "this computer (port ") +
        n(back.port()) +
        QStringLiteral("). It gets an API key of its own, which you can revoke on the "
                       "Developers page.</p><form method=\"post\" action=\"/connect\">") +
        hidden(csrf) + QStringLiteral("<input type=\"hidden\" name=\"request\" value=\"") +
        e(heldId) +
        QStringLiteral("\"><div class=\"buttons\"><button type=\"submit\" name=\"decision\" "
                       "value=\"deny\" class=\"secondary\" id=\"deny\">Deny</button><button "
                       "type=\"submit\" name=\"decision\" value=\"allow\" id=\"allow\">Allow"
                       "</button></div></form></div>");
    return Html::page(QStringLiteral("Sign in"), body);
}

QString WebPages::voices(const QString& csrf, const QString& lang, const QString& message) {
    QString body = QStringLiteral("<h1>Voices</h1>");
    if (!message.isEmpty())
        body += QStringLiteral("<p class=\"error\">") + e(message) + QStringLiteral("</p>");
    body += QStringLiteral("<section><h2>Your voices</h2>");
    const QList<VoiceRow> own = m_store.voices();
    if (own.isEmpty()) {
        body += QStringLiteral("<p class=\"muted\">You have no voices of your own yet.</p>");
    } else {
        body += QStringLiteral("<table><tr><th></th><th>Name</th><th>Based on</th><th>Pitch</th>"
                               "<th>Speed</th><th>State</th><th>Sample</th><th></th></tr>");
        for (const VoiceRow& v : own) {
            const auto base = m_voices.find(v.base);
            body += QStringLiteral("<tr><td><span class=\"swatch\" style=\"background:") +
                    e(v.color) + QStringLiteral("\"></span></td><td>") + e(v.name) +
                    QStringLiteral("</td><td>") + e(base ? base->name : v.base) +
                    QStringLiteral("</td><td>") + n(v.pitch) + QStringLiteral("</td><td>") +
                    n(v.rate) + QStringLiteral("</td><td>") +
                    (v.draft     ? QStringLiteral("Draft")
                     : v.enabled ? QStringLiteral("On")
                                 : QStringLiteral("Off")) +
                    QStringLiteral("</td><td><audio controls preload=\"none\" src=\"/voices/") +
                    e(v.id) + QStringLiteral("/sample.wav\"></audio></td><td>");
            const QString action = QStringLiteral("<form class=\"inline\" method=\"post\" "
                                                  "action=\"/voices/") +
                                   e(v.id) + QStringLiteral("\">") + hidden(csrf);
            if (v.draft) {
                body += action + QStringLiteral("<input type=\"hidden\" name=\"draft\" "
                                                "value=\"0\"><button type=\"submit\">Finish"
                                                "</button></form>");
            } else {
                body += action +
                        QStringLiteral("<input type=\"hidden\" name=\"enabled\" "
                                       "value=\"") +
                        (v.enabled ? QStringLiteral("0") : QStringLiteral("1")) +
                        QStringLiteral("\"><button class=\"secondary\" type=\"submit\">") +
                        (v.enabled ? QStringLiteral("Turn off") : QStringLiteral("Turn on")) +
                        QStringLiteral("</button></form>");
            }
            body += QStringLiteral("</td></tr>");
        }
        body += QStringLiteral("</table>");
    }
    body += QStringLiteral("</section>");

    // Making a voice: any espeak-ng voice with its own pitch and speed.
    QString options;
    for (const VoiceService::Voice& v : m_voices.all())
        options += QStringLiteral("<option value=\"") + e(v.id) + QStringLiteral("\">") +
                   e(v.name) + QStringLiteral(" (") + e(v.language) + QStringLiteral(")</option>");
    body += QStringLiteral("<section><h2>Make a voice</h2><form method=\"post\" "
                           "action=\"/voices\">") +
            hidden(csrf) +
            QStringLiteral("<label>Name <input type=\"text\" name=\"name\" required "
                           "maxlength=\"100\"></label><label>Based on <select name=\"base\">") +
            options +
            QStringLiteral("</select></label><label>Pitch <input type=\"number\" name=\"pitch\" "
                           "min=\"0\" max=\"99\" value=\"50\"></label><label>Speed (words a "
                           "minute) <input type=\"number\" name=\"rate\" min=\"80\" max=\"450\" "
                           "value=\"175\"></label><label><input type=\"checkbox\" name=\"draft\" "
                           "value=\"1\"> Keep as a draft</label> <button type=\"submit\">Make "
                           "voice</button></form></section>");

    // The catalogue of one language.
    QString languages;
    for (const QString& l : m_voices.languages())
        languages += QStringLiteral("<option value=\"") + e(l) + QStringLiteral("\"") +
                     (l == lang ? QStringLiteral(" selected") : QString()) + QStringLiteral(">") +
                     e(l) + QStringLiteral("</option>");
    body += QStringLiteral("<section><h2>Voices for a language</h2><form method=\"get\" "
                           "action=\"/voices\"><select name=\"lang\">") +
            languages +
            QStringLiteral("</select> <button class=\"secondary\" type=\"submit\">Show</button>"
                           "</form><table><tr><th>Name</th><th>Id</th><th>Gender</th>"
                           "<th>Sample</th></tr>");
    const QList<VoiceService::Voice> list = m_voices.forLanguage(lang);
    for (int i = 0; i < list.size(); ++i) {
        const VoiceService::Voice& v = list[i];
        QUrlQuery q;
        q.addQueryItem(QStringLiteral("voice"), v.id);
        q.addQueryItem(QStringLiteral("lang"), lang);
        body += QStringLiteral("<tr><td>") + e(v.name) +
                (i == 0 ? QStringLiteral(" <span class=\"muted\">(default)</span>") : QString()) +
                QStringLiteral("</td><td><code>") + e(v.id) + QStringLiteral("</code></td><td>") +
                e(v.gender) +
                QStringLiteral("</td><td><audio controls preload=\"none\" "
                               "src=\"/voices/sample.wav?") +
                e(q.toString(QUrl::FullyEncoded)) + QStringLiteral("\"></audio></td></tr>");
    }
    body += QStringLiteral("</table></section>");
    return Html::page(QStringLiteral("Voices"), body);
}

} // namespace pq::server
