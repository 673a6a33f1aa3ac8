#pragma once

#include "SoundFile.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

namespace pq::server {

class MainThreadQueue;
class WorkerThread;

// The voices of this service: espeak-ng's own voices (mbrola voices need data Debian does not
// ship and are left out), and samples of them synthesised with a given pitch and speed. espeak-ng
// keeps global state, so everything of it runs on one worker thread; samples come back to the
// owner's thread.
class VoiceService : public QObject {
    Q_OBJECT

public:
    struct Voice {
        QString id;       // espeak-ng's identifier ("gmw/en-US")
        QString name;     // "English (America)"
        QString language; // its first language ("en-us")
        QStringList languages;
        int priority = 5; // lower is preferred for the language
        QString gender;   // "male", "female" or empty
    };
    using Done = std::function<void(QByteArray sound)>; // empty when synthesis failed

    explicit VoiceService(QObject* parent = nullptr);
    ~VoiceService() override;

    bool available() const { return !m_voices.isEmpty(); }
    const QList<Voice>& all() const { return m_voices; }
    // The voices for a language code ("en" takes "en", "en-us", "en-gb-scotland"…), the
    // language's preferred voice first.
    QList<Voice> forLanguage(const QString& lang) const;
    std::optional<Voice> find(const QString& id) const;
    // Languages (primary codes) that have a voice.
    QStringList languages() const;

    // A spoken sample, later on this thread (unless context is gone).
    void sample(const QString& voiceId, int pitch, int rate, const QString& text,
                SoundFile::Format format, QObject* context, Done done);
    // What a sample says, in the language when there is a text for it (else English).
    static QString sampleText(const QString& lang);
    // The display colour of the nth own voice.
    static QString colorFor(int index);

    static constexpr int kMinRate = 80;
    static constexpr int kMaxRate = 450;

private:
    struct Pending {
        QPointer<QObject> context;
        Done done;
    };

    std::unique_ptr<WorkerThread> m_worker;
    QHash<quint64, Pending> m_pending; // on the owner's thread only
    quint64 m_lastTicket = 0;
    MainThreadQueue* m_results;
    QList<Voice> m_voices;
    int m_rate = 0; // espeak-ng's sample rate
};

} // namespace pq::server
