# Real services the tests run against, started before ctest and stopped after it (sourced by
# scripts/test). Each service adds a start and a stop step here; stop steps must be safe to run
# when their start never ran or failed half-way.

services_start() {
    pulse_start
}

services_stop() {
    pulse_stop
}

# Headless PulseAudio for the audio tests; exports PULSE_SERVER and PULSE_CLIENTCONFIG.
pulse_start() {
    local exports
    exports=$("$(dirname "${BASH_SOURCE[0]}")/pulse" start) || return 1
    eval "$exports"
}

pulse_stop() {
    "$(dirname "${BASH_SOURCE[0]}")/pulse" stop || true
}
