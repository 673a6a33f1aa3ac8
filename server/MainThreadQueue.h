#pragma once

#include <QObject>

#include <deque>
#include <functional>
#include <mutex>

class QSocketNotifier;

namespace pq::server {

// Runs work posted from any thread on the thread that owns this object, in order: the work
// waits under a std::mutex and an eventfd wakes the owner's event loop. Work still waiting when
// the queue is destroyed is dropped, so posted work may refer to the queue's owner.
class MainThreadQueue : public QObject {
    Q_OBJECT

public:
    explicit MainThreadQueue(QObject* parent = nullptr);
    ~MainThreadQueue() override;

    void post(std::function<void()> work);

private:
    void drain();

    std::mutex m_mutex;
    std::deque<std::function<void()>> m_work;
    int m_fd = -1;
    QSocketNotifier* m_notifier = nullptr;
};

} // namespace pq::server
