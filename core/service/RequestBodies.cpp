#include "RequestBodies.h"

namespace pq {

QJsonObject LiveTranscriptionBody::toJson() const {
    QJsonObject sourceObject;
    for (auto it = source.begin(); it != source.end(); ++it)
        sourceObject.insert(it.key(), it.value());
    return {{QLatin1String("name"), name},
            {QLatin1String("settings"), settings.toJson()},
            {QLatin1String("source"), sourceObject}};
}

QJsonObject AddressTranscriptionBody::toJson() const {
    QJsonObject o{{QLatin1String("url"), url}, {QLatin1String("settings"), settings.toJson()}};
    if (name)
        o.insert(QLatin1String("name"), *name);
    return o;
}

QJsonObject RecordingStartBody::toJson() const {
    return {{QLatin1String("takeover"), takeover}, {QLatin1String("deviceId"), deviceId}};
}

QJsonObject RecordingStopBody::toJson() const {
    QJsonObject o;
    if (reason)
        o.insert(QLatin1String("reason"), *reason);
    return o;
}

QJsonObject UploadOptions::toJson() const {
    return {{QLatin1String("name"), name}, {QLatin1String("settings"), settings.toJson()}};
}

} // namespace pq
