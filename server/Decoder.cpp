#include "Decoder.h"

#include <QDir>
#include <QFileInfo>
#include <QMap>

#include <pocketsphinx.h>
#include <sphinxbase/err.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include <mutex>
#include <vector>

namespace pq::server {

namespace {

// Loads are rare and pocketsphinx does not promise that ps_init may run twice at once.
std::mutex& loadMutex() {
    static std::mutex m;
    return m;
}

// sphinxbase logs through one global target. Setting it per decoder ("-logfn") would close the
// file other decoders write to, so it is set once: warnings and errors are kept per thread, for
// the error message of a failed load; the rest is dropped.
thread_local std::string t_lastProblem;

void logProblems(void*, err_lvl_t level, const char* format, ...) {
    if (level < ERR_WARN)
        return;
    char buffer[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    // "ERROR: \"jsgf.c\", line 923: Failed to …" → "Failed to …"
    const char* text = buffer;
    if (const char* line = std::strstr(buffer, "\", line ")) {
        if (const char* colon = std::strstr(line, ": "))
            text = colon + 2;
    }
    t_lastProblem = text;
    while (!t_lastProblem.empty() && (t_lastProblem.back() == '\n' || t_lastProblem.back() == ' '))
        t_lastProblem.pop_back();
}

void routeLogging() {
    static std::once_flag once;
    std::call_once(once, [] {
        err_set_logfp(nullptr); // also keeps the configuration dump of ps_init off stderr
        err_set_callback(logProblems, nullptr);
    });
}

} // namespace

std::unique_ptr<Decoder> Decoder::load(const DecoderOptions& options, QString* error) {
    const QDir dir(options.modelDir);
    const QString hmm = dir.filePath(QStringLiteral("en-us"));
    const QString lm = dir.filePath(QStringLiteral("en-us.lm.bin"));
    const QString dict = dir.filePath(QStringLiteral("cmudict-en-us.dict"));
    QStringList needed{QDir(hmm).filePath(QStringLiteral("mdef")), dict};
    needed.append(options.grammar.isEmpty() ? lm : options.grammar);
    for (const QString& f : needed) {
        if (!QFileInfo(f).isFile() || !QFileInfo(f).isReadable()) {
            *error = QStringLiteral("The speech model file %1 is missing.").arg(f);
            return nullptr;
        }
    }

    // Without noise removal: with it, the voice detector takes the stream's first second for
    // speech, and that empty utterance skews the live cepstral mean so much that the first real
    // sentence is lost. (A higher VAD threshold avoids that too, but misses quiet sentences.)
    // `extra` overrides any of these.
    QMap<QString, QString> values{{QStringLiteral("-hmm"), hmm},
                                  {QStringLiteral("-dict"), dict},
                                  {QStringLiteral("-dither"), QStringLiteral("yes")},
                                  {QStringLiteral("-seed"), QStringLiteral("1")},
                                  {QStringLiteral("-remove_noise"), QStringLiteral("no")},
                                  {QStringLiteral("-fwdflat"), QStringLiteral("no")}};
    if (options.grammar.isEmpty())
        values.insert(QStringLiteral("-lm"), lm);
    else
        values.insert(QStringLiteral("-jsgf"), options.grammar);
    for (qsizetype i = 0; i + 1 < options.extra.size(); i += 2)
        values.insert(options.extra[i], options.extra[i + 1]);
    QStringList args;
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        args << it.key() << it.value();

    std::vector<QByteArray> storage;
    storage.reserve(args.size() + 1);
    storage.emplace_back("parloquent-server");
    for (const QString& a : args)
        storage.push_back(a.toUtf8());
    std::vector<char*> argv;
    for (auto& s : storage)
        argv.push_back(s.data());

    routeLogging();
    t_lastProblem.clear();
    std::lock_guard lock(loadMutex());
    cmd_ln_t* config = cmd_ln_parse_r(nullptr, ps_args(), int(argv.size()), argv.data(), FALSE);
    if (!config) {
        *error = QStringLiteral("The speech recogniser's options are not valid (%1).")
                     .arg(QString::fromStdString(t_lastProblem));
        return nullptr;
    }
    ps_decoder_t* ps = ps_init(config);
    if (!ps) {
        cmd_ln_free_r(config);
        *error = options.grammar.isEmpty()
                     ? QStringLiteral("The speech recogniser could not load its model")
                     : QStringLiteral("The speech recogniser could not load the grammar %1")
                           .arg(options.grammar);
        if (!t_lastProblem.empty())
            *error += QStringLiteral(" (%1)").arg(QString::fromStdString(t_lastProblem));
        *error += QLatin1Char('.');
        return nullptr;
    }
    return std::unique_ptr<Decoder>(new Decoder(config, ps));
}

Decoder::~Decoder() {
    ps_free(m_ps);
    cmd_ln_free_r(m_config);
}

} // namespace pq::server
