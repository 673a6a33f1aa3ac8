#pragma once

#include <QString>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace pq::server {

// A thread of its own that runs posted work in order. Destroying it drops what has not started
// and waits for the work under way. Plain std::thread and std::mutex, so that the thread
// sanitizer sees every hand-over (Qt's own event queue is not instrumented in Debian's Qt).
class WorkerThread {
public:
    explicit WorkerThread(const QString& name);
    ~WorkerThread();
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    void post(std::function<void()> work);
    // Drops what has not started, runs `last` on the thread, and waits for it to end.
    void stop(std::function<void()> last = {});

private:
    void run();

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<std::function<void()>> m_work;
    bool m_stopping = false;
    std::function<void()> m_last;
    std::thread m_thread;
};

} // namespace pq::server
