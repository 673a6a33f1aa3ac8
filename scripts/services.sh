# Real services the tests run against, started before ctest and stopped after it (sourced by
# scripts/test). Each service adds a start and a stop step here; stop steps must be safe to run
# when their start never ran or failed half-way.

services_start() {
    :
}

services_stop() {
    :
}
