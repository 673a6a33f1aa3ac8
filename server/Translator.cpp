#include "Translator.h"

#include "TranslationPipeline.h"

#include <QDir>
#include <QFileInfo>
#include <QMetaObject>
#include <QPointer>

namespace pq::server {

namespace {

// English pairs in Debian, by reading language; the first mode found is used.
struct Pair {
    const char* code;
    const char* modes[2];
};
constexpr Pair kPairs[] = {
    {"ca", {"eng-cat", "en-ca"}}, {"eo", {"en-eo", nullptr}},   {"es", {"eng-spa", "en-es"}},
    {"gl", {"en-gl", nullptr}},   {"sh", {"eng-hbs", nullptr}},
};

} // namespace

Translator::Translator(const QString& modesDir, QObject* parent) : QObject(parent) {
    for (const auto& pair : kPairs) {
        for (const char* mode : pair.modes) {
            if (!mode)
                break;
            const QString file = QDir(modesDir).filePath(QString::fromLatin1(mode) + ".mode");
            // apertium-en-es is an empty placeholder package: check the mode is real.
            if (QFileInfo(file).isFile() && QFileInfo(file).size() > 0) {
                m_modes.insert(QString::fromLatin1(pair.code), file);
                m_targets.append(QString::fromLatin1(pair.code));
                break;
            }
        }
    }
}

Translator::~Translator() = default;

QStringList Translator::translatable(const QStringList& langs) const {
    QStringList out;
    for (const QString& lang : langs) {
        if (canTranslate(lang))
            out.append(lang);
    }
    return out;
}

void Translator::translate(const QString& lang, const QString& text, QObject* context, Done done) {
    const auto mode = m_modes.constFind(lang);
    if (mode == m_modes.constEnd() || text.trimmed().isEmpty()) {
        const std::optional<QString> result =
            mode == m_modes.constEnd() ? std::nullopt : std::optional<QString>(QString());
        QPointer<QObject> guard(context);
        QMetaObject::invokeMethod(
            this,
            [guard, done = std::move(done), result] {
                if (guard)
                    done(result);
            },
            Qt::QueuedConnection);
        return;
    }
    TranslationPipeline*& pipeline = m_pipelines[lang];
    if (!pipeline)
        pipeline = new TranslationPipeline(*mode, this);
    pipeline->translate(text, context, std::move(done));
}

} // namespace pq::server
