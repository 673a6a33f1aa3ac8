#pragma once

#include <QCoroTask>

#include <chrono>
#include <stop_token>

namespace pq {

// Suspends for `duration` on the calling thread's event loop. Returns false, early, when `stop`
// is requested before or during the wait (from any thread).
QCoro::Task<bool> sleepFor(std::chrono::milliseconds duration, std::stop_token stop = {});

} // namespace pq
