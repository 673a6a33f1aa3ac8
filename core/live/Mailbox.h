#pragma once

#include <QObject>

#include <deque>
#include <functional>
#include <mutex>

namespace pq {

// Runs functions on the thread the mailbox lives on, one at a time, in the order they were
// posted from any thread. The functions themselves pass through a std::mutex and only a bare
// wake-up goes through Qt's event queue: ThreadSanitizer cannot see inside an uninstrumented Qt,
// but it does see the mutex, so data handed over this way is ordered for it too.
class Mailbox : public QObject {
    Q_OBJECT

public:
    explicit Mailbox(QObject* parent = nullptr);

    // Runs `task` later on the mailbox's thread (never inside this call). Tasks still waiting
    // when the mailbox is destroyed are dropped; a task may destroy the mailbox.
    void post(std::function<void()> task);

signals:
    void posted(QPrivateSignal);

private:
    void drain();

    std::mutex m_mutex;
    std::deque<std::function<void()>> m_tasks; // guarded by m_mutex
};

} // namespace pq
