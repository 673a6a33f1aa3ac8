#include "Languages.h"

#include <QJsonObject>
#include <QRegularExpression>

namespace pq::server {

namespace {

struct Known {
    const char* code;
    const char* flag; // empty: none
    const char* name;
    const char* native;
};

constexpr Known kKnown[] = {
    {"ca", "", "Catalan", "Català"},      {"en", "🇺🇸", "English", "English"},
    {"eo", "", "Esperanto", "Esperanto"}, {"es", "🇪🇸", "Spanish", "Español"},
    {"gl", "", "Galician", "Galego"},     {"sh", "", "Serbo-Croatian", "Srpskohrvatski"},
};

} // namespace

bool Languages::isCode(const QString& code) {
    static const QRegularExpression pattern(QStringLiteral("^[a-z]{2,3}(-[A-Za-z0-9]{2,8})?$"));
    return pattern.match(code).hasMatch();
}

QJsonArray Languages::list(const QStringList& translationTargets,
                           const QStringList& voiceLanguages) {
    QJsonArray out;
    for (const auto& k : kKnown) {
        const QString code = QString::fromLatin1(k.code);
        const bool transcription = isTranscribed(code);
        const bool translation = translationTargets.contains(code);
        if (!transcription && !translation)
            continue;
        QJsonObject o{{QStringLiteral("code"), code},
                      {QStringLiteral("name"), QString::fromUtf8(k.name)},
                      {QStringLiteral("native"), QString::fromUtf8(k.native)},
                      {QStringLiteral("transcription"), transcription},
                      {QStringLiteral("translation"), translation},
                      {QStringLiteral("voice"), voiceLanguages.contains(code)}};
        if (*k.flag)
            o.insert(QStringLiteral("flag"), QString::fromUtf8(k.flag));
        out.append(o);
    }
    return out;
}

} // namespace pq::server
