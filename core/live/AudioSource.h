#pragma once

#include <QString>

namespace pq {

// What a live run listens to: one application's sound, the microphone alone, or everything the
// computer plays except this program.
struct AudioSource {
    enum class Kind { app, mic, mac };

    Kind kind = Kind::mic;
    QString bundleID; // app only: the application id
    QString name;     // app only: its display name

    static AudioSource app(QString bundleID, QString name) {
        return {Kind::app, std::move(bundleID), std::move(name)};
    }
    static AudioSource mic() { return {Kind::mic, {}, {}}; }
    static AudioSource mac() { return {Kind::mac, {}, {}}; }

    bool operator==(const AudioSource&) const = default;
};

} // namespace pq
