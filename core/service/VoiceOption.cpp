#include "VoiceOption.h"

namespace pq {

VoiceOption VoiceOption::read(const JsonReader& r) {
    return VoiceOption{
        .id = r.string(QLatin1String("id")),
        .name = r.string(QLatin1String("name")),
        .cloned = r.boolean(QLatin1String("cloned")),
        .isDefault = r.boolean(QLatin1String("default")),
        .gender = r.optionalString(QLatin1String("gender")),
        .accent = r.optionalString(QLatin1String("accent")),
    };
}

VoiceCatalogue VoiceCatalogue::read(const JsonReader& r) {
    return VoiceCatalogue{.lang = r.string(QLatin1String("lang")),
                          .voices = r.records<VoiceOption>(QLatin1String("voices"))};
}

} // namespace pq
