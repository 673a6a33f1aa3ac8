#include "Voice.h"

namespace pq {

Voice Voice::read(const JsonReader& r) {
    return Voice{
        .id = r.string(QLatin1String("id")),
        .name = r.string(QLatin1String("name")),
        .state = r.string(QLatin1String("state")),
        .color = r.optionalString(QLatin1String("color")),
        .enabled = r.boolean(QLatin1String("enabled")),
        .draft = r.boolean(QLatin1String("draft")),
    };
}

VoiceList VoiceList::read(const JsonReader& r) {
    return VoiceList{.voices = r.optionalRecords<Voice>(QLatin1String("voices"))};
}

} // namespace pq
