#include "Terminal.h"

#include <cstdio>
#include <iostream>
#include <string>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace pq::cli {

bool Terminal::outputIsTerminal() {
    return ::isatty(STDOUT_FILENO) == 1;
}

bool Terminal::errorIsTerminal() {
    return ::isatty(STDERR_FILENO) == 1;
}

int Terminal::width() {
    winsize size = {};
    for (const int fd : {STDOUT_FILENO, STDERR_FILENO})
        if (::ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
            return size.ws_col;
    return 80;
}

void Terminal::rewrite(const QString& line, bool onError) {
    FILE* out = onError ? stderr : stdout;
    std::fputs(QByteArray("\r\x1b[2K").append(line.toUtf8()).constData(), out);
    std::fflush(out);
}

void Terminal::clearLine(bool onError) {
    FILE* out = onError ? stderr : stdout;
    std::fputs("\r\x1b[2K", out);
    std::fflush(out);
}

bool Terminal::inputIsTerminal() {
    return ::isatty(STDIN_FILENO) == 1;
}

void Terminal::print(const QString& line) {
    std::fputs(line.toUtf8().append('\n').constData(), stdout);
    std::fflush(stdout);
}

void Terminal::printError(const QString& line) {
    std::fputs(line.toUtf8().append('\n').constData(), stderr);
}

std::optional<QString> Terminal::readLine(const QString& prompt, bool hidden) {
    const bool terminal = inputIsTerminal();
    if (terminal && !prompt.isEmpty()) {
        std::fputs(prompt.toUtf8().constData(), stderr);
        std::fflush(stderr);
    }
    termios saved = {};
    const bool quiet = hidden && terminal && ::tcgetattr(STDIN_FILENO, &saved) == 0;
    if (quiet) {
        termios noEcho = saved;
        noEcho.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &noEcho);
    }
    std::string line;
    const bool got = static_cast<bool>(std::getline(std::cin, line));
    if (quiet) {
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        std::fputs("\n", stderr);
    }
    if (!got)
        return std::nullopt;
    return QString::fromStdString(line);
}

} // namespace pq::cli
