#include "LiveSession.h"

#include "API.h"
#include "APIError.h"
#include "AudioInputs.h"
#include "AudioProcesses.h"
#include "AudioSession.h"
#include "CaptureError.h"
#include "Mailbox.h"
#include "Mixer.h"
#include "Socket.h"
#include "TransportError.h"
#include "Wait.h"

#include <QSet>

#include <algorithm>
#include <mutex>

namespace pq {

namespace {

// Thrown by a stop check: the start is abandoned as a cancellation.
struct StartCancelled {};

const QString noAudioMessage =
    QStringLiteral("That app is not playing anything right now. Play something in it, then try "
                   "again.");
const QString noAddressMessage = QStringLiteral("Parloquent gave no address to record to.");
const QString maxDurationMessage = QStringLiteral("The recording reached its maximum length.");
const QString connectionEndedMessage = QStringLiteral("The connection to Parloquent ended.");

// What a failed start shows: an APIError's message, any other error's description.
QString startFailure(std::exception_ptr failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const APIError& e) {
        return e.message();
    } catch (...) {
        return describe(std::current_exception());
    }
}

// A stream address the uplink can open: an absolute ws(s) or http(s) address.
std::optional<QUrl> streamAddress(const std::optional<QString>& text) {
    if (!text)
        return std::nullopt;
    const QUrl url(*text, QUrl::StrictMode);
    const QString scheme = url.scheme();
    if (!url.isValid() || url.host().isEmpty() ||
        (scheme != QLatin1String("ws") && scheme != QLatin1String("wss") &&
         scheme != QLatin1String("http") && scheme != QLatin1String("https")))
        return std::nullopt;
    return url;
}

[[noreturn]] void throwNoAddress() {
    throw APIError(QStringLiteral("invalid_state"), noAddressMessage, std::nullopt, false);
}

ProcessTap::Target allExceptTarget(const std::optional<std::uint32_t>& own) {
    std::vector<std::uint32_t> objects;
    if (own)
        objects.push_back(*own);
    return ProcessTap::Target::allExcept(std::move(objects));
}

ProcessTap::Target processesTarget(const std::vector<AudioProcess>& processes) {
    std::vector<std::uint32_t> objects;
    for (const auto& p : processes)
        objects.push_back(p.object);
    return ProcessTap::Target::processes(std::move(objects));
}

QStringList readingList(const std::optional<QString>& language) {
    return language ? QStringList{*language} : QStringList{};
}

SessionOptions captionOptions(const SettingsPatch& settings,
                              const std::optional<QString>& translateTo) {
    std::optional<QStringList> translate;
    if (translateTo)
        translate = QStringList{*translateTo};
    return SessionOptions(settings.spokenLanguage, translate, settings.speakerLabels);
}

QString withoutFullStop(QString sentence) {
    if (sentence.endsWith(QLatin1Char('.')))
        sentence.chop(1);
    return sentence;
}

} // namespace

// Where capture threads hand work to the main thread. The session clears `mailbox` before it
// goes, so a late callback posts into nothing rather than into a dead object.
struct LiveSession::Inbox {
    std::mutex mutex;
    Mailbox* mailbox = nullptr; // guarded by mutex

    void post(std::function<void()> task) {
        const std::lock_guard lock(mutex);
        if (mailbox)
            mailbox->post(std::move(task));
    }
    void close() {
        const std::lock_guard lock(mutex);
        mailbox = nullptr;
    }
};

// The microphone that cancels the echo of the tapped sound, fed from the tap's thread.
struct LiveSession::FarEnd {
    std::mutex mutex;
    AudioInput* mic = nullptr; // guarded by mutex

    void set(AudioInput* input) {
        const std::lock_guard lock(mutex);
        mic = input;
    }
    void feed(std::span<const float> samples) {
        const std::lock_guard lock(mutex);
        if (mic)
            mic->addReference(samples);
    }
};

LiveSession::LiveSession(API* api, AudioInputs& inputs, Mode mode, AudioSource source, bool withMic,
                         QString name, SettingsPatch settings, std::optional<QString> translateTo,
                         QObject* parent)
    : LiveSession(api, inputs, mode, std::move(source), withMic, std::move(name),
                  std::move(settings), std::move(translateTo), Timing{}, parent) {}

LiveSession::LiveSession(API* api, AudioInputs& inputs, Mode mode, AudioSource source, bool withMic,
                         QString name, SettingsPatch settings, std::optional<QString> translateTo,
                         Timing timing, QObject* parent)
    : QObject(parent), m_api(api), m_inputs(inputs), m_timing(timing), m_mode(mode),
      m_source(std::move(source)), m_withMic(withMic), m_name(std::move(name)),
      m_startedAt(QDateTime::currentDateTime()), m_transcript(translateTo),
      m_settings(std::move(settings)), m_translateTo(std::move(translateTo)),
      m_mailbox(new Mailbox(this)), m_inbox(std::make_shared<Inbox>()),
      m_farEnd(std::make_shared<FarEnd>()) {
    m_clock.start();
    m_inbox->mailbox = m_mailbox;
    m_labelsSpeakers = m_settings.speakerLabels == SpeakerLabels::on;
}

LiveSession::~LiveSession() {
    m_cancel.request_stop();
    m_inbox->close();
    m_farEnd->set(nullptr);
    // No capture callback runs once these return; the feed's thread ends with it.
    if (m_tap)
        m_tap->stop();
    if (m_mic)
        m_mic->stop();
    m_subscription.reset();
    m_session.reset();
}

API* LiveSession::api() const {
    return m_api;
}

bool LiveSession::isRunning() const {
    return m_state != State::done && m_state != State::failed;
}

void LiveSession::setState(State state, const QString& failure) {
    const QString message = state == State::failed ? failure : QString();
    if (m_state == state && m_failure == message)
        return;
    m_state = state;
    m_failure = message;
    emit stateChanged();
}

void LiveSession::setLevel(float level) {
    if (m_level == level)
        return;
    m_level = level;
    emit levelChanged();
}

void LiveSession::transcriptUpdated() {
    emit transcriptChanged();
    bool labels = false;
    if (m_settings.speakerLabels == SpeakerLabels::on) {
        labels = true;
    } else if (m_settings.speakerLabels != SpeakerLabels::off) {
        QSet<qint64> speakers;
        for (const auto& line : m_transcript.lines(panelWords)) {
            speakers.insert(line.speaker);
            if (speakers.size() >= 2)
                break;
        }
        labels = speakers.size() >= 2;
    }
    if (labels != m_labelsSpeakers) {
        m_labelsSpeakers = labels;
        emit labelsSpeakersChanged();
    }
}

void LiveSession::replaceTranscript() {
    m_transcript = Transcript(m_translateTo);
    transcriptUpdated();
}

void LiveSession::checkStop() const {
    if (m_stopping)
        throw StartCancelled{};
}

void LiveSession::detach(QCoro::Task<void> task) {
    QCoro::connect(std::move(task), this, [] {});
}

void LiveSession::endRun() {
    if (m_ended)
        return;
    m_ended = true;
    emit ended();
}

// Inputs --------------------------------------------------------------------------------------

void LiveSession::makeMixer(int inputs) {
    m_mixer = std::make_shared<Mixer>(inputs);
    Mixer* mixer = m_mixer.get(); // the mixer calls its own handler: it is alive then
    std::shared_ptr<Inbox> inbox = m_inbox;
    m_mixer->setOnChunk([this, mixer, inbox](std::vector<float> samples) {
        const float level = mixer->level();
        inbox->post([this, samples = std::move(samples), level]() mutable {
            chunk(std::move(samples), level);
        });
    });
}

void LiveSession::wireTap(AudioInput& tap) {
    std::shared_ptr<Mixer> mixer = m_mixer;
    std::shared_ptr<FarEnd> farEnd = m_farEnd;
    tap.setOnSamples([mixer, farEnd](const std::vector<float>& samples) {
        farEnd->feed(samples);
        mixer->push(samples, 0);
    });
}

void LiveSession::wireMic(AudioInput& mic, int input) {
    std::shared_ptr<Mixer> mixer = m_mixer;
    mic.setOnSamples(
        [mixer, input](const std::vector<float>& samples) { mixer->push(samples, input); });
}

QCoro::Task<void> LiveSession::openInputs() {
    const QPointer<LiveSession> self(this);
    const bool micOnly = m_source.kind == AudioSource::Kind::mic;
    makeMixer(micOnly || !m_withMic ? 1 : 2);

    if (!micOnly) {
        ProcessTap::Target target;
        if (m_source.kind == AudioSource::Kind::mac) {
            QCoro::Task<std::optional<std::uint32_t>> asking = m_inputs.ownProcess();
            const std::optional<std::uint32_t> own = co_await std::move(asking);
            if (!self)
                throw TransportError::cancellation();
            target = allExceptTarget(own);
        } else {
            QCoro::Task<std::vector<AudioProcess>> listing = m_inputs.processes();
            const std::vector<AudioProcess> all = co_await std::move(listing);
            if (!self)
                throw TransportError::cancellation();
            const std::vector<AudioProcess> mine = AudioProcesses::of(m_source.bundleID, all);
            if (mine.empty())
                throw APIError(QStringLiteral("no_audio"), noAudioMessage, std::nullopt, false);
            target = processesTarget(mine);
        }
        checkStop();
        m_tap = m_inputs.tap(std::move(target));
        wireTap(*m_tap);
        QCoro::Task<void> starting = m_tap->start();
        co_await std::move(starting);
        if (!self)
            throw TransportError::cancellation();
        checkStop();
    }

    if (m_withMic) {
        QCoro::Task<bool> asking = m_inputs.requestMicAccess();
        const bool allowed = co_await std::move(asking);
        if (!self)
            throw TransportError::cancellation();
        if (!allowed)
            throw CaptureError::micDenied();
        checkStop();
        m_mic = m_inputs.mic(!micOnly);
        wireMic(*m_mic, micOnly ? 0 : 1);
        if (m_tap)
            m_farEnd->set(m_mic.get());
        QCoro::Task<void> starting = m_mic->start();
        co_await std::move(starting);
        if (!self)
            throw TransportError::cancellation();
    }
}

// Chunks --------------------------------------------------------------------------------------

void LiveSession::chunk(std::vector<float> samples, float level) {
    const auto count = static_cast<qsizetype>(samples.size());
    if (m_tornDown) {
        // The last flushed chunk of a run that is over: the meter stays at rest.
        emit chunkHandled(count, false);
        return;
    }
    setLevel(m_paused ? 0.0f : level);
    const bool sending = m_state == State::live && !m_paused && !m_stopping && m_session;
    if (sending) {
        m_session->send(samples);
        m_sent += count;
        if (clockDue(m_sent, count))
            m_session->sendClock(m_sent, double(m_clock.elapsed()) / 1000.0);
        const double seconds = double(m_sent) / double(sampleRate);
        if (seconds != m_sentSeconds) {
            m_sentSeconds = seconds;
            emit sentSecondsChanged();
        }
    }
    emit chunkHandled(count, sending);
}

// Start ---------------------------------------------------------------------------------------

std::function<void()> LiveSession::loadingHandler() {
    const QPointer<LiveSession> self(this);
    return [self] {
        // A stop under way is not undone by a late "session.loading".
        if (self && !self->m_stopping && self->m_state != State::warming)
            self->setState(State::warming);
    };
}

void LiveSession::watchUplinkEnd() {
    connect(m_session.get(), &AudioSession::ended, this, &LiveSession::onUplinkEnded);
    // The uplink may have ended before anyone listened.
    if (m_session->hasEnded())
        onUplinkEnded(m_session->endReason());
}

void LiveSession::onCaptionFrame(const QJsonObject& frame) {
    m_transcript.apply(frame);
    transcriptUpdated();
}

QCoro::Task<void> LiveSession::connectUplink(std::optional<QString> streamUrl) {
    const QPointer<LiveSession> self(this);
    const std::optional<QUrl> url = streamAddress(streamUrl);
    if (!url)
        throwNoAddress();
    QCoro::Task<std::unique_ptr<AudioSession>> connecting =
        AudioSession::connect(*url, m_timing.connectDeadline, loadingHandler());
    std::unique_ptr<AudioSession> session = co_await std::move(connecting);
    if (!self)
        throw TransportError::cancellation();
    m_session = std::move(session);
}

QCoro::Task<void> LiveSession::startCaptions() {
    const QPointer<LiveSession> self(this);
    const SettingsPatch usedSettings = m_settings;
    const std::optional<QString> usedReading = m_translateTo;
    QCoro::Task<CreateSessionResponse> creating = m_api->createRealtimeSession(
        captionOptions(usedSettings, usedReading), m_cancel.get_token());
    const CreateSessionResponse created = co_await std::move(creating);
    if (!self)
        throw TransportError::cancellation();
    checkStop();
    QCoro::Task<void> connecting = connectUplink(created.streamUrl);
    co_await std::move(connecting); // it throws when the session went away meanwhile
    connect(m_session.get(), &AudioSession::frameReceived, this, &LiveSession::onCaptionFrame);
    checkStop();
    // Changes made while the session was being set up.
    if (m_settings != usedSettings)
        m_session->update(m_settings.spokenLanguage,
                          m_settings.speakerLabels.value_or(SpeakerLabels::auto_));
    if (m_translateTo != usedReading)
        m_session->update(readingList(m_translateTo));
    setState(State::live);
    watchUplinkEnd();
}

QCoro::Task<void> LiveSession::catchUpRecordingSettings(SettingsPatch used) {
    if (m_settings == used || !m_recordingId)
        co_return;
    QCoro::Task<void> updating =
        m_api->updateSettings(*m_recordingId, m_settings, m_cancel.get_token());
    try {
        co_await std::move(updating);
    } catch (...) {
        // As with any settings change: the run goes on with what the service has.
    }
}

QCoro::Task<void> LiveSession::startRecording() {
    const QPointer<LiveSession> self(this);
    const SettingsPatch usedSettings = m_settings;
    QCoro::Task<Transcription> creating =
        m_api->createLive(m_name, usedSettings, m_cancel.get_token());
    const Transcription transcription = co_await std::move(creating);
    if (!self)
        throw TransportError::cancellation();
    m_transcriptionId = transcription.id;
    checkStop();

    QCoro::Task<PublishGrant> starting =
        m_api->startRecording(transcription.id, false, m_cancel.get_token());
    const PublishGrant grant = co_await std::move(starting);
    if (!self)
        throw TransportError::cancellation();
    m_recordingId = grant.recording.id;
    checkStop();
    QCoro::Task<void> connecting = connectUplink(grant.streamUrl);
    co_await std::move(connecting); // it throws when the session went away meanwhile
    checkStop();

    QCoro::Task<void> catchingUp = catchUpRecordingSettings(usedSettings);
    co_await std::move(catchingUp);
    if (!self)
        throw TransportError::cancellation();
    checkStop();

    // A feed that does not open leaves the run without a transcript, not without a recording.
    QCoro::Task<bool> following = followFeed(grant.recording.id);
    co_await std::move(following);
    if (!self)
        throw TransportError::cancellation();
    checkStop();
    setState(State::live);
    watchUplinkEnd();
}

QCoro::Task<void> LiveSession::start() {
    const QPointer<LiveSession> self(this);
    if (m_started)
        co_return;
    m_started = true;
    std::exception_ptr failure;
    bool cancelled = false;
    try {
        if (!m_api)
            throw TransportError::cancellation();
        checkStop(); // stopped before it started: nothing is opened
        QCoro::Task<void> opening = openInputs();
        co_await std::move(opening);
        if (!self)
            co_return;
        checkStop();
        setState(State::warming);
        QCoro::Task<void> starting = m_mode.isRecord() ? startRecording() : startCaptions();
        co_await std::move(starting);
    } catch (const StartCancelled&) {
        cancelled = true;
    } catch (...) {
        failure = std::current_exception();
    }
    if (!self)
        co_return;
    if (!failure && !cancelled)
        co_return;
    // The user stopped: whatever failed after that does not matter any more.
    if (failure && m_stopping) {
        failure = nullptr;
        cancelled = true;
    }
    QCoro::Task<void> abandoning = abandonStart(failure, cancelled);
    co_await std::move(abandoning);
}

QCoro::Task<void> LiveSession::abandonStart(std::exception_ptr failure, bool cancelled) {
    const QPointer<LiveSession> self(this);
    // A stop that found the uplink open shuts the run down itself.
    if (m_finishing)
        co_return;
    if (m_recordingId && m_api) {
        const QString recording = *m_recordingId;
        QCoro::Task<void> pausing = m_api->pause(recording, m_cancel.get_token());
        try {
            co_await std::move(pausing);
        } catch (...) {
        }
        if (!self)
            co_return;
        QCoro::Task<void> stopping = m_api->stop(recording, m_cancel.get_token());
        try {
            co_await std::move(stopping);
        } catch (...) {
        }
        if (!self)
            co_return;
    }
    m_stopping = true;
    teardown();
    if (cancelled)
        setState(State::done);
    else
        setState(State::failed, startFailure(failure));
    endRun();
}

// Feed ----------------------------------------------------------------------------------------

void LiveSession::wireFeed(Subscription& feed, quint64 generation) {
    // Deliveries come on the feed's thread; they are applied on the main thread, in order, and
    // only while this feed is the current one.
    std::shared_ptr<Inbox> inbox = m_inbox;
    connect(
        &feed, &Subscription::snapshotReceived, this,
        [this, inbox, generation](const TranscriptSnapshot& snapshot) {
            inbox->post([this, generation, snapshot] { onFeedSnapshot(generation, snapshot); });
        },
        Qt::DirectConnection);
    connect(
        &feed, &Subscription::frameReceived, this,
        [this, inbox, generation](const QJsonObject& frame) {
            inbox->post([this, generation, frame] { onFeedFrame(generation, frame); });
        },
        Qt::DirectConnection);
    connect(
        &feed, &Subscription::lost, this,
        [this, inbox, generation](const std::optional<QString>&) {
            inbox->post([this, generation] { onFeedLost(generation); });
        },
        Qt::DirectConnection);
}

QCoro::Task<bool> LiveSession::followFeed(QString recordingId) {
    const QPointer<LiveSession> self(this);
    const quint64 generation = ++m_feedGeneration;
    // The previous feed goes: it delivers nothing more.
    m_subscription.reset();
    if (!m_api)
        co_return false;
    m_subscription =
        std::make_unique<Subscription>(m_api, recordingId, m_translateTo, m_timing.feed);
    wireFeed(*m_subscription, generation);
    QCoro::Task<void> opening = m_subscription->open();
    bool opened = false;
    try {
        co_await std::move(opening);
        opened = true;
    } catch (...) {
        // The run goes on without a feed.
    }
    if (!self)
        co_return false;
    co_return opened&& generation == m_feedGeneration;
}

QCoro::Task<void> LiveSession::follow(QString recordingId) {
    QCoro::Task<bool> following = followFeed(std::move(recordingId));
    co_await std::move(following);
}

void LiveSession::onFeedSnapshot(quint64 generation, const TranscriptSnapshot& snapshot) {
    if (generation != m_feedGeneration)
        return;
    m_transcript.apply(snapshot);
    transcriptUpdated();
}

void LiveSession::onFeedFrame(quint64 generation, const QJsonObject& frame) {
    if (generation != m_feedGeneration)
        return;
    m_transcript.apply(frame);
    transcriptUpdated();
}

void LiveSession::onFeedLost(quint64 generation) {
    if (generation != m_feedGeneration || m_stopping || !isRunning() || !m_recordingId)
        return;
    detach(refollow(generation));
}

QCoro::Task<void> LiveSession::refollow(quint64 lostGeneration) {
    const QPointer<LiveSession> self(this);
    std::chrono::milliseconds delay = m_timing.refollowFirst;
    quint64 expected = lostGeneration;
    for (;;) {
        QCoro::Task<bool> waiting = sleepFor(delay, m_cancel.get_token());
        co_await std::move(waiting);
        // Stopped, gone, or followed anew by someone else meanwhile.
        if (!self || m_stopping || m_feedGeneration != expected || !m_recordingId)
            co_return;
        QCoro::Task<bool> following = followFeed(*m_recordingId);
        expected = m_feedGeneration; // the feed just made
        const bool opened = co_await std::move(following);
        if (!self || opened)
            co_return;
        delay = std::min(delay * 2, m_timing.refollowMax);
    }
}

// Uplink end and stop -------------------------------------------------------------------------

void LiveSession::onUplinkEnded(const std::optional<QString>& reason) {
    if (m_stopping)
        return;
    std::optional<QString> outcome;
    if (reason == QStringLiteral("max_duration"))
        outcome = maxDurationMessage;
    else if (reason != QStringLiteral("eof"))
        outcome = connectionEndedMessage;
    detach(finish(outcome));
}

QCoro::Task<void> LiveSession::stop() {
    QCoro::Task<void> finishing = finish(std::nullopt);
    co_await std::move(finishing);
}

QCoro::Task<std::optional<QString>> LiveSession::stopAtService(QString recording) {
    const QPointer<LiveSession> self(this);
    QString lastFailure;
    for (int attempt = 1;; ++attempt) {
        if (!self || !m_api)
            co_return TransportError::cancellation().description();
        if (attempt > 1 || !m_paused) {
            QCoro::Task<void> pausing = m_api->pause(recording, m_cancel.get_token());
            try {
                co_await std::move(pausing);
            } catch (...) {
            }
            if (!self || !m_api)
                co_return TransportError::cancellation().description();
        }
        QCoro::Task<void> stopping = m_api->stop(recording, m_cancel.get_token());
        try {
            co_await std::move(stopping);
            co_return std::nullopt;
        } catch (...) {
            lastFailure = describe(std::current_exception());
        }
        QCoro::Task<bool> waiting = sleepFor(m_timing.stopRetryDelay, m_cancel.get_token());
        co_await std::move(waiting);
        if (attempt >= stopAttempts)
            co_return lastFailure;
    }
}

QCoro::Task<void> LiveSession::finish(std::optional<QString> error) {
    const QPointer<LiveSession> self(this);
    if (m_stopping)
        co_return;
    const State noted = m_state;
    m_stopping = true;
    setState(State::stopping);
    // The start sees the stop at its next check and ends the run itself.
    if ((noted == State::starting || noted == State::warming) && !m_session)
        co_return;
    m_finishing = true;
    if (m_mixer)
        m_mixer->flush(); // its last chunk arrives while stopping and is not sent

    if (m_recordingId) {
        QCoro::Task<std::optional<QString>> stopping = stopAtService(*m_recordingId);
        const std::optional<QString> failure = co_await std::move(stopping);
        if (!self)
            co_return;
        if (failure) {
            const QString message = error ? *error
                                          : QStringLiteral("The recording could not be stopped: ") +
                                                withoutFullStop(*failure) +
                                                QStringLiteral(". Stop it in the dashboard.");
            teardown();
            setState(State::failed, message);
            endRun();
            co_return;
        }
        if (m_session) {
            QCoro::Task<void> waiting = m_session->waitForEnd(m_timing.uplinkEndWait);
            co_await std::move(waiting);
            if (!self)
                co_return;
        }
    } else if (m_session) {
        m_session->eof();
        QCoro::Task<void> waiting = m_session->waitForEnd(m_timing.eofWait);
        co_await std::move(waiting);
        if (!self)
            co_return;
    }

    teardown();
    if (error)
        setState(State::failed, *error);
    else
        setState(State::done);
    if (m_mode.isRecord() && m_mode.meeting && m_recordingId && !error) {
        QCoro::Task<void> summarizing = summarize(*m_recordingId);
        co_await std::move(summarizing);
        if (!self)
            co_return;
    }
    endRun();
}

void LiveSession::teardown() {
    if (m_session)
        m_session->close();
    if (m_subscription)
        m_subscription->close();
    m_farEnd->set(nullptr);
    if (m_tap)
        m_tap->stop();
    if (m_mic)
        m_mic->stop();
    m_tap.reset();
    m_mic.reset();
    m_tornDown = true;
    setLevel(0.0f);
}

QCoro::Task<void> LiveSession::summarize(QString recordingId) {
    const QPointer<LiveSession> self(this);
    if (!m_api)
        co_return;
    QCoro::Task<SummaryStatus> asking = m_api->summarize(recordingId, m_cancel.get_token());
    try {
        co_await std::move(asking);
    } catch (...) {
        // Polled all the same: the summary may be under way.
    }
    if (!self)
        co_return;
    std::chrono::milliseconds wait = m_timing.summaryFirstWait;
    for (int polls = 0;;) {
        // Only the session going away ends a wait early; an interrupted wait does not end polling.
        QCoro::Task<bool> waiting = sleepFor(wait, m_cancel.get_token());
        co_await std::move(waiting);
        if (!self || !m_api)
            co_return;
        QCoro::Task<SummaryStatus> polling = m_api->summary(recordingId, m_cancel.get_token());
        std::optional<SummaryStatus> status;
        try {
            status = co_await std::move(polling);
        } catch (...) {
        }
        if (!self)
            co_return;
        if (status) {
            if (status->state == QLatin1String("ready")) {
                m_summary = *status;
                emit summaryChanged();
                co_return;
            }
            if (status->state == QLatin1String("unavailable") ||
                status->state == QLatin1String("not_requested"))
                co_return;
        }
        if (++polls >= summaryPolls)
            co_return;
        wait = polls <= summaryShortPolls ? m_timing.summaryShortWait : m_timing.summaryLongWait;
    }
}

// While running -------------------------------------------------------------------------------

QCoro::Task<void> LiveSession::setPaused(bool paused) {
    const QPointer<LiveSession> self(this);
    if (m_stopping || (m_state != State::live && m_state != State::paused))
        co_return;
    if (m_recordingId && m_api) {
        QCoro::Task<void> asking = paused ? m_api->pause(*m_recordingId, m_cancel.get_token())
                                          : m_api->resume(*m_recordingId, m_cancel.get_token());
        try {
            co_await std::move(asking);
        } catch (...) {
            co_return;
        }
        // A stop that began meanwhile owns the state now.
        if (!self || m_stopping)
            co_return;
    }
    m_paused = paused;
    if (paused)
        setLevel(0.0f);
    setState(paused ? State::paused : State::live);
}

QCoro::Task<void> LiveSession::update(SettingsPatch settings) {
    if (settings == m_settings)
        co_return;
    m_settings = settings;
    emit settingsChanged();
    transcriptUpdated(); // whether speakers are labelled may change
    if (!m_mode.isRecord()) {
        if (m_session)
            m_session->update(settings.spokenLanguage,
                              settings.speakerLabels.value_or(SpeakerLabels::auto_));
        co_return;
    }
    if (!m_recordingId || !m_api)
        co_return;
    QCoro::Task<void> updating =
        m_api->updateSettings(*m_recordingId, settings, m_cancel.get_token());
    try {
        co_await std::move(updating);
    } catch (...) {
        // The published settings stay changed.
    }
}

QCoro::Task<void> LiveSession::setReading(std::optional<QString> language) {
    if (language == m_translateTo)
        co_return;
    m_translateTo = language;
    emit translateToChanged();
    // The transcript is in one reading language: a new one starts empty (before the run has a
    // feed or an uplink too, so it is never left in the old language).
    replaceTranscript();
    if (m_mode.isRecord()) {
        if (m_recordingId) {
            QCoro::Task<bool> following = followFeed(*m_recordingId);
            co_await std::move(following);
        }
        co_return;
    }
    if (m_session)
        m_session->update(readingList(language));
}

void LiveSession::preview(State state, const QList<QJsonObject>& frames, const QString& failure) {
    setState(state, failure);
    for (const QJsonObject& frame : frames)
        m_transcript.apply(frame);
    transcriptUpdated();
}

} // namespace pq
