#include "Decoder.h"

#include <QDir>
#include <QFileInfo>
#include <QMap>

#include <pocketsphinx.h>

#include <mutex>
#include <vector>

namespace pq::server {

namespace {

// sphinxbase keeps its log target in a global; loading is rare, so serialise it.
std::mutex& loadMutex() {
    static std::mutex m;
    return m;
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
                                  {QStringLiteral("-logfn"), QStringLiteral("/dev/null")},
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

    std::lock_guard lock(loadMutex());
    cmd_ln_t* config = cmd_ln_parse_r(nullptr, ps_args(), int(argv.size()), argv.data(), FALSE);
    if (!config) {
        *error = QStringLiteral("The speech recogniser's options are not valid.");
        return nullptr;
    }
    ps_decoder_t* ps = ps_init(config);
    if (!ps) {
        cmd_ln_free_r(config);
        *error = options.grammar.isEmpty()
                     ? QStringLiteral("The speech recogniser could not load its model.")
                     : QStringLiteral("The speech recogniser could not load the grammar %1.")
                           .arg(options.grammar);
        return nullptr;
    }
    return std::unique_ptr<Decoder>(new Decoder(config, ps));
}

Decoder::~Decoder() {
    ps_free(m_ps);
    cmd_ln_free_r(m_config);
}

} // namespace pq::server
