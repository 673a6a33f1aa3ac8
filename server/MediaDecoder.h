#pragma once

#include <QString>

#include <vector>

struct AVFormatContext;
struct AVCodecContext;
struct AVPacket;
struct AVFrame;
struct SwrContext;

namespace pq::server {

// Decodes the best audio stream of any file FFmpeg reads (audio or video) into the recogniser's
// format: mono 32-bit float samples at 16 kHz. Failures are sentences for the user: a file that
// is not media, one without audio, one that is damaged or ends before its declared length.
// Used on one thread.
class MediaDecoder {
public:
    static constexpr int kRate = 16000;

    MediaDecoder();
    ~MediaDecoder();
    MediaDecoder(const MediaDecoder&) = delete;
    MediaDecoder& operator=(const MediaDecoder&) = delete;

    bool open(const QString& path);
    // The next samples (replacing `out`); false at the end of the audio or on a failure
    // (then error() is set).
    bool read(std::vector<float>& out);

    QString error() const { return m_error; }
    // The length the file declares, in seconds (0 when unknown).
    double durationS() const { return m_durationS; }
    // Seconds of audio decoded so far.
    double decodedS() const { return double(m_samples) / kRate; }
    // How far through the file reading is, 0–1, for progress when no length is known.
    double fraction() const;

private:
    bool fail(const QString& error);
    bool receiveFrames(std::vector<float>& out);
    bool convert(const AVFrame* frame, std::vector<float>& out);
    bool finishedEarly() const;

    AVFormatContext* m_format = nullptr;
    AVCodecContext* m_codec = nullptr;
    SwrContext* m_resampler = nullptr;
    AVPacket* m_packet = nullptr;
    AVFrame* m_frame = nullptr;
    int m_stream = -1;
    double m_durationS = 0;
    bool m_durationReliable = false;
    qint64 m_fileSize = 0;
    qint64 m_samples = 0;
    int m_badPackets = 0;
    int m_goodFrames = 0;
    bool m_draining = false;
    bool m_lastPacketCorrupt = false;
    bool m_ended = false;
    QString m_error;
};

} // namespace pq::server
