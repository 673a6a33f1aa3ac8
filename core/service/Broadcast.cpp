#include "Broadcast.h"

namespace pq {

Broadcast Broadcast::read(const JsonReader& r) {
    return Broadcast{
        .id = r.string(QLatin1String("id")),
        .name = r.string(QLatin1String("name")),
        .code = r.string(QLatin1String("code")),
        .createdAt = r.string(QLatin1String("createdAt")),
        .lastRecordedAt = r.optionalString(QLatin1String("lastRecordedAt")),
        .lastRecording = r.optionalRecord<LastRecording>(QLatin1String("lastRecording")),
        .currentRecording = r.optionalRecord<CurrentRecording>(QLatin1String("currentRecording")),
        .listenersNow = r.optionalInteger(QLatin1String("listenersNow")),
    };
}

BroadcastPage BroadcastPage::read(const JsonReader& r) {
    return BroadcastPage{.broadcasts = r.records<Broadcast>(QLatin1String("broadcasts"))};
}

} // namespace pq
