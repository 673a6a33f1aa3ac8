#pragma once

#include <functional>
#include <mutex>
#include <vector>

namespace pq {

// Where a capture's samples leave the sound thread for the owner's handler. Once closed, the
// handler is never called again, not even by a delivery already under way: close() waits for
// it, which is why the handler runs under the lock.
class SamplesGate {
public:
    using Handler = std::function<void(const std::vector<float>&)>;

    void setHandler(Handler handler);
    void deliver(const std::vector<float>& samples);
    void close();
    bool closed() const;

private:
    mutable std::mutex m_mutex;
    Handler m_handler;
    bool m_closed = false;
};

} // namespace pq
