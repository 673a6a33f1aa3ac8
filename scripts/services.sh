# Real services the tests run against, started before ctest and stopped after it (sourced by
# scripts/test). Each service adds a start and a stop step here; stop steps must be safe to run
# when their start never ran or failed half-way.

PQ_RUNTIME=${PQ_RUNTIME:-/tmp/pq-test-services}

services_start() {
    mkdir -p "$PQ_RUNTIME"
    # A private session bus with an unlocked Secret Service (gnome-keyring).
    "$root/scripts/dbus-session" start "$PQ_RUNTIME/dbus" || return 1
    # shellcheck disable=SC1091
    source "$PQ_RUNTIME/dbus/env"
}

services_stop() {
    "$root/scripts/dbus-session" stop "$PQ_RUNTIME/dbus" 2>/dev/null || true
}
