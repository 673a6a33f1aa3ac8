// Uploads a large file to a loopback server that discards the body, and prints wall time and
// peak resident memory beside curl doing the same multipart upload to the same server.
//
//   bench_upload [--size-mib N] [--file PATH]
//
// The server runs in a child process (this program started with --serve) so that its buffers
// do not count against the client.
#include "API.h"
#include "Error.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <cstdio>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

// --- the discarding server -------------------------------------------------------------------

int serve() {
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, 0))
        return 1;
    std::printf("%d\n", server.serverPort());
    std::fflush(stdout);
    struct State {
        QByteArray head;
        qint64 remaining = -1;
    };
    QObject::connect(&server, &QTcpServer::newConnection, [&server] {
        while (QTcpSocket* s = server.nextPendingConnection()) {
            auto* state = new State;
            QObject::connect(s, &QTcpSocket::disconnected, s, [s, state] {
                delete state;
                s->deleteLater();
            });
            QObject::connect(s, &QTcpSocket::readyRead, s, [s, state] {
                char buffer[64 * 1024];
                for (;;) {
                    if (state->remaining < 0) {
                        state->head += s->read(4096);
                        const qsizetype end = state->head.indexOf("\r\n\r\n");
                        if (end < 0) {
                            if (!s->bytesAvailable())
                                return;
                            continue;
                        }
                        const QByteArray lower = state->head.left(end).toLower();
                        const qsizetype cl = lower.indexOf("content-length:");
                        state->remaining =
                            cl < 0 ? 0
                                   : lower.mid(cl + 15, lower.indexOf('\r', cl) - cl - 15)
                                         .trimmed()
                                         .toLongLong();
                        if (lower.contains("expect: 100-continue"))
                            s->write("HTTP/1.1 100 Continue\r\n\r\n");
                        state->remaining -= state->head.size() - end - 4;
                        state->head.clear();
                    }
                    while (state->remaining > 0 && s->bytesAvailable() > 0)
                        state->remaining -= s->read(buffer, sizeof buffer);
                    if (state->remaining > 0)
                        return;
                    const QByteArray body =
                        R"({"id":"t","name":"bench","createdAt":"now","job":{"state":"queued",)"
                        R"("recordingId":"r","progress":{"pct":0}}})";
                    s->write("HTTP/1.1 201 Created\r\nContent-Type: application/json\r\n"
                             "Content-Length: " +
                             QByteArray::number(body.size()) + "\r\n\r\n" + body);
                    state->remaining = -1;
                    if (!s->bytesAvailable())
                        return;
                }
            });
        }
    });
    return QCoreApplication::exec();
}

// --- measurements ----------------------------------------------------------------------------

qint64 statusKiB(const char* field) {
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith(field))
            return line.mid(qstrlen(field)).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

void resetPeak() {
    QFile f(QStringLiteral("/proc/self/clear_refs"));
    if (f.open(QIODevice::WriteOnly))
        f.write("5");
}

bool makeFile(const QString& path, qint64 bytes) {
    if (QFileInfo(path).size() == bytes)
        return true;
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    QByteArray block(4 * 1024 * 1024, Qt::Uninitialized);
    quint64 x = 0x9E3779B97F4A7C15ULL;
    for (qint64 written = 0; written < bytes; written += block.size()) {
        for (qsizetype i = 0; i + 8 <= block.size(); i += 8) {
            x ^= x << 13, x ^= x >> 7, x ^= x << 17;
            memcpy(block.data() + i, &x, 8);
        }
        const qint64 n = std::min<qint64>(block.size(), bytes - written);
        if (f.write(block.constData(), n) != n)
            return false;
    }
    return true;
}

struct Figures {
    double seconds = 0;
    qint64 peakKiB = 0;
    bool ok = false;
};

// libcurl's own command line doing the same multipart upload. Its peak memory is polled from
// /proc (VmHWM only grows), because a spawned child's rusage starts from the parent's peak.
Figures runCurl(const QString& file, quint16 port) {
    const QByteArray options =
        R"(options={"name":"bench","settings":{"spokenLanguage":null}};type=application/json)";
    const QByteArray fileArg = "file=@" + file.toLocal8Bit();
    const QByteArray url = "http://127.0.0.1:" + QByteArray::number(port) + "/v1/transcriptions";
    const char* argv[] = {"curl",         "-s", "-S",           "-o",       "/dev/null", "-F",
                          options.data(), "-F", fileArg.data(), url.data(), nullptr};
    QElapsedTimer timer;
    timer.start();
    pid_t pid;
    if (posix_spawnp(&pid, "curl", nullptr, nullptr, const_cast<char**>(argv), environ) != 0)
        return {};
    Figures f;
    const QString status = QStringLiteral("/proc/%1/status").arg(pid);
    int wstatus = 0;
    for (;;) {
        QFile proc(status);
        if (proc.open(QIODevice::ReadOnly))
            for (const QByteArray& line : proc.readAll().split('\n'))
                if (line.startsWith("VmHWM:"))
                    f.peakKiB =
                        std::max(f.peakKiB, line.mid(6).trimmed().split(' ')[0].toLongLong());
        if (waitpid(pid, &wstatus, WNOHANG) == pid)
            break;
        usleep(2000);
    }
    f.seconds = timer.nsecsElapsed() / 1e9;
    f.ok = WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0;
    return f;
}

Figures runOurs(QCoreApplication& app, pq::API& api, const QString& file, qint64& idleKiB) {
    resetPeak();
    idleKiB = statusKiB("VmRSS:");
    Figures f;
    double lastFraction = 0;
    QElapsedTimer timer;
    timer.start();
    bool done = false;
    QCoro::connect(api.upload(file, pq::SettingsPatch(), [&](double x) { lastFraction = x; }), &app,
                   [&] { done = true; });
    while (!done)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    f.seconds = timer.nsecsElapsed() / 1e9;
    f.peakKiB = statusKiB("VmHWM:");
    f.ok = lastFraction == 1.0;
    return f;
}

template <class T> T median(QList<T> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.contains(QStringLiteral("--serve")))
        return serve();

    qint64 sizeMiB = 1024;
    QString file = QDir::temp().filePath(QStringLiteral("pq-bench-upload.bin"));
    for (qsizetype i = 1; i + 1 < args.size(); ++i) {
        if (args[i] == QLatin1String("--size-mib"))
            sizeMiB = args[i + 1].toLongLong();
        else if (args[i] == QLatin1String("--file"))
            file = args[i + 1];
    }
    const qint64 bytes = sizeMiB * 1024 * 1024;
    if (!makeFile(file, bytes)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(file));
        return 1;
    }

    QProcess server;
    server.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--serve")});
    if (!server.waitForReadyRead(5000)) {
        std::fprintf(stderr, "the server did not start\n");
        return 1;
    }
    const quint16 port = server.readLine().trimmed().toUShort();

    pq::API api(pq::Env{pq::Env::Name::local, QUrl(QStringLiteral("http://127.0.0.1:%1").arg(port)),
                        QUrl()},
                QStringLiteral("pq_key_bench"));

    // Both sides read the source from the page cache: read it once before timing anything.
    {
        QFile warm(file);
        if (warm.open(QIODevice::ReadOnly))
            while (!warm.read(4 * 1024 * 1024).isEmpty()) {
            }
    }

    // Alternate the two, each after a sync so one run's dirty pages do not slow the next.
    constexpr int rounds = 3;
    QList<double> ourWall, curlWall;
    QList<qint64> ourExtra, curlPeak;
    bool ok = true;
    for (int round = 0; round < rounds; ++round) {
        qint64 idleKiB = 0;
        sync();
        const Figures ours = runOurs(app, api, file, idleKiB);
        sync();
        const Figures curl = runCurl(file, port);
        ok = ok && ours.ok && curl.ok;
        ourWall.append(ours.seconds);
        curlWall.append(curl.seconds);
        ourExtra.append(ours.peakKiB - idleKiB);
        curlPeak.append(curl.peakKiB);
        std::printf("  round %d: parloquent %.2f s (+%.1f MiB over idle %.1f MiB), curl %.2f s "
                    "(peak %.1f MiB)\n",
                    round + 1, ours.seconds, (ours.peakKiB - idleKiB) / 1024.0, idleKiB / 1024.0,
                    curl.seconds, curl.peakKiB / 1024.0);
    }
    server.kill();
    server.waitForFinished();

    const double ratio = median(ourWall) / median(curlWall);
    const double extraMiB = *std::max_element(ourExtra.begin(), ourExtra.end()) / 1024.0;
    std::printf("upload of %lld MiB over loopback, median of %d rounds\n",
                static_cast<long long>(sizeMiB), rounds);
    std::printf("  parloquent: %.2f s wall, peak RSS at most %.1f MiB above idle%s\n",
                median(ourWall), extraMiB, ok ? "" : "  [FAILED]");
    std::printf("  curl -F:    %.2f s wall, peak RSS %.1f MiB\n", median(curlWall),
                median(curlPeak) / 1024.0);
    std::printf("  wall ratio %.2f (target <= 1.5), memory above idle %.1f MiB (target <= 16)\n",
                ratio, extraMiB);
    const bool met = ok && ratio <= 1.5 && extraMiB <= 16;
    std::printf("  %s\n", met ? "targets met" : "TARGETS MISSED");
    return met ? 0 : 2;
}
