#pragma once

#include <QDir>
#include <QHostAddress>
#include <QString>
#include <QStringList>

namespace pq::server {

// Everything the command line decides for a running service.
struct ServerConfig {
    QString dataDir;
    QHostAddress listen = QHostAddress(QHostAddress::LocalHost);
    quint16 port = 8080;    // 0 picks a free port (printed on start)
    quint16 appPort = 5176; // the web application
    QString modelDir = QStringLiteral("/usr/share/pocketsphinx/model/en-us");
    QString grammar; // a JSGF file that restricts recognition, or empty
    QString apertiumModes = QStringLiteral("/usr/share/apertium/modes");
    double maxDurationS = 4 * 3600.0;
    double idleTimeoutS = 600.0; // an uplink that sends nothing for this long is ended
    double noopIntervalS = 15.0;
    qint64 maxBodyBytes = 1 << 20;
    int warmDecoders = 1; // recognisers kept loaded for the next session
    int maxSessions = 8;  // live streams at once (each holds a recogniser, ~100 MB)
    int tokenLifetimeS = 600;
    QStringList decoderOptions;              // extra pocketsphinx arguments: "-name", "value", …
    QString faults;                          // see Faults
    qint64 maxUploadBytes = qint64(4) << 30; // files sent or fetched for transcription
    int jobs = 1;                            // file transcriptions at once (each ~100 MB)
    bool allowFileUrls = false;              // file:// addresses (tests)
    int connectCodeLifetimeS = 60;           // browser sign-in codes

    // Files received or fetched for transcription, while their jobs run.
    QString uploadsDir() const { return QDir(dataDir).filePath(QStringLiteral("uploads")); }
    // The sound of each recording, kept for playback.
    QString mediaPath(const QString& recordingId) const {
        return QDir(dataDir).filePath(QStringLiteral("media/%1.wav").arg(recordingId));
    }
    quint64 faultSeed = 0;
};

} // namespace pq::server
