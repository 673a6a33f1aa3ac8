#include "LanguageInfo.h"

namespace pq {

LanguageInfo::LanguageInfo(QString code_, std::optional<QString> flag_, QString name_,
                           QString native_, bool transcription_, bool translation_, bool voice_)
    : code(std::move(code_)), flag(std::move(flag_)), name(std::move(name_)),
      native(std::move(native_)), transcription(transcription_), translation(translation_),
      voice(voice_) {}

LanguageInfo LanguageInfo::read(const JsonReader& r) {
    return LanguageInfo(r.string(QLatin1String("code")), r.optionalString(QLatin1String("flag")),
                        r.string(QLatin1String("name")), r.string(QLatin1String("native")),
                        r.boolean(QLatin1String("transcription")),
                        r.boolean(QLatin1String("translation")), r.boolean(QLatin1String("voice")));
}

LanguageLists LanguageLists::read(const JsonReader& r) {
    return LanguageLists{.languages = r.records<LanguageInfo>(QLatin1String("languages"))};
}

} // namespace pq
