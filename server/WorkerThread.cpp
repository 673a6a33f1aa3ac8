#include "WorkerThread.h"

#include <pthread.h>

namespace pq::server {

WorkerThread::WorkerThread(const QString& name) : m_thread([this] { run(); }) {
    // Shown by top -H and debuggers; Linux allows 15 characters.
    pthread_setname_np(m_thread.native_handle(), name.left(15).toUtf8().constData());
}

WorkerThread::~WorkerThread() {
    stop();
}

void WorkerThread::stop(std::function<void()> last) {
    if (!m_thread.joinable())
        return;
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
        m_work.clear();
        m_last = std::move(last);
    }
    m_wake.notify_one();
    m_thread.join();
}

void WorkerThread::post(std::function<void()> work) {
    {
        std::lock_guard lock(m_mutex);
        if (m_stopping)
            return;
        m_work.push_back(std::move(work));
    }
    m_wake.notify_one();
}

void WorkerThread::run() {
    for (;;) {
        std::function<void()> work;
        {
            std::unique_lock lock(m_mutex);
            m_wake.wait(lock, [this] { return m_stopping || !m_work.empty(); });
            if (m_stopping) {
                std::function<void()> last = std::move(m_last);
                lock.unlock();
                if (last)
                    last();
                return;
            }
            work = std::move(m_work.front());
            m_work.pop_front();
        }
        work();
    }
}

} // namespace pq::server
