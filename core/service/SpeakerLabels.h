#pragma once

#include <QJsonValue>
#include <QList>
#include <QString>

#include <optional>

namespace pq {

// Whether the service labels speakers; travels as its raw value.
enum class SpeakerLabels { auto_, on, off };

QList<SpeakerLabels> allSpeakerLabels();
QString rawValue(SpeakerLabels labels);
std::optional<SpeakerLabels> speakerLabelsFromRaw(const QString& raw);
// Throws DecodeError naming `path` for anything but the three raw values.
SpeakerLabels readSpeakerLabels(const QJsonValue& value, const QString& path);

} // namespace pq
