#include "Mailbox.h"

#include <QPointer>

namespace pq {

Mailbox::Mailbox(QObject* parent) : QObject(parent) {
    // Made once, before any other thread can post: the wake-up carries no data.
    connect(this, &Mailbox::posted, this, &Mailbox::drain, Qt::QueuedConnection);
}

void Mailbox::post(std::function<void()> task) {
    bool wake = false;
    {
        const std::lock_guard lock(m_mutex);
        wake = m_tasks.empty();
        m_tasks.push_back(std::move(task));
    }
    // A queue that was not empty has a wake-up on its way, or is being drained.
    if (wake)
        emit posted(QPrivateSignal());
}

void Mailbox::drain() {
    // A task may end with the mailbox's owner, and the mailbox, deleted.
    const QPointer<Mailbox> self(this);
    while (self) {
        std::function<void()> task;
        {
            const std::lock_guard lock(m_mutex);
            if (m_tasks.empty())
                return;
            task = std::move(m_tasks.front());
            m_tasks.pop_front();
        }
        task();
    }
}

} // namespace pq
