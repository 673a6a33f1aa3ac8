#pragma once

#include <QCoroFuture>
#include <QCoroTask>
#include <QPromise>

#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <type_traits>

namespace pq {

// Runs blocking `work` on a thread of its own and resumes the caller on its thread with the
// result (or the exception `work` threw). Unlike QtConcurrent's pool, a new std::thread and a
// std::mutex order every hand-over in a way ThreadSanitizer sees (Qt is not built with it); the
// QFuture only wakes the caller up. The thread outlives an abandoned caller and ends on its own.
template <class Work> auto runOnOwnThread(Work work) -> QCoro::Task<std::invoke_result_t<Work&>> {
    using T = std::invoke_result_t<Work&>;
    struct Outcome {
        std::mutex mutex;
        std::optional<T> value;   // guarded by mutex
        std::exception_ptr error; // guarded by mutex
    };
    auto outcome = std::make_shared<Outcome>();
    QPromise<void> promise;
    QFuture<void> done = promise.future();
    promise.start();
    std::thread([outcome, work = std::move(work), promise = std::move(promise)]() mutable {
        try {
            T value = work();
            const std::lock_guard lock(outcome->mutex);
            outcome->value.emplace(std::move(value));
        } catch (...) {
            const std::lock_guard lock(outcome->mutex);
            outcome->error = std::current_exception();
        }
        promise.finish();
    }).detach();
    co_await done;
    const std::lock_guard lock(outcome->mutex);
    if (outcome->error)
        std::rethrow_exception(outcome->error);
    co_return std::move(*outcome->value);
}

} // namespace pq
