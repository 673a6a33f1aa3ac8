#include "SessionOptions.h"

#include <QJsonArray>

namespace pq {

SessionOptions::SessionOptions(std::optional<QString> spokenLanguage_,
                               std::optional<QStringList> translate_,
                               std::optional<SpeakerLabels> speakerLabels_)
    : spokenLanguage(std::move(spokenLanguage_)), translate(std::move(translate_)),
      speakerLabels(speakerLabels_) {}

QJsonObject SessionOptions::toJson() const {
    QJsonObject o;
    if (spokenLanguage)
        o.insert(QLatin1String("spokenLanguage"), *spokenLanguage);
    if (translate)
        o.insert(QLatin1String("translate"), QJsonArray::fromStringList(*translate));
    if (speakerLabels)
        o.insert(QLatin1String("speakerLabels"), rawValue(*speakerLabels));
    return o;
}

} // namespace pq
