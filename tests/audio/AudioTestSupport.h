#pragma once

// Sound made and measured at test time, and the processes that play it through the headless
// PulseAudio of scripts/pulse.
#include <QProcess>
#include <QString>
#include <QStringList>

#include <mutex>
#include <span>
#include <vector>

namespace pq::test {

// A tone, `channels` identical channels interleaved.
std::vector<float> sine(double frequency, int rate, double seconds, double amplitude = 0.5,
                        int channels = 1);

// The amplitude of the `frequency` component (Hann-windowed single-bin DFT).
double toneAmplitude(std::span<const float> samples, double frequency, int rate = 16000);
// Everything but a tone at `frequency` (and DC), relative to the tone, in dB: THD+N.
double thdPlusNoiseDb(std::span<const float> samples, double frequency, int rate = 16000);
double rms(std::span<const float> samples);
double dB(double ratio);

// Files written with sox and espeak-ng; empty on failure.
QString writeTone(const QString& dir, double frequency, double seconds, int rate = 48000,
                  int channels = 2, double amplitude = 0.4);
QString writeSpeech(const QString& dir, const QString& name, const QString& text);
// A 16-bit PCM WAV file as interleaved floats.
std::vector<float> readWav(const QString& path, int* rate = nullptr, int* channels = nullptr);

// Runs pactl against the test server; its standard output.
QString pactl(const QStringList& arguments);
// Whether the test server answers; a message on how to start it otherwise.
bool serverAnswers(QString* why);

// paplay under a chosen client name, killed when the object goes.
class Player {
public:
    Player() = default;
    ~Player();
    bool start(const QString& file, const QString& clientName, const QString& device = {},
               const QStringList& environment = {});
    void stop();
    qint64 pid() const { return m_process.processId(); }
    QProcess& process() { return m_process; }

private:
    QProcess m_process;
};

// Samples gathered from a capture thread.
class Collector {
public:
    void add(const std::vector<float>& samples);
    std::vector<float> snapshot() const;
    std::size_t size() const;
    std::size_t calls() const;
    void clear();

private:
    mutable std::mutex m_mutex;
    std::vector<float> m_samples;
    std::size_t m_calls = 0;
};

} // namespace pq::test
