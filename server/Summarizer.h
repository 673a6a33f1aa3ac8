#pragma once

#include <QList>
#include <QString>
#include <QStringList>

namespace pq::server {

// Extractive summaries with TextRank (Mihalcea and Tarau, 2004): sentences are ranked by
// PageRank over their word-overlap similarity, and the best few are kept in transcript order;
// the title is made of the best key phrases, runs of the words that rank highest in a
// co-occurrence graph. Pure and synchronous.
class Summarizer {
public:
    struct Result {
        bool enough = false;  // false: too little text to summarise
        QList<int> sentences; // the chosen sentences' indexes, in order
        QString summary;
        QString title;
    };

    static constexpr int kMinSentences = 3;
    static constexpr int kMinWords = 30;

    static Result summarize(const QStringList& sentences);

    // Lower-case words of letters and digits ("Don't" → "don't").
    static QStringList words(const QString& text);
    static bool isStopWord(const QString& word);
    // Scores of the sentences (PageRank over the similarity graph).
    static QList<double> rankSentences(const QList<QStringList>& words);
    // Key phrases, best first.
    static QStringList keyPhrases(const QList<QStringList>& words, int count);
};

} // namespace pq::server
