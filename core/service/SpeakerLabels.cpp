#include "SpeakerLabels.h"

#include "DecodeError.h"
#include "JsonReader.h"

namespace pq {

QList<SpeakerLabels> allSpeakerLabels() {
    return {SpeakerLabels::auto_, SpeakerLabels::on, SpeakerLabels::off};
}

QString rawValue(SpeakerLabels labels) {
    switch (labels) {
    case SpeakerLabels::auto_:
        return QStringLiteral("auto");
    case SpeakerLabels::on:
        return QStringLiteral("on");
    case SpeakerLabels::off:
        return QStringLiteral("off");
    }
    Q_UNREACHABLE();
}

std::optional<SpeakerLabels> speakerLabelsFromRaw(const QString& raw) {
    for (SpeakerLabels labels : allSpeakerLabels())
        if (rawValue(labels) == raw)
            return labels;
    return std::nullopt;
}

SpeakerLabels readSpeakerLabels(const QJsonValue& value, const QString& path) {
    const QString raw = JsonReader::toString(value, path);
    if (const auto labels = speakerLabelsFromRaw(raw))
        return *labels;
    throw DecodeError(path, QStringLiteral("has the unknown value “%1”").arg(raw));
}

} // namespace pq
