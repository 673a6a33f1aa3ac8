#include "Recognizer.h"

#include "SentenceText.h"

#include <pocketsphinx.h>
#include <sphinxbase/cmn.h>
#include <sphinxbase/feat.h>

#include <cmath>
#include <cstring>
#include <vector>

namespace pq::server {

namespace {

constexpr double kRate = 16000.0;
constexpr double kFrameRate = 100.0; // pocketsphinx frames per second

static_assert(std::is_same_v<mfcc_t, float>, "pocketsphinx built without fixed point");

bool isFiller(const char* word) {
    return word[0] == '<' || word[0] == '[' || (word[0] == '+' && word[1] == '+');
}

} // namespace

Recognizer::Recognizer(std::unique_ptr<Decoder> decoder, DecoderOptions options,
                       Callbacks callbacks)
    : m_decoder(std::move(decoder)), m_options(std::move(options)),
      m_callbacks(std::move(callbacks)) {}

Recognizer::~Recognizer() {
    close();
}

void Recognizer::close() {
    // pocketsphinx leaks an utterance that is freed under way: end it first.
    if (m_decoder && m_started)
        ps_end_utt(m_decoder->get());
    m_started = false;
    m_decoder.reset();
}

void Recognizer::start() {
    if (!m_decoder) {
        QString error;
        m_decoder = Decoder::load(m_options, &error);
        if (!m_decoder) {
            m_callbacks.failed(std::move(error));
            return;
        }
    }
    ps_decoder_t* ps = m_decoder->get();
    if (ps_start_stream(ps) < 0 || ps_start_utt(ps) < 0) {
        m_callbacks.failed(QStringLiteral("The speech recogniser could not start."));
        return;
    }
    m_started = true;
    cmn_t* cmn = ps_get_feat(ps)->cmn_struct;
    m_cepstralMean.resize(size_t(cmn->veclen));
    cmn_live_get(cmn, m_cepstralMean.data());
    m_callbacks.ready();
}

void Recognizer::feed(const QByteArray& samples) {
    const qsizetype count = samples.size() / 4;
    if (!m_started)
        return;
    std::vector<int16> pcm(static_cast<size_t>(count));
    for (qsizetype i = 0; i < count; ++i) {
        float f;
        std::memcpy(&f, samples.constData() + 4 * i, 4); // little-endian, as on x86 and ARM
        if (!std::isfinite(f))
            f = 0.0f;
        f = std::clamp(f, -1.0f, 1.0f);
        // A faint noise floor (about -60 dBFS): applications send exact digital silence between
        // sentences, which pocketsphinx's voice detection and cepstral normalisation misjudge,
        // so that a sentence after it was lost or not, depending on where frames happened to
        // be cut.
        const long floorNoise = long(m_noise() % (2 * kNoiseFloor + 1)) - kNoiseFloor;
        pcm[size_t(i)] =
            static_cast<int16>(std::clamp(std::lrintf(f * 32767.0f) + floorNoise, -32768L, 32767L));
    }
    ps_decoder_t* ps = m_decoder->get();
    ps_process_raw(ps, pcm.data(), pcm.size(), FALSE, FALSE);
    m_samples += count;

    const bool speaking = ps_get_in_speech(ps) != 0;
    if (speaking && !m_inSpeech) {
        m_inSpeech = true;
        m_utteranceStart = m_samples - count;
    }
    if (!m_inSpeech)
        return;
    if (!speaking || (m_samples - m_utteranceStart) / kRate > kMaxUtteranceS) {
        endUtterance();
        return;
    }
    if (!m_callbacks.partial)
        return; // nobody watches words being heard (files): spare the search
    int32 score = 0;
    const char* hyp = ps_get_hyp(ps, &score);
    const std::string text = hyp ? hyp : "";
    if (text != m_lastPartial) {
        m_lastPartial = text;
        QString hypothesis = QString::fromStdString(text);
        if (!SentenceText::words(hypothesis).isEmpty())
            m_callbacks.partial(std::move(hypothesis), m_utteranceStart / kRate);
    }
}

void Recognizer::flush(int token) {
    if (m_started && m_inSpeech)
        endUtterance();
    m_callbacks.flushed(token);
}

void Recognizer::endUtterance() {
    ps_decoder_t* ps = m_decoder->get();
    ps_end_utt(ps);
    int32 score = 0;
    const char* hyp = ps_get_hyp(ps, &score);
    QString text = hyp ? QString::fromUtf8(hyp) : QString();
    // Word frames count from the start of the stream, so they are times in the recording.
    int first = -1;
    int last = -1;
    for (ps_seg_t* seg = ps_seg_iter(ps); seg; seg = ps_seg_next(seg)) {
        if (isFiller(ps_seg_word(seg)))
            continue;
        int sf = 0;
        int ef = 0;
        ps_seg_frames(seg, &sf, &ef);
        if (first < 0)
            first = sf;
        last = ef;
    }
    const double start = first >= 0 ? first / kFrameRate : m_utteranceStart / kRate;
    const double end = last >= 0 ? (last + 1) / kFrameRate : m_samples / kRate;
    m_inSpeech = false;
    m_lastPartial.clear();
    // The voice detector takes the first second of a stream, and other stretches of silence or
    // noise, for speech. Such an utterance without words must not steer the live cepstral mean
    // that the next one is normalised by: with it, a sentence after silence was lost, depending
    // on where the stream happened to begin.
    const bool heard = !SentenceText::words(text).isEmpty();
    cmn_t* cmn = ps_get_feat(ps)->cmn_struct;
    if (heard)
        cmn_live_get(cmn, m_cepstralMean.data());
    else
        cmn_live_set(cmn, m_cepstralMean.data());
    ps_start_utt(ps);
    if (heard)
        m_callbacks.utterance(std::move(text), start, std::max(start, end));
}

} // namespace pq::server
