#include "Summarizer.h"

#include <QHash>
#include <QRegularExpression>
#include <QSet>

#include <algorithm>
#include <cmath>
#include <map>
#include <numeric>
#include <vector>

namespace pq::server {

namespace {

constexpr double kDamping = 0.85;
constexpr int kMaxIterations = 100;

// PageRank over a weighted undirected graph given as neighbour lists.
QList<double> pageRank(const std::vector<std::vector<std::pair<int, double>>>& graph) {
    const int n = int(graph.size());
    const size_t count = graph.size();
    std::vector<double> out(count, 0.0);
    for (int i = 0; i < n; ++i)
        for (const auto& [j, w] : graph[size_t(i)])
            out[size_t(i)] += w;
    std::vector<double> score(count, 1.0);
    std::vector<double> next(count, 0.0);
    for (int iteration = 0; iteration < kMaxIterations; ++iteration) {
        double change = 0;
        for (int i = 0; i < n; ++i) {
            double sum = 0;
            for (const auto& [j, w] : graph[size_t(i)])
                sum += w / out[size_t(j)] * score[size_t(j)];
            next[size_t(i)] = (1 - kDamping) + kDamping * sum;
            change = std::max(change, std::abs(next[size_t(i)] - score[size_t(i)]));
        }
        score.swap(next);
        if (change < 1e-6)
            break;
    }
    return QList<double>(score.begin(), score.end());
}

bool isCandidate(const QString& word) {
    if (word.size() < 3 || Summarizer::isStopWord(word))
        return false;
    return std::any_of(word.begin(), word.end(), [](QChar c) { return c.isLetter(); });
}

} // namespace

QStringList Summarizer::words(const QString& text) {
    static const QRegularExpression word(QStringLiteral("[\\p{L}\\p{N}]+(?:['’][\\p{L}]+)?"));
    QStringList out;
    auto it = word.globalMatch(text);
    while (it.hasNext())
        out.append(it.next().captured(0).toLower().replace(QChar(0x2019), QLatin1Char('\'')));
    return out;
}

bool Summarizer::isStopWord(const QString& word) {
    static const QSet<QString> stop = [] {
        const char* const list[] = {
            "a",        "about",    "above",      "after",     "again",     "against", "all",
            "also",     "am",       "an",         "and",       "any",       "are",     "aren't",
            "as",       "at",       "be",         "because",   "been",      "before",  "being",
            "below",    "between",  "both",       "but",       "by",        "can",     "can't",
            "could",    "couldn't", "did",        "didn't",    "do",        "does",    "doesn't",
            "doing",    "don't",    "down",       "during",    "each",      "even",    "ever",
            "every",    "few",      "for",        "from",      "further",   "get",     "gets",
            "getting",  "go",       "goes",       "going",     "gone",      "got",     "had",
            "hadn't",   "has",      "hasn't",     "have",      "haven't",   "having",  "he",
            "he'd",     "he'll",    "he's",       "her",       "here",      "here's",  "hers",
            "herself",  "him",      "himself",    "his",       "how",       "how's",   "i",
            "i'd",      "i'll",     "i'm",        "i've",      "if",        "in",      "into",
            "is",       "isn't",    "it",         "it's",      "its",       "itself",  "just",
            "know",     "let's",    "like",       "lot",       "make",      "many",    "may",
            "me",       "might",    "more",       "most",      "much",      "must",    "mustn't",
            "my",       "myself",   "no",         "nor",       "not",       "now",     "of",
            "off",      "oh",       "ok",         "okay",      "on",        "once",    "one",
            "only",     "or",       "other",      "ought",     "our",       "ours",    "ourselves",
            "out",      "over",     "own",        "really",    "right",     "said",    "same",
            "say",      "says",     "see",        "shall",     "shan't",    "she",     "she'd",
            "she'll",   "she's",    "should",     "shouldn't", "so",        "some",    "something",
            "still",    "such",     "than",       "that",      "that's",    "the",     "their",
            "theirs",   "them",     "themselves", "then",      "there",     "there's", "these",
            "they",     "they'd",   "they'll",    "they're",   "they've",   "thing",   "things",
            "think",    "this",     "those",      "through",   "to",        "too",     "um",
            "uh",       "under",    "until",      "up",        "us",        "very",    "want",
            "was",      "wasn't",   "way",        "we",        "we'd",      "we'll",   "we're",
            "we've",    "well",     "were",       "weren't",   "what",      "what's",  "when",
            "when's",   "where",    "where's",    "which",     "while",     "who",     "who's",
            "whom",     "why",      "why's",      "will",      "with",      "won't",   "would",
            "wouldn't", "yeah",     "yes",        "you",       "you'd",     "you'll",  "you're",
            "you've",   "your",     "yours",      "yourself",  "yourselves"};
        QSet<QString> s;
        for (const char* w : list)
            s.insert(QString::fromLatin1(w));
        return s;
    }();
    return stop.contains(word);
}

QList<double> Summarizer::rankSentences(const QList<QStringList>& words) {
    const int n = int(words.size());
    const size_t count = size_t(n);
    std::vector<QSet<QString>> content(count);
    QHash<QString, std::vector<int>> postings;
    for (int i = 0; i < n; ++i) {
        for (const QString& w : words[i]) {
            if (!isStopWord(w))
                content[size_t(i)].insert(w);
        }
        for (const QString& w : std::as_const(content[size_t(i)]))
            postings[w].push_back(i);
    }
    // Overlaps through shared words only: a sparse graph even for long transcripts. Words in
    // more than half of many sentences say nothing about any one of them.
    std::map<std::pair<int, int>, int> overlap;
    for (auto it = postings.cbegin(); it != postings.cend(); ++it) {
        const std::vector<int>& list = it.value();
        if (n > 20 && int(list.size()) * 2 > n)
            continue;
        for (size_t a = 0; a < list.size(); ++a)
            for (size_t b = a + 1; b < list.size(); ++b)
                ++overlap[{list[a], list[b]}];
    }
    std::vector<std::vector<std::pair<int, double>>> graph(count);
    for (const auto& [pair, shared] : overlap) {
        const auto [a, b] = pair;
        const double w = shared / (std::log(1.0 + double(content[size_t(a)].size())) +
                                   std::log(1.0 + double(content[size_t(b)].size())));
        graph[size_t(a)].push_back({b, w});
        graph[size_t(b)].push_back({a, w});
    }
    return pageRank(graph);
}

QStringList Summarizer::keyPhrases(const QList<QStringList>& words, int count) {
    // Word graph: candidates next to each other (stop words removed) are linked.
    QHash<QString, int> index;
    QStringList vocabulary;
    auto id = [&](const QString& w) {
        auto it = index.find(w);
        if (it != index.end())
            return *it;
        vocabulary.append(w);
        return *index.insert(w, int(vocabulary.size()) - 1);
    };
    std::map<std::pair<int, int>, double> edges;
    for (const QStringList& sentence : words) {
        int previous = -1;
        for (const QString& w : sentence) {
            if (!isCandidate(w))
                continue;
            const int current = id(w);
            if (previous >= 0 && previous != current)
                edges[{std::min(previous, current), std::max(previous, current)}] += 1;
            previous = current;
        }
    }
    if (vocabulary.isEmpty())
        return {};
    const size_t size = size_t(vocabulary.size());
    std::vector<std::vector<std::pair<int, double>>> graph(size);
    for (const auto& [pair, w] : edges) {
        graph[size_t(pair.first)].push_back({pair.second, w});
        graph[size_t(pair.second)].push_back({pair.first, w});
    }
    // Rank in the co-occurrence graph, weighed by how often the word is said: in speech the
    // same few words come back, and a graph of short utterances alone favours any middle word.
    QList<double> score = pageRank(graph);
    QList<int> frequency(vocabulary.size(), 0);
    for (const QStringList& sentence : words) {
        for (const QString& w : sentence) {
            if (const auto it = index.constFind(w); it != index.constEnd())
                ++frequency[*it];
        }
    }
    for (int i = 0; i < score.size(); ++i)
        score[i] *= 1 + std::log(double(std::max(1, frequency[i])));
    QList<int> order(vocabulary.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&score](int a, int b) { return score[a] > score[b]; });
    const int top = std::max(4, int(vocabulary.size()) / 3);
    QSet<int> keywords;
    for (int i = 0; i < std::min(top, int(order.size())); ++i)
        keywords.insert(order[i]);

    // Phrases: runs of up to three keywords that stand next to each other in the text.
    QHash<QString, double> phrases;
    QHash<QString, int> seen;
    for (const QStringList& sentence : words) {
        QStringList run;
        double runScore = 0;
        auto close = [&] {
            if (!run.isEmpty()) {
                const QString phrase = run.join(QLatin1Char(' '));
                phrases.insert(phrase, runScore);
                ++seen[phrase];
            }
            run.clear();
            runScore = 0;
        };
        for (const QString& w : sentence) {
            const auto it = index.constFind(w);
            if (it == index.constEnd() || !keywords.contains(*it) || !isCandidate(w)) {
                close();
                continue;
            }
            if (run.size() == 3)
                close();
            run.append(w);
            runScore += score[*it];
        }
        close();
    }
    // Longer and more frequent phrases first, then by their words' rank.
    QStringList ranked = phrases.keys();
    std::sort(ranked.begin(), ranked.end(), [&](const QString& a, const QString& b) {
        const double sa = phrases.value(a) * (1 + std::log(double(seen.value(a))));
        const double sb = phrases.value(b) * (1 + std::log(double(seen.value(b))));
        if (sa != sb)
            return sa > sb;
        return a < b;
    });
    QStringList out;
    QSet<QString> used;
    for (const QString& phrase : std::as_const(ranked)) {
        const QStringList parts = phrase.split(QLatin1Char(' '));
        if (std::any_of(parts.begin(), parts.end(),
                        [&used](const QString& w) { return used.contains(w); }))
            continue;
        out.append(phrase);
        for (const QString& w : parts)
            used.insert(w);
        if (out.size() == count)
            break;
    }
    return out;
}

Summarizer::Result Summarizer::summarize(const QStringList& sentences) {
    Result result;
    QList<QStringList> words;
    int contentWords = 0;
    for (const QString& s : sentences) {
        words.append(Summarizer::words(s));
        for (const QString& w : words.last())
            contentWords += isStopWord(w) ? 0 : 1;
    }
    if (sentences.size() < kMinSentences || contentWords < kMinWords)
        return result;
    result.enough = true;

    const QList<double> scores = rankSentences(words);
    // Very short sentences ("Yes.") make poor summaries; they are chosen only when nothing
    // else is there.
    QList<int> candidates;
    for (int i = 0; i < sentences.size(); ++i) {
        if (words[i].size() >= 4)
            candidates.append(i);
    }
    if (candidates.isEmpty()) {
        candidates.resize(sentences.size());
        std::iota(candidates.begin(), candidates.end(), 0);
    }
    std::stable_sort(candidates.begin(), candidates.end(),
                     [&scores](int a, int b) { return scores[a] > scores[b]; });
    const int keep = std::min(int(candidates.size()), std::clamp(int(sentences.size()) / 6, 2, 6));
    result.sentences = candidates.mid(0, keep);
    std::sort(result.sentences.begin(), result.sentences.end());
    QStringList chosen;
    for (int i : std::as_const(result.sentences))
        chosen.append(sentences[i].trimmed());
    result.summary = chosen.join(QLatin1Char(' '));

    const QStringList phrases = keyPhrases(words, 2);
    QString title = phrases.join(QStringLiteral(" and "));
    if (title.size() > 80)
        title = phrases.value(0);
    if (!title.isEmpty())
        title[0] = title[0].toUpper();
    result.title = title;
    return result;
}

} // namespace pq::server
