#include "Recording.h"

namespace pq {

Recording Recording::read(const JsonReader& r) {
    return Recording{.id = r.string(QLatin1String("id")),
                     .transcriptionId = r.string(QLatin1String("transcriptionId")),
                     .state = r.string(QLatin1String("state"))};
}

PublishGrant PublishGrant::read(const JsonReader& r) {
    return PublishGrant{.recording = r.record<Recording>(QLatin1String("recording")),
                        .sessionId = r.optionalString(QLatin1String("sessionId")),
                        .streamUrl = r.optionalString(QLatin1String("streamUrl"))};
}

CreateSessionResponse CreateSessionResponse::read(const JsonReader& r) {
    return CreateSessionResponse{.sessionId = r.string(QLatin1String("sessionId")),
                                 .streamUrl = r.string(QLatin1String("streamUrl"))};
}

SummaryStatus SummaryStatus::read(const JsonReader& r) {
    return SummaryStatus{.state = r.string(QLatin1String("state")),
                         .summary = r.optionalString(QLatin1String("summary")),
                         .title = r.optionalString(QLatin1String("title"))};
}

} // namespace pq
