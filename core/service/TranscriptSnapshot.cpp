#include "TranscriptSnapshot.h"

namespace pq {

SegmentView SegmentView::read(const JsonReader& r) {
    return SegmentView{
        .seq = r.integer(QLatin1String("seq")),
        .text = r.string(QLatin1String("text")),
        .start = r.number(QLatin1String("start")),
        .end = r.number(QLatin1String("end")),
        .speaker = r.integer(QLatin1String("speaker")),
        .language = r.optionalString(QLatin1String("language")),
        .translations = r.optionalStringMap(QLatin1String("translations")),
        .suppressed = r.optionalBoolean(QLatin1String("suppressed")),
    };
}

SentenceView SentenceView::read(const JsonReader& r) {
    return SentenceView{
        .sentenceId = r.integer(QLatin1String("sentenceId")),
        .seqs = r.integers(QLatin1String("seqs")),
        .text = r.string(QLatin1String("text")),
        .speaker = r.integer(QLatin1String("speaker")),
        .translations = r.optionalStringMap(QLatin1String("translations")),
    };
}

SpeakerView SpeakerView::read(const JsonReader& r) {
    return SpeakerView{.speaker = r.integer(QLatin1String("speaker")),
                       .name = r.string(QLatin1String("name"))};
}

TranscriptSnapshot TranscriptSnapshot::read(const JsonReader& r) {
    return TranscriptSnapshot{
        .recordingId = r.string(QLatin1String("recordingId")),
        .lastSeq = r.integer(QLatin1String("lastSeq")),
        .segments = r.records<SegmentView>(QLatin1String("segments")),
        .sentences = r.records<SentenceView>(QLatin1String("sentences")),
        .speakers = r.records<SpeakerView>(QLatin1String("speakers")),
        .state = r.string(QLatin1String("state")),
    };
}

} // namespace pq
