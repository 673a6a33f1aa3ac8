#pragma once

#include <QString>

#include <optional>

namespace pq::cli {

// Plain text in and out of the terminal (or of whatever standard input and output are).
class Terminal {
public:
    static bool outputIsTerminal();
    static bool errorIsTerminal();
    static bool inputIsTerminal();
    // Columns of the terminal on standard output (or standard error), 80 when unknown.
    static int width();
    static void print(const QString& line);      // standard output, with a line break, flushed
    static void printError(const QString& line); // standard error, with a line break
    // Replaces the current line of a terminal with `line` (no line break), on standard output or
    // standard error.
    static void rewrite(const QString& line, bool onError = false);
    // Clears the current line of a terminal, leaving the cursor at its start.
    static void clearLine(bool onError = false);
    // One line of standard input; with `hidden`, typed characters are not echoed on a terminal.
    // Nothing at end of input.
    static std::optional<QString> readLine(const QString& prompt, bool hidden);
};

} // namespace pq::cli
