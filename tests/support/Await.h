#pragma once

#include <QCoroTask>
#include <QEventLoop>
#include <QTimer>

#include <chrono>
#include <memory>
#include <optional>
#include <type_traits>
#include <variant>

namespace pq::test {

// What a coroutine under test ended with: a value, an exception, or nothing yet (time-out).
template <class T> struct Outcome {
    using Value = std::conditional_t<std::is_void_v<T>, std::monostate, T>;
    std::optional<Value> value;
    std::exception_ptr error;
    bool finished = false;
    QEventLoop* loop = nullptr;

    // A copy of the error as E, or nothing when it is something else (or there was none).
    template <class E> std::optional<E> errorAs() const {
        if (!error)
            return std::nullopt;
        try {
            std::rethrow_exception(error);
        } catch (const E& e) {
            return e;
        } catch (...) {
        }
        return std::nullopt;
    }
};

namespace detail {
template <class T> QCoro::Task<void> drive(QCoro::Task<T> task, std::shared_ptr<Outcome<T>> out) {
    try {
        if constexpr (std::is_void_v<T>) {
            co_await std::move(task);
            out->value.emplace();
        } else {
            out->value.emplace(co_await std::move(task));
        }
    } catch (...) {
        out->error = std::current_exception();
    }
    out->finished = true;
    if (out->loop)
        out->loop->quit();
}
} // namespace detail

// Runs the event loop until `task` ends or `timeout` passes. Unlike QCoro::waitFor, an exception
// is kept for the test to inspect instead of hanging the loop.
template <class T>
std::shared_ptr<Outcome<T>> await(QCoro::Task<T> task,
                                  std::chrono::milliseconds timeout = std::chrono::seconds(15)) {
    auto out = std::make_shared<Outcome<T>>();
    detail::drive(std::move(task), out);
    if (!out->finished) {
        QEventLoop loop;
        out->loop = &loop;
        QTimer::singleShot(timeout, &loop, &QEventLoop::quit);
        loop.exec();
        out->loop = nullptr;
    }
    return out;
}

} // namespace pq::test
