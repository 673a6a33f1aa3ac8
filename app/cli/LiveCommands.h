#pragma once

#include "AudioSource.h"
#include "LiveSession.h"

#include <QCoroTask>
#include <QString>

#include <optional>

namespace pq::cli {

class Credentials;
class Interrupts;

// record and captions (a live run printed as it is transcribed, until Ctrl-C) and apps (the
// applications that play sound, whose ids --app takes). Each returns the process's exit status.
class LiveCommands {
public:
    struct Run {
        LiveSession::Mode mode;
        AudioSource::Kind source = AudioSource::Kind::app;
        QString app; // the application id, for an app source
        bool withMic = false;
        std::optional<QString> name;    // the recording's name; made from the source when absent
        std::optional<QString> reading; // the reading language
    };

    // The caption window's word limit, used for caption runs.
    static constexpr int captionWords = 40;

    LiveCommands(Credentials& credentials, Interrupts& interrupts)
        : m_credentials(credentials), m_interrupts(interrupts) {}

    QCoro::Task<int> live(Run run);
    QCoro::Task<int> apps();

    // Whether an application id belongs to a known meeting application.
    static bool isMeetingApp(const QString& id);
    // The name a recording gets when none is given.
    static QString recordingName(const Run& run, const QString& appName);

private:
    Credentials& m_credentials;
    Interrupts& m_interrupts;
};

} // namespace pq::cli
