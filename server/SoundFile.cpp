#include "SoundFile.h"

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace pq::server {

namespace {

// A growing byte array as libsndfile's file.
struct Memory {
    QByteArray bytes;
    sf_count_t pos = 0;
};

sf_count_t memoryLength(void* user) {
    return static_cast<Memory*>(user)->bytes.size();
}

sf_count_t memorySeek(sf_count_t offset, int whence, void* user) {
    auto* m = static_cast<Memory*>(user);
    sf_count_t to = offset;
    if (whence == SEEK_CUR)
        to = m->pos + offset;
    else if (whence == SEEK_END)
        to = m->bytes.size() + offset;
    if (to < 0)
        return -1;
    m->pos = to;
    return m->pos;
}

sf_count_t memoryRead(void* ptr, sf_count_t count, void* user) {
    auto* m = static_cast<Memory*>(user);
    const sf_count_t n =
        std::max<sf_count_t>(0, std::min<sf_count_t>(count, sf_count_t(m->bytes.size()) - m->pos));
    if (n > 0)
        std::memcpy(ptr, m->bytes.constData() + m->pos, size_t(n));
    m->pos += n;
    return n;
}

sf_count_t memoryWrite(const void* ptr, sf_count_t count, void* user) {
    auto* m = static_cast<Memory*>(user);
    if (m->pos + count > m->bytes.size())
        m->bytes.resize(qsizetype(m->pos + count), '\0');
    std::memcpy(m->bytes.data() + m->pos, ptr, size_t(count));
    m->pos += count;
    return count;
}

sf_count_t memoryTell(void* user) {
    return static_cast<Memory*>(user)->pos;
}

} // namespace

SoundFile::~SoundFile() {
    close();
}

bool SoundFile::create(const QString& path, int rate) {
    close();
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    m_file = sf_open(path.toUtf8().constData(), SFM_WRITE, &info);
    if (!m_file) {
        m_error = QString::fromUtf8(sf_strerror(nullptr));
        return false;
    }
    // Samples beyond ±1 are clipped rather than wrapped round.
    sf_command(m_file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    // The header follows the data, so a file cut off by a crash still plays.
    sf_command(m_file, SFC_SET_UPDATE_HEADER_AUTO, nullptr, SF_TRUE);
    return true;
}

bool SoundFile::write(const float* samples, qsizetype count) {
    if (!m_file)
        return false;
    // Whatever a client sends: what is not a number is silence here.
    std::vector<float> clean;
    if (std::any_of(samples, samples + count, [](float f) { return !std::isfinite(f); })) {
        clean.assign(samples, samples + count);
        for (float& f : clean)
            f = std::isfinite(f) ? f : 0.0f;
        samples = clean.data();
    }
    if (sf_write_float(m_file, samples, count) != count) {
        m_error = QString::fromUtf8(sf_strerror(m_file));
        sf_close(m_file);
        m_file = nullptr;
        return false;
    }
    return true;
}

bool SoundFile::close() {
    if (!m_file)
        return m_error.isEmpty();
    const int rc = sf_close(m_file);
    m_file = nullptr;
    if (rc != 0)
        m_error = QString::fromUtf8(sf_error_number(rc));
    return rc == 0 && m_error.isEmpty();
}

QByteArray SoundFile::encode(const std::vector<short>& samples, int rate, Format format) {
    Memory memory;
    SF_VIRTUAL_IO io{memoryLength, memorySeek, memoryRead, memoryWrite, memoryTell};
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = 1;
    info.format = (format == Format::Caf ? SF_FORMAT_CAF : SF_FORMAT_WAV) | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open_virtual(&io, SFM_WRITE, &info, &memory);
    if (!file)
        return {};
    const bool ok = sf_write_short(file, samples.data(), sf_count_t(samples.size())) ==
                    sf_count_t(samples.size());
    if (sf_close(file) != 0 || !ok)
        return {};
    return memory.bytes;
}

} // namespace pq::server
