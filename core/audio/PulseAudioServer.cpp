#include "PulseAudioServer.h"

#include <QCoroFuture>
#include <QFuture>
#include <QLoggingCategory>
#include <QPromise>

#include <pulse/pulseaudio.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <map>
#include <mutex>

Q_LOGGING_CATEGORY(lcAudio, "parloquent.audio")

namespace pq {

static_assert(AudioServer::errAccess == PA_ERR_ACCESS);
static_assert(AudioServer::errConnectionRefused == PA_ERR_CONNECTIONREFUSED);
static_assert(AudioServer::errNoEntity == PA_ERR_NOENTITY);
static_assert(AudioServer::errKilled == PA_ERR_KILLED);

namespace {

// Each wake-up costs the server and us more than the data: 100 ms is the most latency a live
// caption can spare. Longer fragments, or a monitor stream that does not ask for its latency,
// let the sink run with a longer latency, and the audio it then rewinds reaches a sink input's
// monitor twice (99 chunks for 80 at 250 ms).
constexpr auto fragment = std::chrono::milliseconds(100);
constexpr auto reconnectDelay = std::chrono::seconds(2);

// Our identity, shown by mixers and found by AudioProcesses::current().
pa_proplist* ownProperties() {
    pa_proplist* p = pa_proplist_new();
    pa_proplist_sets(p, PA_PROP_APPLICATION_NAME, "Parloquent");
    pa_proplist_sets(p, PA_PROP_APPLICATION_ID, "com.parloquent.Parloquent");
    pa_proplist_sets(p, PA_PROP_APPLICATION_ICON_NAME, "com.parloquent.Parloquent");
#ifdef PARLOQUENT_VERSION
    pa_proplist_sets(p, PA_PROP_APPLICATION_VERSION, PARLOQUENT_VERSION);
#endif
    return p;
}

AudioFormat formatOf(const pa_sample_spec& spec) {
    return AudioFormat{spec.format == PA_SAMPLE_S16NE ? AudioFormat::SampleType::int16
                                                      : AudioFormat::SampleType::float32,
                       static_cast<int>(spec.rate), spec.channels};
}

// The device's own format where we convert it ourselves; anything else is asked for as float so
// that the server only changes the sample type.
pa_sample_spec recordSpec(pa_sample_spec spec) {
    if (spec.format != PA_SAMPLE_S16NE && spec.format != PA_SAMPLE_FLOAT32NE)
        spec.format = PA_SAMPLE_FLOAT32NE;
    return spec;
}

int propertyInt(const pa_proplist* p, const char* key) {
    const char* value = p ? pa_proplist_gets(p, key) : nullptr;
    if (!value)
        return 0;
    bool ok = false;
    const int n = QByteArray(value).toInt(&ok);
    return ok ? n : 0;
}

QString propertyText(const pa_proplist* p, const char* key) {
    const char* value = p ? pa_proplist_gets(p, key) : nullptr;
    return value ? QString::fromUtf8(value) : QString();
}

template <class T> void upsert(std::vector<T>& list, T entry) {
    auto it = std::lower_bound(list.begin(), list.end(), entry.index,
                               [](const T& e, std::uint32_t index) { return e.index < index; });
    if (it != list.end() && it->index == entry.index)
        *it = std::move(entry);
    else
        list.insert(it, std::move(entry));
}

template <class T> void removeIndex(std::vector<T>& list, std::uint32_t index) {
    std::erase_if(list, [&](const T& e) { return e.index == index; });
}

} // namespace

class PulseRecordStream : public RecordStream {
public:
    PulseRecordStream(pa_context* context, RecordHandler handler)
        : m_context(context), m_handler(std::move(handler)) {}

    ~PulseRecordStream() override {
        if (!m_stream)
            return;
        pa_stream_set_state_callback(m_stream, nullptr, nullptr);
        pa_stream_set_read_callback(m_stream, nullptr, nullptr);
        const pa_stream_state_t state = pa_stream_get_state(m_stream);
        if (state == PA_STREAM_CREATING || state == PA_STREAM_READY)
            pa_stream_disconnect(m_stream);
        pa_stream_unref(m_stream);
    }

    int open(const char* name, const pa_sample_spec& spec, const pa_channel_map* map,
             const char* device, std::optional<std::uint32_t> playback) {
        pa_proplist* props = pa_proplist_new();
        pa_proplist_sets(props, PA_PROP_MEDIA_ROLE, "production");
        pa_proplist_sets(props, PA_PROP_MEDIA_ICON_NAME, "com.parloquent.Parloquent");
        m_stream = pa_stream_new_with_proplist(m_context, name, &spec, map, props);
        pa_proplist_free(props);
        if (!m_stream)
            return pa_context_errno(m_context);
        m_frameBytes = pa_frame_size(&spec);
        pa_stream_set_state_callback(m_stream, &PulseRecordStream::stateChanged, this);
        pa_stream_set_read_callback(m_stream, &PulseRecordStream::readable, this);

        auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY);
        if (playback) {
            if (pa_stream_set_monitor_stream(m_stream, *playback) < 0)
                return pa_context_errno(m_context);
            flags = static_cast<pa_stream_flags_t>(flags | PA_STREAM_DONT_MOVE);
        }
        pa_buffer_attr attr;
        attr.maxlength = static_cast<std::uint32_t>(-1);
        attr.tlength = attr.prebuf = attr.minreq = static_cast<std::uint32_t>(-1);
        attr.fragsize = static_cast<std::uint32_t>(pa_usec_to_bytes(
            std::chrono::duration_cast<std::chrono::microseconds>(fragment).count(), &spec));
        if (pa_stream_connect_record(m_stream, device, &attr, flags) < 0)
            return pa_context_errno(m_context);
        return 0;
    }

private:
    static void stateChanged(pa_stream* s, void* userdata) {
        auto* self = static_cast<PulseRecordStream*>(userdata);
        switch (pa_stream_get_state(s)) {
        case PA_STREAM_READY:
            if (self->m_handler.ready)
                self->m_handler.ready(formatOf(*pa_stream_get_sample_spec(s)));
            break;
        case PA_STREAM_FAILED:
            if (self->m_handler.failed)
                self->m_handler.failed(pa_context_errno(self->m_context));
            break;
        default:
            break;
        }
    }

    static void readable(pa_stream* s, std::size_t, void* userdata) {
        auto* self = static_cast<PulseRecordStream*>(userdata);
        while (pa_stream_readable_size(s) > 0) {
            const void* data = nullptr;
            std::size_t bytes = 0;
            if (pa_stream_peek(s, &data, &bytes) < 0 || bytes == 0)
                return;
            // A hole (no data) is dropped like any fragment.
            if (data && self->m_handler.data && bytes >= self->m_frameBytes)
                self->m_handler.data(data, bytes - bytes % self->m_frameBytes);
            pa_stream_drop(s);
        }
    }

    pa_context* m_context;
    RecordHandler m_handler;
    pa_stream* m_stream = nullptr;
    std::size_t m_frameBytes = 1;
};

class PulseAudioServer::Impl {
public:
    explicit Impl(const QString& address) : m_address(address.toUtf8()) {
        m_loop = pa_threaded_mainloop_new();
        m_api = pa_threaded_mainloop_get_api(m_loop);
        pa_threaded_mainloop_set_name(m_loop, "parloquent.audio");
        m_wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        // Registered before the thread runs, so no lock is needed yet.
        m_wake = m_api->io_new(m_api, m_wakeFd, PA_IO_EVENT_INPUT, &Impl::woken, this);
        pa_threaded_mainloop_start(m_loop);
        post([this] { startConnecting(); });
    }

    ~Impl() {
        {
            std::lock_guard guard(m_jobsMutex);
            m_closing = true;
        }
        pa_threaded_mainloop_stop(m_loop);
        // The loop thread is gone: finish what was handed over (stream clean-ups) here.
        runJobs();
        for (auto& [id, timer] : m_timers)
            m_api->time_free(timer->event);
        m_timers.clear();
        if (m_retry)
            m_api->time_free(m_retry);
        dropContext();
        m_api->io_free(m_wake);
        pa_threaded_mainloop_free(m_loop);
        ::close(m_wakeFd);
    }

    void post(std::function<void()> job) {
        {
            std::lock_guard guard(m_jobsMutex);
            if (m_closing)
                return;
            m_jobs.push_back(std::move(job));
        }
        const std::uint64_t one = 1;
        [[maybe_unused]] auto written = ::write(m_wakeFd, &one, sizeof one);
    }

    QFuture<int> connectFuture() {
        auto promise = std::make_shared<QPromise<int>>();
        promise->start();
        QFuture<int> future = promise->future();
        post([this, promise] {
            whenConnected([promise](int error) {
                promise->addResult(error);
                promise->finish();
            });
        });
        return future;
    }

    ServerState state() const {
        std::lock_guard guard(m_stateMutex);
        return m_published;
    }

    std::uint64_t watch(std::function<void()> changed) {
        const auto id = ++m_lastId;
        m_watchers.emplace(id, std::move(changed));
        return id;
    }
    void unwatch(std::uint64_t id) { m_watchers.erase(id); }

    std::uint64_t every(std::chrono::milliseconds interval, std::function<void()> tick) {
        const auto id = ++m_lastId;
        auto timer = std::make_unique<Timer>(Timer{this, id, interval, std::move(tick), nullptr});
        timer->event = m_api->time_new(m_api, deadline(interval), &Impl::timerFired, timer.get());
        m_timers.emplace(id, std::move(timer));
        return id;
    }

    void cancel(std::uint64_t id) {
        auto it = m_timers.find(id);
        if (it == m_timers.end())
            return;
        m_api->time_free(it->second->event);
        m_timers.erase(it);
    }

    Opened record(const Record& what, RecordHandler handler) {
        if (!m_context || m_phase != Phase::ready)
            return {nullptr, PA_ERR_BADSTATE};
        const QByteArray name = what.name.toUtf8();
        pa_sample_spec spec;
        const pa_channel_map* map = nullptr;
        QByteArray device;
        if (what.playback) {
            const auto* playback = m_work.playback(*what.playback);
            auto sink = playback ? m_sinkSpecs.find(playback->device) : m_sinkSpecs.end();
            if (sink == m_sinkSpecs.end())
                return {nullptr, PA_ERR_NOENTITY};
            spec = recordSpec(sink->second.spec);
            map = &sink->second.map;
            device = sink->second.monitor;
        } else {
            const auto* source = m_work.sourceNamed(m_work.defaultSource);
            auto raw = source ? m_sourceSpecs.find(source->index) : m_sourceSpecs.end();
            if (raw == m_sourceSpecs.end())
                return {nullptr, PA_ERR_NOENTITY};
            spec = recordSpec(raw->second.spec);
            map = &raw->second.map;
            // No device named: the stream follows the default source when the user changes it.
        }
        auto stream = std::make_unique<PulseRecordStream>(m_context, std::move(handler));
        if (const int error =
                stream->open(name.constData(), spec, map,
                             device.isEmpty() ? nullptr : device.constData(), what.playback))
            return {nullptr, error};
        return {std::move(stream), 0};
    }

private:
    enum class Phase { idle, connecting, loading, ready };

    struct Timer {
        Impl* impl;
        std::uint64_t id;
        std::chrono::milliseconds interval;
        std::function<void()> tick;
        pa_time_event* event;
    };

    struct DeviceSpec {
        pa_sample_spec spec;
        pa_channel_map map;
        QByteArray monitor; // of a sink: its monitor source's name
    };

    static const timeval* deadline(std::chrono::milliseconds in) {
        static thread_local timeval tv;
        pa_gettimeofday(&tv);
        pa_timeval_add(&tv, static_cast<pa_usec_t>(in.count()) * PA_USEC_PER_MSEC);
        return &tv;
    }

    static void woken(pa_mainloop_api*, pa_io_event*, int fd, pa_io_event_flags_t, void* userdata) {
        std::uint64_t count = 0;
        [[maybe_unused]] auto got = ::read(fd, &count, sizeof count);
        static_cast<Impl*>(userdata)->runJobs();
    }

    void runJobs() {
        std::vector<std::function<void()>> jobs;
        {
            std::lock_guard guard(m_jobsMutex);
            jobs.swap(m_jobs);
        }
        for (auto& job : jobs)
            job();
    }

    static void timerFired(pa_mainloop_api*, pa_time_event*, const timeval*, void* userdata) {
        auto* timer = static_cast<Timer*>(userdata);
        Impl* self = timer->impl;
        const auto id = timer->id;
        // The tick may cancel its own timer: keep a copy and look the timer up again after it.
        auto tick = timer->tick;
        tick();
        auto it = self->m_timers.find(id);
        if (it != self->m_timers.end())
            self->m_api->time_restart(it->second->event, deadline(it->second->interval));
    }

    void whenConnected(std::function<void(int)> done) {
        if (m_phase == Phase::ready) {
            done(0);
            return;
        }
        m_waiters.push_back(std::move(done));
        if (m_phase == Phase::idle)
            startConnecting();
    }

    void startConnecting() {
        if (m_phase != Phase::idle || m_closing)
            return;
        pa_proplist* props = ownProperties();
        m_context = pa_context_new_with_proplist(m_api, "Parloquent", props);
        pa_proplist_free(props);
        if (!m_context) {
            lost(PA_ERR_INTERNAL);
            return;
        }
        m_phase = Phase::connecting;
        pa_context_set_state_callback(m_context, &Impl::contextChanged, this);
        pa_context_set_subscribe_callback(m_context, &Impl::subscribed, this);
        if (pa_context_connect(m_context, m_address.isEmpty() ? nullptr : m_address.constData(),
                               PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
            lost(pa_context_errno(m_context));
    }

    static void contextChanged(pa_context* c, void* userdata) {
        auto* self = static_cast<Impl*>(userdata);
        switch (pa_context_get_state(c)) {
        case PA_CONTEXT_READY: {
            self->m_phase = Phase::loading;
            const auto mask = static_cast<pa_subscription_mask_t>(
                PA_SUBSCRIPTION_MASK_CLIENT | PA_SUBSCRIPTION_MASK_SINK |
                PA_SUBSCRIPTION_MASK_SOURCE | PA_SUBSCRIPTION_MASK_SINK_INPUT |
                PA_SUBSCRIPTION_MASK_SOURCE_OUTPUT | PA_SUBSCRIPTION_MASK_SERVER);
            self->track(pa_context_subscribe(c, mask, nullptr, nullptr), false);
            self->track(pa_context_get_server_info(c, &Impl::serverInfo, self));
            self->track(pa_context_get_client_info_list(c, &Impl::clientInfo, self));
            self->track(pa_context_get_sink_info_list(c, &Impl::sinkInfo, self));
            self->track(pa_context_get_source_info_list(c, &Impl::sourceInfo, self));
            self->track(pa_context_get_sink_input_info_list(c, &Impl::sinkInputInfo, self));
            self->track(pa_context_get_source_output_info_list(c, &Impl::sourceOutputInfo, self));
            break;
        }
        case PA_CONTEXT_FAILED:
        case PA_CONTEXT_TERMINATED:
            self->lost(pa_context_errno(c));
            break;
        default:
            break;
        }
    }

    // Counts the queries in flight: the state is known once the first round has answered.
    void track(pa_operation* op, bool counted = true) {
        if (!op)
            return;
        if (counted)
            ++m_pending;
        pa_operation_unref(op);
    }

    void answered() {
        if (m_pending > 0)
            --m_pending;
        if (m_phase == Phase::loading && m_pending == 0) {
            m_phase = Phase::ready;
            publish();
            auto waiters = std::move(m_waiters);
            m_waiters.clear();
            for (auto& done : waiters)
                done(0);
            notify();
        } else if (m_phase == Phase::ready) {
            publish();
            notify();
        }
    }

    void lost(int error) {
        if (error == PA_OK)
            error = PA_ERR_CONNECTIONTERMINATED;
        const bool wasConnected = m_phase == Phase::ready;
        m_phase = Phase::idle;
        m_pending = 0;
        if (m_context) {
            pa_context_set_state_callback(m_context, nullptr, nullptr);
            pa_context_set_subscribe_callback(m_context, nullptr, nullptr);
            // Not inside its own callback: let go of it from the next round of the loop.
            pa_context* context = m_context;
            m_context = nullptr;
            post([context] {
                pa_context_disconnect(context);
                pa_context_unref(context);
            });
        }
        m_work = ServerState{};
        m_sinkSpecs.clear();
        m_sourceSpecs.clear();
        publish();
        auto waiters = std::move(m_waiters);
        m_waiters.clear();
        for (auto& done : waiters)
            done(error);
        if (wasConnected) {
            qCWarning(lcAudio) << "lost the sound server:" << pa_strerror(error);
            notify();
        }
        if (!m_retry && !m_closing)
            m_retry = m_api->time_new(m_api, deadline(reconnectDelay), &Impl::retry, this);
    }

    static void retry(pa_mainloop_api* api, pa_time_event* e, const timeval*, void* userdata) {
        auto* self = static_cast<Impl*>(userdata);
        api->time_free(e);
        self->m_retry = nullptr;
        self->startConnecting();
    }

    void dropContext() {
        if (!m_context)
            return;
        pa_context_set_state_callback(m_context, nullptr, nullptr);
        pa_context_set_subscribe_callback(m_context, nullptr, nullptr);
        pa_context_disconnect(m_context);
        pa_context_unref(m_context);
        m_context = nullptr;
    }

    void publish() {
        std::lock_guard guard(m_stateMutex);
        m_published = m_work;
        m_published.connected = m_phase == Phase::ready;
    }

    void notify() {
        // A watcher may unwatch itself or others while called.
        auto watchers = m_watchers;
        for (auto& [id, changed] : watchers)
            if (m_watchers.count(id))
                changed();
    }

    static void subscribed(pa_context* c, pa_subscription_event_type_t t, std::uint32_t index,
                           void* userdata) {
        auto* self = static_cast<Impl*>(userdata);
        const auto facility = t & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
        const bool removed = (t & PA_SUBSCRIPTION_EVENT_TYPE_MASK) == PA_SUBSCRIPTION_EVENT_REMOVE;
        if (removed) {
            switch (facility) {
            case PA_SUBSCRIPTION_EVENT_CLIENT:
                removeIndex(self->m_work.clients, index);
                break;
            case PA_SUBSCRIPTION_EVENT_SINK:
                removeIndex(self->m_work.sinks, index);
                self->m_sinkSpecs.erase(index);
                break;
            case PA_SUBSCRIPTION_EVENT_SOURCE:
                removeIndex(self->m_work.sources, index);
                self->m_sourceSpecs.erase(index);
                break;
            case PA_SUBSCRIPTION_EVENT_SINK_INPUT:
                removeIndex(self->m_work.playbacks, index);
                break;
            case PA_SUBSCRIPTION_EVENT_SOURCE_OUTPUT:
                removeIndex(self->m_work.recordings, index);
                break;
            default:
                return;
            }
            if (self->m_phase == Phase::ready) {
                self->publish();
                self->notify();
            }
            return;
        }
        switch (facility) {
        case PA_SUBSCRIPTION_EVENT_CLIENT:
            self->track(pa_context_get_client_info(c, index, &Impl::clientInfo, self));
            break;
        case PA_SUBSCRIPTION_EVENT_SINK:
            self->track(pa_context_get_sink_info_by_index(c, index, &Impl::sinkInfo, self));
            break;
        case PA_SUBSCRIPTION_EVENT_SOURCE:
            self->track(pa_context_get_source_info_by_index(c, index, &Impl::sourceInfo, self));
            break;
        case PA_SUBSCRIPTION_EVENT_SINK_INPUT:
            self->track(pa_context_get_sink_input_info(c, index, &Impl::sinkInputInfo, self));
            break;
        case PA_SUBSCRIPTION_EVENT_SOURCE_OUTPUT:
            self->track(pa_context_get_source_output_info(c, index, &Impl::sourceOutputInfo, self));
            break;
        case PA_SUBSCRIPTION_EVENT_SERVER:
            self->track(pa_context_get_server_info(c, &Impl::serverInfo, self));
            break;
        default:
            break;
        }
    }

    static void serverInfo(pa_context*, const pa_server_info* info, void* userdata) {
        auto* self = static_cast<Impl*>(userdata);
        if (info)
            self->m_work.defaultSource = QString::fromUtf8(info->default_source_name);
        self->answered();
    }

    static void clientInfo(pa_context*, const pa_client_info* info, int eol, void* userdata) {
        auto* self = static_cast<Impl*>(userdata);
        if (eol) {
            self->answered();
            return;
        }
        upsert(self->m_work.clients,
               ServerState::Client{info->index,
                                   propertyInt(info->proplist, PA_PROP_APPLICATION_PROCESS_ID),
                                   QString::fromUtf8(info->name),
                                   propertyText(info->proplist, PA_PROP_APPLICATION_ID)});
    }

    static void sinkInfo(pa_context*, const pa_sink_info* info, int eol, void* userdata) {
        auto* self = static_cast<Impl*>(userdata);
        if (eol) {
            self->answered();
            return;
        }
        upsert(self->m_work.sinks, ServerState::Device{info->index, QString::fromUtf8(info->name),
                                                       formatOf(info->sample_spec), false});
        self->m_sinkSpecs[info->index] =
            DeviceSpec{info->sample_spec, info->channel_map,
                       QByteArray(info->monitor_source_name ? info->monitor_source_name : "")};
    }

    static void sourceInfo(pa_context*, const pa_source_info* info, int eol, void* userdata) {
        auto* self = static_cast<Impl*>(userdata);
        if (eol) {
            self->answered();
            return;
        }
        upsert(self->m_work.sources,
               ServerState::Device{info->index, QString::fromUtf8(info->name),
                                   formatOf(info->sample_spec),
                                   info->monitor_of_sink != PA_INVALID_INDEX});
        self->m_sourceSpecs[info->index] = DeviceSpec{info->sample_spec, info->channel_map, {}};
    }

    static void sinkInputInfo(pa_context*, const pa_sink_input_info* info, int eol,
                              void* userdata) {
        auto* self = static_cast<Impl*>(userdata);
        if (eol) {
            self->answered();
            return;
        }
        upsert(self->m_work.playbacks,
               ServerState::Stream{info->index, info->client, info->sink, info->corked != 0});
    }

    static void sourceOutputInfo(pa_context*, const pa_source_output_info* info, int eol,
                                 void* userdata) {
        auto* self = static_cast<Impl*>(userdata);
        if (eol) {
            self->answered();
            return;
        }
        upsert(self->m_work.recordings,
               ServerState::Stream{info->index, info->client, info->source, info->corked != 0});
    }

    QByteArray m_address;
    pa_threaded_mainloop* m_loop = nullptr;
    pa_mainloop_api* m_api = nullptr;
    int m_wakeFd = -1;
    pa_io_event* m_wake = nullptr;

    std::mutex m_jobsMutex;
    std::vector<std::function<void()>> m_jobs;
    std::atomic<bool> m_closing{false};

    // Loop thread only.
    pa_context* m_context = nullptr;
    Phase m_phase = Phase::idle;
    int m_pending = 0;
    std::vector<std::function<void(int)>> m_waiters;
    ServerState m_work;
    std::map<std::uint32_t, DeviceSpec> m_sinkSpecs;
    std::map<std::uint32_t, DeviceSpec> m_sourceSpecs;
    std::map<std::uint64_t, std::function<void()>> m_watchers;
    std::map<std::uint64_t, std::unique_ptr<Timer>> m_timers;
    std::uint64_t m_lastId = 0;
    pa_time_event* m_retry = nullptr;

    mutable std::mutex m_stateMutex;
    ServerState m_published;
};

PulseAudioServer::PulseAudioServer(const QString& address) : d(std::make_unique<Impl>(address)) {}

PulseAudioServer::~PulseAudioServer() = default;

QCoro::Task<int> PulseAudioServer::connect() {
    QFuture<int> answer = d->connectFuture();
    co_return co_await answer;
}

ServerState PulseAudioServer::state() const {
    return d->state();
}
void PulseAudioServer::post(std::function<void()> job) {
    d->post(std::move(job));
}
std::uint64_t PulseAudioServer::watch(std::function<void()> changed) {
    return d->watch(std::move(changed));
}
void PulseAudioServer::unwatch(std::uint64_t id) {
    d->unwatch(id);
}
std::uint64_t PulseAudioServer::every(std::chrono::milliseconds interval,
                                      std::function<void()> tick) {
    return d->every(interval, std::move(tick));
}
void PulseAudioServer::cancel(std::uint64_t timer) {
    d->cancel(timer);
}
AudioServer::Opened PulseAudioServer::record(const Record& what, RecordHandler handler) {
    return d->record(what, std::move(handler));
}
QString PulseAudioServer::errorText(int error) const {
    return QString::fromUtf8(pa_strerror(error));
}

} // namespace pq
