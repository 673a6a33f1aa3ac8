#include "TranscriptPrinter.h"

#include "Terminal.h"

#include <QJsonArray>

namespace pq::cli {

TranscriptPrinter::TranscriptPrinter(int maxWords, bool terminal)
    : m_maxWords(maxWords), m_terminal(terminal) {}

QString TranscriptPrinter::format(const Transcript::Line& line, const Transcript& transcript,
                                  bool labels) {
    QString out =
        labels ? transcript.name(line.speaker) + QStringLiteral(": ") + line.text : line.text;
    if (line.translation && !line.translation->isEmpty())
        out += QStringLiteral("\n    ") + *line.translation;
    return out;
}

QString TranscriptPrinter::tail(const QString& text, int columns) {
    QString flat = text;
    flat.replace(QLatin1Char('\n'), QLatin1Char(' '));
    if (columns < 2)
        return {};
    if (flat.size() <= columns)
        return flat;
    return QStringLiteral("…") + flat.right(columns - 1);
}

void TranscriptPrinter::printDone(const QList<Transcript::Line>& lines, qsizetype upTo,
                                  const Transcript& transcript, bool labels) {
    for (; m_printed < upTo; ++m_printed) {
        if (!m_live.isEmpty()) {
            Terminal::clearLine();
            m_live.clear();
        }
        Terminal::print(format(lines[m_printed], transcript, labels));
    }
}

void TranscriptPrinter::show(const Transcript& transcript, bool labels) {
    const QList<Transcript::Line> lines = transcript.lines(m_maxWords);
    // Every line but the last is done: the next words can only go on the last one.
    printDone(lines, lines.size() - 1, transcript, labels);
    if (!m_terminal)
        return;
    const QString live = lines.size() > m_printed
                             ? tail(format(lines.last(), transcript, labels), Terminal::width() - 1)
                             : QString();
    if (live == m_live)
        return;
    m_live = live;
    Terminal::rewrite(live);
}

void TranscriptPrinter::finish(const Transcript& transcript, bool labels) {
    // Words still being heard when the run ended were never committed.
    Transcript done = transcript;
    done.apply(QJsonObject{{QStringLiteral("type"), QStringLiteral("transcript.draft")},
                           {QStringLiteral("segments"), QJsonArray()}});
    const QList<Transcript::Line> lines = done.lines(m_maxWords);
    printDone(lines, lines.size(), done, labels);
    if (!m_live.isEmpty()) {
        Terminal::clearLine();
        m_live.clear();
    }
}

void TranscriptPrinter::note(const QString& message) {
    if (m_live.isEmpty()) {
        Terminal::printError(message);
        return;
    }
    Terminal::clearLine();
    Terminal::printError(message);
    Terminal::rewrite(m_live);
}

} // namespace pq::cli
