#include "SettingsPatch.h"

namespace pq {

SettingsPatch::SettingsPatch(std::optional<QString> spokenLanguage_,
                             std::optional<SpeakerLabels> speakerLabels_)
    : spokenLanguage(std::move(spokenLanguage_)), speakerLabels(speakerLabels_) {}

QJsonObject SettingsPatch::toJson() const {
    QJsonObject o;
    o.insert(QLatin1String("spokenLanguage"),
             spokenLanguage ? QJsonValue(*spokenLanguage) : QJsonValue(QJsonValue::Null));
    if (speakerLabels)
        o.insert(QLatin1String("speakerLabels"), rawValue(*speakerLabels));
    return o;
}

} // namespace pq
