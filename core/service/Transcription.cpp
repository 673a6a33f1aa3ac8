#include "Transcription.h"

namespace pq {

JobProgress JobProgress::read(const JsonReader& r) {
    return JobProgress{.pct = r.integer(QLatin1String("pct")),
                       .phase = r.optionalString(QLatin1String("phase"))};
}

TranscriptionJob TranscriptionJob::read(const JsonReader& r) {
    return TranscriptionJob{
        .state = r.string(QLatin1String("state")),
        .recordingId = r.string(QLatin1String("recordingId")),
        .progress = r.record<JobProgress>(QLatin1String("progress")),
        .error = r.optionalString(QLatin1String("error")),
    };
}

LastRecording LastRecording::read(const JsonReader& r) {
    return LastRecording{
        .recordingId = r.string(QLatin1String("recordingId")),
        .state = r.string(QLatin1String("state")),
        .durationS = r.optionalNumber(QLatin1String("durationS")),
        .title = r.optionalString(QLatin1String("title")),
    };
}

CurrentRecording CurrentRecording::read(const JsonReader& r) {
    return CurrentRecording{.recordingId = r.string(QLatin1String("recordingId")),
                            .state = r.string(QLatin1String("state"))};
}

Transcription Transcription::read(const JsonReader& r) {
    return Transcription{
        .id = r.string(QLatin1String("id")),
        .name = r.string(QLatin1String("name")),
        .createdAt = r.string(QLatin1String("createdAt")),
        .live = r.optionalBoolean(QLatin1String("live")),
        .job = r.optionalRecord<TranscriptionJob>(QLatin1String("job")),
        .lastRecording = r.optionalRecord<LastRecording>(QLatin1String("lastRecording")),
        .currentRecording = r.optionalRecord<CurrentRecording>(QLatin1String("currentRecording")),
    };
}

TranscriptionPage TranscriptionPage::read(const JsonReader& r) {
    return TranscriptionPage{
        .transcriptions = r.records<Transcription>(QLatin1String("transcriptions")),
        .nextCursor = r.optionalString(QLatin1String("nextCursor")),
    };
}

} // namespace pq
