#include "MainThreadQueue.h"

#include <QPointer>
#include <QSocketNotifier>

#include <stdexcept>
#include <sys/eventfd.h>
#include <unistd.h>

namespace pq::server {

MainThreadQueue::MainThreadQueue(QObject* parent) : QObject(parent) {
    m_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_fd < 0)
        throw std::runtime_error("eventfd failed");
    m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &MainThreadQueue::drain);
}

MainThreadQueue::~MainThreadQueue() {
    delete m_notifier;
    ::close(m_fd);
}

void MainThreadQueue::post(std::function<void()> work) {
    {
        std::lock_guard lock(m_mutex);
        m_work.push_back(std::move(work));
    }
    const quint64 one = 1;
    [[maybe_unused]] const auto n = ::write(m_fd, &one, sizeof one);
}

void MainThreadQueue::drain() {
    quint64 count = 0;
    [[maybe_unused]] const auto n = ::read(m_fd, &count, sizeof count);
    std::deque<std::function<void()>> work;
    {
        std::lock_guard lock(m_mutex);
        work.swap(m_work);
    }
    // Work may destroy this queue (its owner ends): stop at once if it does.
    QPointer<MainThreadQueue> alive(this);
    for (auto& w : work) {
        w();
        if (!alive)
            return;
    }
}

} // namespace pq::server
