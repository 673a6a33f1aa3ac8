#include "Wait.h"

#include <QCoroTimer>
#include <QTimer>

namespace pq {

QCoro::Task<bool> sleepFor(std::chrono::milliseconds duration, std::stop_token stop) {
    if (stop.stop_requested())
        co_return false;
    QTimer timer;
    timer.setSingleShot(true);
    // Declared after the timer so it is gone before the timer is: a stop from another thread
    // either finishes posting first or never sees a dead timer.
    std::stop_callback onStop(stop, [&timer] {
        QMetaObject::invokeMethod(
            &timer, [&timer] { timer.start(0); }, Qt::QueuedConnection);
    });
    timer.start(duration);
    co_await timer;
    co_return !stop.stop_requested();
}

} // namespace pq
