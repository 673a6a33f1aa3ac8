#pragma once

#include <QString>

#include <optional>

namespace pq::cli {

// Plain text in and out of the terminal (or of whatever standard input and output are).
class Terminal {
public:
    static bool outputIsTerminal();
    static bool inputIsTerminal();
    static void print(const QString& line);      // standard output, with a line break, flushed
    static void printError(const QString& line); // standard error, with a line break
    // One line of standard input; with `hidden`, typed characters are not echoed on a terminal.
    // Nothing at end of input.
    static std::optional<QString> readLine(const QString& prompt, bool hidden);
};

} // namespace pq::cli
