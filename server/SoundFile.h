#pragma once

#include <QByteArray>
#include <QString>

#include <vector>

typedef struct sf_private_tag SNDFILE;

namespace pq::server {

// Mono 16-bit PCM sound files written with libsndfile: recordings kept as WAV files for playback
// (written as the audio arrives), and short samples encoded in memory (CAF for the API's voice
// previews, WAV for the web pages). Used on one thread.
class SoundFile {
public:
    enum class Format { Wav, Caf };

    SoundFile() = default;
    ~SoundFile();
    SoundFile(const SoundFile&) = delete;
    SoundFile& operator=(const SoundFile&) = delete;

    // Creates (or replaces) a WAV file; false with error() when it cannot.
    bool create(const QString& path, int rate);
    // Appends float samples (−1 to 1); false once writing failed.
    bool write(const float* samples, qsizetype count);
    // Finishes the header; false when the file could not be completed.
    bool close();
    bool isOpen() const { return m_file != nullptr; }
    QString error() const { return m_error; }

    // A whole sound in memory, in the given container.
    static QByteArray encode(const std::vector<short>& samples, int rate, Format format);

private:
    SNDFILE* m_file = nullptr;
    QString m_error;
};

} // namespace pq::server
