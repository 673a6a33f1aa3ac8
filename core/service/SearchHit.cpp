#include "SearchHit.h"

namespace pq {

QString SearchHit::identity() const {
    return recordingId + QLatin1Char('/') + QString::number(sentenceId);
}

SearchHit SearchHit::read(const JsonReader& r) {
    return SearchHit{
        .transcriptionId = r.string(QLatin1String("transcriptionId")),
        .recordingId = r.string(QLatin1String("recordingId")),
        .sentenceId = r.integer(QLatin1String("sentenceId")),
        .linkName = r.string(QLatin1String("linkName")),
        .text = r.string(QLatin1String("text")),
        .rendered = r.optionalString(QLatin1String("rendered")),
        .mediaStart = r.number(QLatin1String("mediaStart")),
    };
}

SearchResults SearchResults::read(const JsonReader& r) {
    return SearchResults{.hits = r.records<SearchHit>(QLatin1String("hits"))};
}

} // namespace pq
