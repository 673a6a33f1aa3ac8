#include "VoiceService.h"

#include "MainThreadQueue.h"
#include "WorkerThread.h"

#include <QLoggingCategory>
#include <QPointer>

#include <espeak-ng/speak_lib.h>

#include <future>

Q_LOGGING_CATEGORY(lcVoices, "parloquent.server.voices")

namespace pq::server {

namespace {

// What one synthesis collects, through espeak-ng's callback.
struct Collect {
    std::vector<short> samples;
    static constexpr size_t kMax = 22050 * 60; // a minute is plenty for a sample
};

int collect(short* wav, int count, espeak_EVENT* events) {
    if (!events || !events->user_data)
        return 1;
    auto* c = static_cast<Collect*>(events->user_data);
    if (wav && count > 0) {
        if (c->samples.size() + size_t(count) > Collect::kMax)
            return 1; // stop
        c->samples.insert(c->samples.end(), wav, wav + count);
    }
    return 0;
}

QList<VoiceService::Voice> listVoices() {
    QList<VoiceService::Voice> out;
    const espeak_VOICE** voices = espeak_ListVoices(nullptr);
    for (int i = 0; voices && voices[i]; ++i) {
        const espeak_VOICE* v = voices[i];
        if (!v->identifier || !v->name || !v->languages)
            continue;
        const QString id = QString::fromUtf8(v->identifier);
        if (id.startsWith(QLatin1String("mb/")))
            continue; // mbrola: listed, but its data is not installed
        VoiceService::Voice voice;
        voice.id = id;
        voice.name = QString::fromUtf8(v->name).replace(QLatin1Char('_'), QLatin1Char(' '));
        // languages: (priority byte, name, NUL)…, NUL
        for (const char* p = v->languages; *p;) {
            const int priority = static_cast<unsigned char>(*p++);
            const QString lang = QString::fromUtf8(p).toLower();
            if (voice.languages.isEmpty())
                voice.priority = priority;
            voice.languages.append(lang);
            p += strlen(p) + 1;
        }
        if (voice.languages.isEmpty())
            continue;
        voice.language = voice.languages.first();
        voice.gender = v->gender == 1   ? QStringLiteral("male")
                       : v->gender == 2 ? QStringLiteral("female")
                                        : QString();
        out.append(voice);
    }
    return out;
}

} // namespace

VoiceService::VoiceService(QObject* parent)
    : QObject(parent), m_worker(std::make_unique<WorkerThread>(QStringLiteral("voices"))),
      m_results(new MainThreadQueue(this)) {
    // espeak-ng is only ever touched on the worker; the start waits for its list of voices.
    std::promise<std::pair<int, QList<Voice>>> started;
    auto ready = started.get_future();
    m_worker->post([&started] {
        const int rate =
            espeak_Initialize(AUDIO_OUTPUT_SYNCHRONOUS, 0, nullptr, espeakINITIALIZE_DONT_EXIT);
        if (rate <= 0) {
            started.set_value({0, {}});
            return;
        }
        espeak_SetSynthCallback(collect);
        started.set_value({rate, listVoices()});
    });
    auto [rate, voices] = ready.get();
    m_rate = rate;
    m_voices = voices;
    if (m_rate <= 0)
        qCWarning(lcVoices) << "espeak-ng could not start: no voices";
}

VoiceService::~VoiceService() {
    const bool started = m_rate > 0;
    m_worker->stop([started] {
        if (started)
            espeak_Terminate();
    });
}

QList<VoiceService::Voice> VoiceService::forLanguage(const QString& lang) const {
    const QString want = lang.toLower();
    auto matches = [&want](const QString& l) {
        return l == want || l.startsWith(want + QLatin1Char('-'));
    };
    QList<Voice> out;
    for (const Voice& v : m_voices) {
        if (std::any_of(v.languages.begin(), v.languages.end(), matches))
            out.append(v);
    }
    // The preferred voice: one made for exactly this language, of the best priority.
    std::stable_sort(out.begin(), out.end(), [&want](const Voice& a, const Voice& b) {
        const bool ea = a.language == want;
        const bool eb = b.language == want;
        if (ea != eb)
            return ea;
        if (a.priority != b.priority)
            return a.priority < b.priority;
        return a.name < b.name;
    });
    return out;
}

std::optional<VoiceService::Voice> VoiceService::find(const QString& id) const {
    for (const Voice& v : m_voices) {
        if (v.id == id)
            return v;
    }
    return std::nullopt;
}

QStringList VoiceService::languages() const {
    QStringList out;
    for (const Voice& v : m_voices) {
        for (const QString& l : v.languages) {
            const QString primary = l.section(QLatin1Char('-'), 0, 0);
            if (!out.contains(primary))
                out.append(primary);
        }
    }
    out.sort();
    return out;
}

QString VoiceService::sampleText(const QString& lang) {
    static const QHash<QString, QString> texts{
        {QStringLiteral("en"), QStringLiteral("Hello! This is how this voice sounds.")},
        {QStringLiteral("es"), QStringLiteral("¡Hola! Así suena esta voz.")},
        {QStringLiteral("ca"), QStringLiteral("Hola! Així sona aquesta veu.")},
        {QStringLiteral("gl"), QStringLiteral("Ola! Así soa esta voz.")},
        {QStringLiteral("eo"), QStringLiteral("Saluton! Tiel sonas ĉi tiu voĉo.")},
        {QStringLiteral("fr"), QStringLiteral("Bonjour ! Voici comment sonne cette voix.")},
        {QStringLiteral("de"), QStringLiteral("Hallo! So klingt diese Stimme.")},
        {QStringLiteral("it"), QStringLiteral("Ciao! Ecco come suona questa voce.")},
        {QStringLiteral("pt"), QStringLiteral("Olá! É assim que esta voz soa.")},
        {QStringLiteral("nl"), QStringLiteral("Hallo! Zo klinkt deze stem.")},
    };
    return texts.value(lang.section(QLatin1Char('-'), 0, 0).toLower(),
                       texts.value(QStringLiteral("en")));
}

QString VoiceService::colorFor(int index) {
    static const char* const palette[] = {"#4057d6", "#d6405e", "#2f9e6e", "#c98a14",
                                          "#8a4fd6", "#1f8fb3", "#d66a2f", "#5c6b7a"};
    return QString::fromLatin1(palette[std::abs(index) % 8]);
}

void VoiceService::sample(const QString& voiceId, int pitch, int rate, const QString& text,
                          SoundFile::Format format, QObject* context, Done done) {
    // The callbacks stay on this thread; the worker only sees plain values.
    const quint64 ticket = ++m_lastTicket;
    m_pending.insert(ticket, Pending{QPointer<QObject>(context), std::move(done)});
    auto deliver = [this](quint64 t, QByteArray sound) {
        const Pending p = m_pending.take(t);
        if (p.context && p.done)
            p.done(sound);
    };
    if (m_rate <= 0) {
        m_results->post([deliver, ticket] { deliver(ticket, {}); });
        return;
    }
    const QByteArray id = voiceId.toUtf8();
    const QByteArray utf8 = text.toUtf8();
    m_worker->post(
        [results = m_results, sampleRate = m_rate, id, utf8, pitch, rate, format, ticket, deliver] {
            QByteArray sound;
            if (espeak_SetVoiceByName(id.constData()) == EE_OK) {
                espeak_SetParameter(espeakRATE, std::clamp(rate, kMinRate, kMaxRate), 0);
                espeak_SetParameter(espeakPITCH, std::clamp(pitch, 0, 99), 0);
                Collect collected;
                if (espeak_Synth(utf8.constData(), size_t(utf8.size()) + 1, 0, POS_CHARACTER, 0,
                                 espeakCHARS_UTF8, nullptr, &collected) == EE_OK &&
                    !collected.samples.empty())
                    sound = SoundFile::encode(collected.samples, sampleRate, format);
            }
            results->post([deliver, ticket, sound = std::move(sound)] { deliver(ticket, sound); });
        });
}

} // namespace pq::server
