# Real services the tests run against, started before ctest and stopped after it (sourced by
# scripts/test). Each service adds a start and a stop step here; stop steps must be safe to run
# when their start never ran or failed half-way. Folders are per checkout, so several checkouts
# on one machine can test at once.

services_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
PQ_RUNTIME=${PQ_RUNTIME:-/tmp/pq-services-$(printf %s "$services_dir" | md5sum | cut -c1-8)}

services_start() {
    mkdir -p "$PQ_RUNTIME"
    dbus_start && pulse_start
}

services_stop() {
    pulse_stop
    dbus_stop
}

# A private session bus with an unlocked Secret Service (gnome-keyring); exports
# DBUS_SESSION_BUS_ADDRESS.
dbus_start() {
    "$services_dir/dbus-session" start "$PQ_RUNTIME/dbus" || return 1
    # shellcheck disable=SC1091
    source "$PQ_RUNTIME/dbus/env"
}

dbus_stop() {
    "$services_dir/dbus-session" stop "$PQ_RUNTIME/dbus" 2>/dev/null || true
}

# Headless PulseAudio for the audio tests; exports PULSE_SERVER and PULSE_CLIENTCONFIG.
pulse_start() {
    local exports
    exports=$("$services_dir/pulse" start) || return 1
    eval "$exports"
}

pulse_stop() {
    "$services_dir/pulse" stop || true
}
