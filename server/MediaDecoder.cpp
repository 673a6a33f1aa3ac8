#include "MediaDecoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/log.h>
#include <libswresample/swresample.h>
}

#include <mutex>

namespace pq::server {

namespace {

// Damaged packets are skipped; this many, with fewer good frames, and the file is refused.
constexpr int kMaxBadPackets = 100;

QString clock(double seconds) {
    const int s = int(seconds);
    return s >= 3600 ? QStringLiteral("%1:%2:%3")
                           .arg(s / 3600)
                           .arg(s / 60 % 60, 2, 10, QLatin1Char('0'))
                           .arg(s % 60, 2, 10, QLatin1Char('0'))
                     : QStringLiteral("%1:%2").arg(s / 60).arg(s % 60, 2, 10, QLatin1Char('0'));
}

QString notMedia() {
    return QStringLiteral("This file is not audio or video that Parloquent can read.");
}

} // namespace

MediaDecoder::MediaDecoder() {
    static std::once_flag quiet;
    // FFmpeg's own messages would fill the service's log; failures are reported per file.
    std::call_once(quiet, [] { av_log_set_level(AV_LOG_FATAL); });
}

MediaDecoder::~MediaDecoder() {
    swr_free(&m_resampler);
    av_frame_free(&m_frame);
    av_packet_free(&m_packet);
    avcodec_free_context(&m_codec);
    avformat_close_input(&m_format);
}

bool MediaDecoder::fail(const QString& error) {
    if (m_error.isEmpty())
        m_error = error;
    m_ended = true;
    return false;
}

bool MediaDecoder::open(const QString& path) {
    const QByteArray name = path.toUtf8();
    if (avformat_open_input(&m_format, name.constData(), nullptr, nullptr) < 0)
        return fail(notMedia());
    // A format recognised only with a low score is a guess about bytes of something else.
    if (m_format->probe_score < AVPROBE_SCORE_RETRY)
        return fail(notMedia());
    if (avformat_find_stream_info(m_format, nullptr) < 0)
        return fail(notMedia());
    const AVCodec* codec = nullptr;
    m_stream = av_find_best_stream(m_format, AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);
    if (m_stream == AVERROR_STREAM_NOT_FOUND)
        return fail(QStringLiteral("This file has no sound to transcribe."));
    if (m_stream < 0 || !codec)
        return fail(QStringLiteral("Parloquent cannot decode the sound of this file."));
    for (unsigned i = 0; i < m_format->nb_streams; ++i) {
        if (int(i) != m_stream)
            m_format->streams[i]->discard = AVDISCARD_ALL;
    }
    AVStream* stream = m_format->streams[m_stream];
    m_codec = avcodec_alloc_context3(codec);
    if (!m_codec || avcodec_parameters_to_context(m_codec, stream->codecpar) < 0 ||
        avcodec_open2(m_codec, codec, nullptr) < 0)
        return fail(QStringLiteral("Parloquent cannot decode the sound of this file."));

    if (stream->duration != AV_NOPTS_VALUE && stream->duration > 0)
        m_durationS = double(stream->duration) * av_q2d(stream->time_base);
    else if (m_format->duration != AV_NOPTS_VALUE && m_format->duration > 0)
        m_durationS = double(m_format->duration) / AV_TIME_BASE;
    // A length guessed from the bit rate can be far off (VBR MP3 without a header): it serves
    // progress only.
    m_durationReliable = m_format->duration_estimation_method != AVFMT_DURATION_FROM_BITRATE;
    m_fileSize = m_format->pb ? avio_size(m_format->pb) : 0;
    m_packet = av_packet_alloc();
    m_frame = av_frame_alloc();
    if (!m_packet || !m_frame)
        return fail(QStringLiteral("The service ran out of memory."));
    return true;
}

double MediaDecoder::fraction() const {
    if (!m_format || !m_format->pb || m_fileSize <= 0)
        return 0;
    return std::clamp(double(avio_tell(m_format->pb)) / double(m_fileSize), 0.0, 1.0);
}

bool MediaDecoder::finishedEarly() const {
    if (!m_durationReliable || m_durationS <= 0)
        return false;
    return decodedS() + std::max(1.0, 0.02 * m_durationS) < m_durationS;
}

bool MediaDecoder::convert(const AVFrame* frame, std::vector<float>& out) {
    if (!m_resampler) {
        AVChannelLayout in{};
        if (frame->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC || frame->ch_layout.nb_channels < 1)
            av_channel_layout_default(&in, std::max(1, frame->ch_layout.nb_channels));
        else if (av_channel_layout_copy(&in, &frame->ch_layout) < 0)
            return fail(QStringLiteral("The service ran out of memory."));
        AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO;
        const int rc =
            swr_alloc_set_opts2(&m_resampler, &mono, AV_SAMPLE_FMT_FLT, kRate, &in,
                                AVSampleFormat(frame->format), frame->sample_rate, 0, nullptr);
        av_channel_layout_uninit(&in);
        if (rc < 0 || swr_init(m_resampler) < 0)
            return fail(QStringLiteral("Parloquent cannot convert the sound of this file."));
    }
    const int room = swr_get_out_samples(m_resampler, frame ? frame->nb_samples : 0);
    if (room <= 0)
        return true;
    const size_t old = out.size();
    out.resize(old + size_t(room));
    auto* dst = reinterpret_cast<uint8_t*>(out.data() + old);
    const int n =
        frame ? swr_convert(m_resampler, &dst, room,
                            const_cast<const uint8_t**>(frame->extended_data), frame->nb_samples)
              : swr_convert(m_resampler, &dst, room, nullptr, 0);
    if (n < 0) {
        out.resize(old);
        return fail(QStringLiteral("Parloquent cannot convert the sound of this file."));
    }
    out.resize(old + size_t(n));
    m_samples += n;
    return true;
}

bool MediaDecoder::receiveFrames(std::vector<float>& out) {
    for (;;) {
        const int rc = avcodec_receive_frame(m_codec, m_frame);
        if (rc == AVERROR(EAGAIN))
            return true;
        if (rc == AVERROR_EOF) {
            if (m_resampler && !convert(nullptr, out))
                return false;
            m_ended = true;
            return true;
        }
        if (rc < 0) {
            // A frame that cannot be decoded is skipped like a bad packet.
            if (++m_badPackets > kMaxBadPackets && m_badPackets > m_goodFrames)
                return fail(QStringLiteral("The sound of this file is damaged and cannot be "
                                           "decoded."));
            continue;
        }
        ++m_goodFrames;
        const bool ok = convert(m_frame, out);
        av_frame_unref(m_frame);
        if (!ok)
            return false;
    }
}

bool MediaDecoder::read(std::vector<float>& out) {
    out.clear();
    if (!m_codec)
        return fail(m_error.isEmpty() ? notMedia() : m_error);
    while (out.empty()) {
        if (m_ended) {
            if (!m_error.isEmpty())
                return false;
            if (m_goodFrames == 0)
                return fail(QStringLiteral("This file holds no sound that can be decoded."));
            // A last packet shorter than its container promised: the file was cut off.
            if (finishedEarly() || m_lastPacketCorrupt)
                return fail(QStringLiteral("The file ends early: it is cut short or damaged "
                                           "(only %1 of it could be read).")
                                .arg(clock(decodedS())));
            return false;
        }
        if (!m_draining) {
            const int rc = av_read_frame(m_format, m_packet);
            if (rc < 0) {
                // The end of the file, or bytes that stop making sense: decode what came.
                m_draining = true;
                avcodec_send_packet(m_codec, nullptr);
            } else if (m_packet->stream_index != m_stream) {
                av_packet_unref(m_packet);
                continue;
            } else {
                m_lastPacketCorrupt = (m_packet->flags & AV_PKT_FLAG_CORRUPT) != 0;
                const int sent = avcodec_send_packet(m_codec, m_packet);
                av_packet_unref(m_packet);
                if (sent < 0 && sent != AVERROR(EAGAIN) && ++m_badPackets > kMaxBadPackets &&
                    m_badPackets > m_goodFrames)
                    return fail(QStringLiteral("The sound of this file is damaged and cannot be "
                                               "decoded."));
            }
        }
        if (!receiveFrames(out))
            return false;
    }
    return true;
}

} // namespace pq::server
