#pragma once

#include "Transcript.h"

namespace pq::cli {

// Prints a live transcript as it grows. On a terminal the line being spoken is rewritten in place
// and each line is printed for good once a newer one starts; elsewhere (a pipe, a file) only
// lines that are done are printed, one output line each. Translations follow their line,
// indented.
class TranscriptPrinter {
public:
    TranscriptPrinter(int maxWords, bool terminal);

    // Shows the transcript as it is now.
    void show(const Transcript& transcript, bool labels);
    // Prints what was not printed yet (without words still being heard) and ends the live line.
    void finish(const Transcript& transcript, bool labels);
    // A message on standard error that does not tear the live line.
    void note(const QString& message);

    // The printed form of one line.
    static QString format(const Transcript::Line& line, const Transcript& transcript, bool labels);
    // `text` cut to its last `columns` characters, marked as cut.
    static QString tail(const QString& text, int columns);

private:
    void printDone(const QList<Transcript::Line>& lines, qsizetype upTo,
                   const Transcript& transcript, bool labels);

    const int m_maxWords;
    const bool m_terminal;
    qsizetype m_printed = 0; // lines printed for good
    QString m_live;          // what the live line shows now (terminal only)
};

} // namespace pq::cli
