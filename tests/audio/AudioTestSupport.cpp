#include "AudioTestSupport.h"

#include "EndProcess.h"

#include <QDir>
#include <QFile>
#include <QProcessEnvironment>

#include <cmath>
#include <complex>
#include <csignal>
#include <cstring>
#include <numbers>

namespace pq::test {

std::vector<float> sine(double frequency, int rate, double seconds, double amplitude,
                        int channels) {
    const auto frames = static_cast<std::size_t>(std::llround(seconds * rate));
    std::vector<float> out(frames * static_cast<std::size_t>(channels));
    for (std::size_t i = 0; i < frames; ++i) {
        const auto v = static_cast<float>(
            amplitude * std::sin(2 * std::numbers::pi * frequency * double(i) / rate));
        for (int c = 0; c < channels; ++c)
            out[i * static_cast<std::size_t>(channels) + static_cast<std::size_t>(c)] = v;
    }
    return out;
}

double toneAmplitude(std::span<const float> samples, double frequency, int rate) {
    const std::size_t n = samples.size();
    if (n < 2)
        return 0.0;
    std::complex<double> sum;
    double weights = 0.0;
    const double step = 2 * std::numbers::pi * frequency / rate;
    for (std::size_t i = 0; i < n; ++i) {
        const double w = 0.5 - 0.5 * std::cos(2 * std::numbers::pi * double(i) / double(n - 1));
        sum += w * double(samples[i]) * std::polar(1.0, -step * double(i));
        weights += w;
    }
    return 2.0 * std::abs(sum) / weights;
}

double thdPlusNoiseDb(std::span<const float> samples, double frequency, int rate) {
    // Least-squares fit of a·sin + b·cos + c, then the power of what is left.
    const std::size_t n = samples.size();
    double m[3][3] = {};
    double v[3] = {};
    for (std::size_t i = 0; i < n; ++i) {
        const double t = 2 * std::numbers::pi * frequency * double(i) / rate;
        const double basis[3] = {std::sin(t), std::cos(t), 1.0};
        for (int r = 0; r < 3; ++r) {
            v[r] += basis[r] * samples[i];
            for (int c = 0; c < 3; ++c)
                m[r][c] += basis[r] * basis[c];
        }
    }
    // Gaussian elimination on the 3×3 normal equations.
    for (int p = 0; p < 3; ++p)
        for (int r = p + 1; r < 3; ++r) {
            const double f = m[r][p] / m[p][p];
            for (int c = p; c < 3; ++c)
                m[r][c] -= f * m[p][c];
            v[r] -= f * v[p];
        }
    double x[3];
    for (int r = 2; r >= 0; --r) {
        double s = v[r];
        for (int c = r + 1; c < 3; ++c)
            s -= m[r][c] * x[c];
        x[r] = s / m[r][r];
    }
    double tone = 0.0, rest = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double t = 2 * std::numbers::pi * frequency * double(i) / rate;
        const double fit = x[0] * std::sin(t) + x[1] * std::cos(t);
        tone += fit * fit;
        const double e = samples[i] - fit - x[2];
        rest += e * e;
    }
    return 10.0 * std::log10(rest / tone);
}

double rms(std::span<const float> samples) {
    if (samples.empty())
        return 0.0;
    double sum = 0.0;
    for (float s : samples)
        sum += double(s) * s;
    return std::sqrt(sum / double(samples.size()));
}

double dB(double ratio) {
    return 20.0 * std::log10(ratio);
}

namespace {
bool run(const QString& program, const QStringList& arguments, QByteArray* out = nullptr) {
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0) {
        qWarning("%s failed: %s", qPrintable(program), process.readAllStandardError().constData());
        return false;
    }
    if (out)
        *out = process.readAllStandardOutput();
    return true;
}
} // namespace

QString writeTone(const QString& dir, double frequency, double seconds, int rate, int channels,
                  double amplitude) {
    const QString path = QDir(dir).filePath(
        QStringLiteral("tone-%1-%2-%3.wav").arg(frequency).arg(seconds).arg(rate));
    if (!run(QStringLiteral("sox"),
             {QStringLiteral("-n"), QStringLiteral("-r"), QString::number(rate),
              QStringLiteral("-c"), QString::number(channels), QStringLiteral("-b"),
              QStringLiteral("16"), path, QStringLiteral("synth"), QString::number(seconds),
              QStringLiteral("sine"), QString::number(frequency), QStringLiteral("vol"),
              QString::number(amplitude)}))
        return {};
    return path;
}

QString writeSpeech(const QString& dir, const QString& name, const QString& text) {
    const QString path = QDir(dir).filePath(name + QStringLiteral(".wav"));
    if (!run(QStringLiteral("espeak-ng"), {QStringLiteral("-w"), path, text}))
        return {};
    return path;
}

std::vector<float> readWav(const QString& path, int* rate, int* channels) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray data = file.readAll();
    if (data.size() < 12 || !data.startsWith("RIFF") || data.mid(8, 4) != "WAVE")
        return {};
    int fmtChannels = 0, fmtRate = 0, bits = 0;
    qsizetype at = 12;
    while (at + 8 <= data.size()) {
        const QByteArray id = data.mid(at, 4);
        quint32 size = 0;
        std::memcpy(&size, data.constData() + at + 4, 4);
        const qsizetype body = at + 8;
        if (id == "fmt ") {
            quint16 ch = 0, bps = 0;
            quint32 sr = 0;
            std::memcpy(&ch, data.constData() + body + 2, 2);
            std::memcpy(&sr, data.constData() + body + 4, 4);
            std::memcpy(&bps, data.constData() + body + 14, 2);
            fmtChannels = ch;
            fmtRate = int(sr);
            bits = bps;
        } else if (id == "data" && bits == 16) {
            // espeak-ng leaves the sizes open when it streams: take what is there.
            const qsizetype end = std::min<qsizetype>(data.size(), body + qsizetype(size));
            std::vector<float> out;
            for (qsizetype p = body; p + 1 < end; p += 2) {
                qint16 s = 0;
                std::memcpy(&s, data.constData() + p, 2);
                out.push_back(float(s) / 32768.0f);
            }
            if (rate)
                *rate = fmtRate;
            if (channels)
                *channels = fmtChannels;
            return out;
        }
        at = body + qsizetype(size) + (size & 1);
    }
    return {};
}

QString pactl(const QStringList& arguments) {
    QByteArray out;
    run(QStringLiteral("pactl"), arguments, &out);
    return QString::fromUtf8(out);
}

bool serverAnswers(QString* why) {
    if (qEnvironmentVariableIsEmpty("PULSE_SERVER")) {
        *why = QStringLiteral("PULSE_SERVER is not set: start the test server with "
                              "eval \"$(scripts/pulse start)\" or run scripts/test");
        return false;
    }
    QProcess process;
    process.start(QStringLiteral("pactl"), {QStringLiteral("info")});
    if (!process.waitForFinished(10000) || process.exitCode() != 0) {
        *why = QStringLiteral("the sound server at %1 does not answer")
                   .arg(qEnvironmentVariable("PULSE_SERVER"));
        return false;
    }
    return true;
}

Player::~Player() {
    stop();
}

bool Player::start(const QString& file, const QString& clientName, const QString& device,
                   const QStringList& environment) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const QString& entry : environment)
        env.insert(entry.section(QLatin1Char('='), 0, 0), entry.section(QLatin1Char('='), 1));
    m_process.setProcessEnvironment(env);
    QStringList arguments{QStringLiteral("--client-name=") + clientName,
                          QStringLiteral("--latency-msec=40")};
    if (!device.isEmpty())
        arguments << QStringLiteral("-d") << device;
    arguments << file;
    m_process.start(QStringLiteral("paplay"), arguments);
    return m_process.waitForStarted(10000);
}

void Player::stop() {
    pq::test::endProcess(m_process);
}

void Collector::add(const std::vector<float>& samples) {
    std::lock_guard guard(m_mutex);
    m_samples.insert(m_samples.end(), samples.begin(), samples.end());
    ++m_calls;
}

std::vector<float> Collector::snapshot() const {
    std::lock_guard guard(m_mutex);
    return m_samples;
}

std::size_t Collector::size() const {
    std::lock_guard guard(m_mutex);
    return m_samples.size();
}

std::size_t Collector::calls() const {
    std::lock_guard guard(m_mutex);
    return m_calls;
}

void Collector::clear() {
    std::lock_guard guard(m_mutex);
    m_samples.clear();
}

} // namespace pq::test
