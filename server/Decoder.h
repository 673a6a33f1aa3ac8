#pragma once

#include <QString>
#include <QStringList>

#include <memory>

typedef struct ps_decoder_s ps_decoder_t;
typedef struct cmd_ln_s cmd_ln_t;

namespace pq::server {

struct DecoderOptions {
    QString modelDir;  // holds en-us/, en-us.lm.bin, cmudict-en-us.dict
    QString grammar;   // JSGF file, or empty for the language model
    QStringList extra; // further pocketsphinx arguments: "-name", "value", …
};

// One loaded pocketsphinx decoder (0.8+5prealpha API). Loading takes ~0.3 s and ~100 MB;
// use it on one thread at a time.
class Decoder {
public:
    // Checks the files first: pocketsphinx ends the process on some missing files.
    static std::unique_ptr<Decoder> load(const DecoderOptions& options, QString* error);
    ~Decoder();
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;

    ps_decoder_t* get() const { return m_ps; }

private:
    Decoder(cmd_ln_t* config, ps_decoder_t* ps) : m_config(config), m_ps(ps) {}

    cmd_ln_t* m_config;
    ps_decoder_t* m_ps;
};

} // namespace pq::server
