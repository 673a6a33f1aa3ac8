#pragma once

#include <QProcess>

namespace pq::test {

// Asks a child process to end, and kills it when it has not after `graceMs`. True when it ended
// by itself (or was not running).
inline bool endProcess(QProcess& process, int graceMs = 5000) {
    if (process.state() == QProcess::NotRunning)
        return true;
    process.terminate();
    if (process.waitForFinished(graceMs))
        return true;
    process.kill();
    process.waitForFinished(graceMs);
    return false;
}

} // namespace pq::test
