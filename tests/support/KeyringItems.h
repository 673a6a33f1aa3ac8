#pragma once

#include <QProcess>
#include <QString>

namespace pq::test {

// The production key item the application and the command line share, read and removed with
// secret-tool, independently of our code.
inline QString storedProductionKey() {
    QProcess tool;
    tool.start("secret-tool",
               {"lookup", "service", "com.parloquent.linux.api-key", "account", "production"});
    tool.waitForFinished(5000);
    return QString::fromUtf8(tool.readAllStandardOutput());
}

inline void clearProductionKey() {
    QProcess tool;
    tool.start("secret-tool",
               {"clear", "service", "com.parloquent.linux.api-key", "account", "production"});
    tool.waitForFinished(5000);
}

} // namespace pq::test
