#pragma once

#include <QJsonArray>
#include <QString>
#include <QStringList>

namespace pq::server {

// The languages this deployment speaks: English is recognised (Debian's en-us model); reading
// languages are those with an installed apertium pair from English.
class Languages {
public:
    static constexpr const char* kSpoken = "en";

    static bool isTranscribed(const QString& code) { return code == QLatin1String(kSpoken); }
    // A plausible language code: 2–3 letters, optionally a region or script ("pt-BR").
    static bool isCode(const QString& code);
    // The answer of GET /v1/languages, given the reading languages with an engine and the
    // languages with voices.
    static QJsonArray list(const QStringList& translationTargets,
                           const QStringList& voiceLanguages = {});
};

} // namespace pq::server
