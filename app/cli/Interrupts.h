#pragma once

#include <QObject>

class QSocketNotifier;

namespace pq::cli {

// Turns SIGINT and SIGTERM into a Qt signal on the main thread (through a self-pipe, the only
// async-signal-safe way to reach the event loop), so Ctrl-C can end a run cleanly.
class Interrupts : public QObject {
    Q_OBJECT

public:
    explicit Interrupts(QObject* parent = nullptr);
    ~Interrupts() override;

    int count() const { return m_count; }

signals:
    void interrupted();

private:
    QSocketNotifier* m_notifier = nullptr;
    int m_count = 0;
};

} // namespace pq::cli
