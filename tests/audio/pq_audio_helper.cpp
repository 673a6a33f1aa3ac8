// A sound-server client for the tests, in a process of its own: connects under a client name and
// opens a playback stream that starts paused (corked), then waits until it is killed.
//   pq_audio_helper --client-name NAME
#include <pulse/pulseaudio.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

pa_threaded_mainloop* loop = nullptr;
pa_stream* stream = nullptr;

void streamChanged(pa_stream* s, void*) {
    switch (pa_stream_get_state(s)) {
    case PA_STREAM_READY:
        std::printf("ready\n");
        std::fflush(stdout);
        break;
    case PA_STREAM_FAILED:
        std::fprintf(stderr, "stream failed\n");
        _exit(1);
    default:
        break;
    }
}

void contextChanged(pa_context* c, void*) {
    switch (pa_context_get_state(c)) {
    case PA_CONTEXT_READY: {
        const pa_sample_spec spec{PA_SAMPLE_S16LE, 48000, 2};
        stream = pa_stream_new(c, "paused", &spec, nullptr);
        pa_stream_set_state_callback(stream, streamChanged, nullptr);
        if (pa_stream_connect_playback(stream, nullptr, nullptr, PA_STREAM_START_CORKED, nullptr,
                                       nullptr) < 0)
            _exit(1);
        break;
    }
    case PA_CONTEXT_FAILED:
    case PA_CONTEXT_TERMINATED:
        std::fprintf(stderr, "connection failed\n");
        _exit(1);
    default:
        break;
    }
}

} // namespace

int main(int argc, char** argv) {
    const char* name = "pq_audio_helper";
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--client-name") == 0)
            name = argv[i + 1];
    loop = pa_threaded_mainloop_new();
    pa_context* context = pa_context_new(pa_threaded_mainloop_get_api(loop), name);
    pa_context_set_state_callback(context, contextChanged, nullptr);
    if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
        return 1;
    pa_threaded_mainloop_start(loop);
    for (;;)
        pause();
}
