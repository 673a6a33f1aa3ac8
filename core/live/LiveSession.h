#pragma once

#include "AudioSource.h"
#include "Recording.h"
#include "SettingsPatch.h"
#include "Subscription.h"
#include "Transcript.h"

#include <QCoroTask>
#include <QDateTime>
#include <QElapsedTimer>
#include <QJsonObject>
#include <QObject>
#include <QPointer>

#include <chrono>
#include <memory>
#include <optional>
#include <stop_token>
#include <vector>

namespace pq {

class API;
class AudioInput;
class AudioInputs;
class AudioSession;
class Mailbox;
class Mixer;

// One live run from start to finish: a recording the service stores (its transcript comes over
// the recording's feed) or a caption run it does not (the transcript comes back over the uplink).
// Opens the audio inputs, streams the mixed chunks over the uplink, keeps the transcript, lets
// the user pause, change settings and reading language, and on stop closes everything in order,
// stops the recording at the service and, for a meeting, waits for the summary.
//
// Lives on the main thread: every operation is called there and every published field changes
// there. Capture threads only push into the mixer; chunks, feed events and losses are handed to
// the main thread through a mailbox. A session serves one run.
class LiveSession : public QObject {
    Q_OBJECT
    Q_PROPERTY(pq::LiveSession::State state READ state NOTIFY stateChanged)
    Q_PROPERTY(QString failure READ failure NOTIFY stateChanged)
    Q_PROPERTY(bool running READ isRunning NOTIFY stateChanged)
    Q_PROPERTY(pq::Transcript transcript READ transcript NOTIFY transcriptChanged)
    Q_PROPERTY(double sentSeconds READ sentSeconds NOTIFY sentSecondsChanged)
    Q_PROPERTY(double elapsed READ elapsed NOTIFY sentSecondsChanged)
    Q_PROPERTY(float level READ level NOTIFY levelChanged)
    Q_PROPERTY(std::optional<pq::SummaryStatus> summary READ summary NOTIFY summaryChanged)
    Q_PROPERTY(pq::SettingsPatch settings READ settings NOTIFY settingsChanged)
    Q_PROPERTY(bool labelsSpeakers READ labelsSpeakers NOTIFY labelsSpeakersChanged)

public:
    enum class State { failed, starting, warming, live, paused, stopping, done };
    Q_ENUM(State)

    struct Mode {
        enum class Kind { record, captions };
        Kind kind = Kind::record;
        bool meeting = false;

        static Mode record(bool meeting = false) { return {Kind::record, meeting}; }
        static Mode captions() { return {Kind::captions, false}; }
        bool isRecord() const { return kind == Kind::record; }
        bool operator==(const Mode&) const = default;
    };

    // Waits of the run. Tests shorten them; the defaults are the product's.
    struct Timing {
        std::chrono::milliseconds connectDeadline{30'000}; // uplink handshake
        std::chrono::milliseconds stopRetryDelay{800};     // between failed stop requests
        std::chrono::milliseconds uplinkEndWait{15'000};   // for the service to end the uplink
        std::chrono::milliseconds eofWait{10'000};         // captions: for the end after "eof"
        std::chrono::milliseconds summaryFirstWait{3'000}; // before the first summary poll
        std::chrono::milliseconds summaryShortWait{3'000}; // after each of the first four polls
        std::chrono::milliseconds summaryLongWait{6'000};  // after later polls
        std::chrono::milliseconds refollowFirst{500};      // a lost feed is followed again…
        std::chrono::milliseconds refollowMax{8'000};      // …backing off up to this
        Subscription::Timing feed{};
    };

    static constexpr int stopAttempts = 4;
    static constexpr int summaryPolls = 40;
    static constexpr int summaryShortPolls = 4;
    // The panel's word limit, which decides whether several speakers are heard.
    static constexpr int panelWords = 60;
    static constexpr qint64 sampleRate = 16000;

    LiveSession(API* api, AudioInputs& inputs, Mode mode, AudioSource source, bool withMic,
                QString name, SettingsPatch settings, std::optional<QString> translateTo,
                QObject* parent = nullptr);
    LiveSession(API* api, AudioInputs& inputs, Mode mode, AudioSource source, bool withMic,
                QString name, SettingsPatch settings, std::optional<QString> translateTo,
                Timing timing, QObject* parent = nullptr);
    ~LiveSession() override;

    // Opens the inputs, asks the service for a place to stream to and connects. Never throws:
    // every failure ends in `failed`, a stop during the start in `done`.
    QCoro::Task<void> start();
    // Ends the run; returns once it is over, after the summary of a meeting.
    QCoro::Task<void> stop();
    // Ends the run; with a message the run ends `failed` with it. A second call returns at once.
    QCoro::Task<void> finish(std::optional<QString> error);
    QCoro::Task<void> setPaused(bool paused);
    QCoro::Task<void> update(SettingsPatch settings);
    QCoro::Task<void> setReading(std::optional<QString> language);
    // Follows the recording's transcript feed with a new feed in the reading language.
    QCoro::Task<void> follow(QString recordingId);
    // Sets the state and applies feed events to the transcript, for sample screens.
    void preview(State state, const QList<QJsonObject>& frames, const QString& failure = {});

    const Mode& mode() const { return m_mode; }
    const AudioSource& source() const { return m_source; }
    bool withMic() const { return m_withMic; }
    const QString& name() const { return m_name; }
    const QDateTime& startedAt() const { return m_startedAt; }
    State state() const { return m_state; }
    // The message of a failed run; empty otherwise.
    const QString& failure() const { return m_failure; }
    const Transcript& transcript() const { return m_transcript; }
    double sentSeconds() const { return m_sentSeconds; }
    double elapsed() const { return m_sentSeconds; }
    float level() const { return m_level; }
    const std::optional<SummaryStatus>& summary() const { return m_summary; }
    const std::optional<QString>& transcriptionId() const { return m_transcriptionId; }
    const std::optional<QString>& recordingId() const { return m_recordingId; }
    API* api() const;
    const SettingsPatch& settings() const { return m_settings; }
    const std::optional<QString>& translateTo() const { return m_translateTo; }
    AudioSession* session() const { return m_session.get(); }
    Subscription* subscription() const { return m_subscription.get(); }
    Mixer* mixer() const { return m_mixer.get(); }
    qint64 sent() const { return m_sent; }
    bool paused() const { return m_paused; }
    bool stopping() const { return m_stopping; }
    bool isRunning() const;
    // Whether a clock message follows the chunk of `count` samples that brought the samples sent
    // to `sent`: the total crossed a whole second of audio.
    static bool clockDue(qint64 sent, qint64 count) { return sent % sampleRate < count; }
    bool labelsSpeakers() const { return m_labelsSpeakers; }
    // The run is over and nothing of it is still working (`ended` has been emitted).
    bool hasEnded() const { return m_ended; }

signals:
    void stateChanged();
    void transcriptChanged();
    void sentSecondsChanged();
    void levelChanged();
    void summaryChanged();
    void settingsChanged();
    void translateToChanged();
    void labelsSpeakersChanged();
    // Each mixer chunk that reached the session, and whether it went out on the uplink.
    void chunkHandled(qsizetype samples, bool sent);
    // The run is over: the start failed or was cancelled, or the stop (with the summary) is done.
    void ended();

private:
    struct Inbox;
    struct FarEnd;

    QCoro::Task<void> openInputs();
    // Opens the uplink at the address the service gave; m_session holds it afterwards.
    QCoro::Task<void> connectUplink(std::optional<QString> streamUrl);
    QCoro::Task<void> startCaptions();
    QCoro::Task<void> startRecording();
    QCoro::Task<void> abandonStart(std::exception_ptr failure, bool cancelled);
    QCoro::Task<bool> followFeed(QString recordingId);
    QCoro::Task<void> refollow(quint64 lostGeneration);
    // Pauses and stops the recording, trying again after a failure; the description of the last
    // failure when every attempt failed.
    QCoro::Task<std::optional<QString>> stopAtService(QString recording);
    QCoro::Task<void> summarize(QString recordingId);
    QCoro::Task<void> catchUpRecordingSettings(SettingsPatch used);

    // Plain helpers: lambdas and braced lists stay out of coroutine bodies.
    void makeMixer(int inputs);
    void wireTap(AudioInput& tap);
    void wireMic(AudioInput& mic, int input);
    void wireFeed(Subscription& feed, quint64 generation);
    void watchUplinkEnd();
    std::function<void()> loadingHandler();
    void detach(QCoro::Task<void> task);
    void checkStop() const;

    void chunk(std::vector<float> samples, float level);
    void onCaptionFrame(const QJsonObject& frame);
    void onFeedSnapshot(quint64 generation, const TranscriptSnapshot& snapshot);
    void onFeedFrame(quint64 generation, const QJsonObject& frame);
    void onFeedLost(quint64 generation);
    void onUplinkEnded(const std::optional<QString>& reason);
    void teardown();
    void endRun();

    void setState(State state, const QString& failure = {});
    void setLevel(float level);
    void transcriptUpdated();
    void replaceTranscript();

    QPointer<API> m_api;
    AudioInputs& m_inputs;
    const Timing m_timing;
    const Mode m_mode;
    const AudioSource m_source;
    const bool m_withMic;
    const QString m_name;
    const QDateTime m_startedAt;
    QElapsedTimer m_clock; // wall time of the clock messages

    State m_state = State::starting;
    QString m_failure;
    Transcript m_transcript;
    double m_sentSeconds = 0;
    float m_level = 0;
    std::optional<SummaryStatus> m_summary;
    std::optional<QString> m_transcriptionId;
    std::optional<QString> m_recordingId;
    SettingsPatch m_settings;
    std::optional<QString> m_translateTo;
    std::unique_ptr<AudioSession> m_session;
    std::unique_ptr<Subscription> m_subscription;
    std::unique_ptr<AudioInput> m_tap;
    std::unique_ptr<AudioInput> m_mic;
    std::shared_ptr<Mixer> m_mixer;
    qint64 m_sent = 0;
    bool m_paused = false;
    bool m_stopping = false;

    bool m_started = false;
    bool m_finishing = false; // a stop took the shutdown over from the start
    bool m_tornDown = false;
    bool m_ended = false;
    bool m_labelsSpeakers = false;
    quint64 m_feedGeneration = 0; // deliveries of older feeds are dropped
    Mailbox* m_mailbox;
    std::shared_ptr<Inbox> m_inbox;
    std::shared_ptr<FarEnd> m_farEnd;
    std::stop_source m_cancel; // the session is going away
};

} // namespace pq
