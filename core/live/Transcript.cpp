#include "Transcript.h"

#include "EventFields.h"

#include <algorithm>
#include <limits>
#include <mutex>
#include <set>
#include <vector>

namespace pq {

namespace {

const QLatin1String kSegments("segments");
const QLatin1String kSegment("segment");
const QLatin1String kText("text");
const QLatin1String kSeq("seq");
const QLatin1String kSpeaker("speaker");
const QLatin1String kStart("start");
const QLatin1String kTranslations("translations");
const QLatin1String kSentence("sentence");
const QLatin1String kSentenceId("sentenceId");
const QLatin1String kSeqs("seqs");
const QLatin1String kName("name");

// Spaces and tabs only: a line break inside a draft is kept.
bool isBlank(QChar c) {
    return c == QLatin1Char('\t') || c.category() == QChar::Separator_Space;
}

QString trimBlanks(const QString& text) {
    qsizetype first = 0;
    qsizetype last = text.size();
    while (first < last && isBlank(text.at(first)))
        ++first;
    while (last > first && isBlank(text.at(last - 1)))
        --last;
    return text.mid(first, last - first);
}

// Pieces of `text` between single space characters, empty pieces not counted.
int spaceSeparatedCount(const QString& text) {
    int count = 0;
    bool inWord = false;
    for (const QChar c : text) {
        if (c == QLatin1Char(' ')) {
            inWord = false;
        } else if (!inWord) {
            inWord = true;
            ++count;
        }
    }
    return count;
}

std::optional<QString> entry(const std::optional<QMap<QString, QString>>& map,
                             const std::optional<QString>& lang) {
    if (!lang || !map)
        return std::nullopt;
    const auto it = map->constFind(*lang);
    if (it == map->constEnd())
        return std::nullopt;
    return *it;
}

void appendJoined(std::optional<QString>& target, const QString& more) {
    if (target)
        *target += QLatin1Char(' ') + more;
    else
        target = more;
}

// Adds `segment` to `lines`, merging it into the last line when the speaker is the same and the
// words fit.
void place(QList<Transcript::Line>& lines, QList<qint64>& wordCounts,
           const Transcript::Segment& segment, std::optional<QString> translation, int maxWords) {
    const qint64 w = spaceSeparatedCount(segment.text);
    if (!lines.isEmpty() && lines.last().speaker == segment.speaker &&
        wordCounts.last() + w <= maxWords) {
        Transcript::Line& line = lines.last();
        wordCounts.last() += w;
        line.text += QLatin1Char(' ');
        line.text += segment.text;
        if (translation)
            appendJoined(line.translation, *translation);
    } else {
        lines.append(Transcript::Line{segment.seq, segment.speaker, segment.start, segment.text,
                                      std::move(translation), false});
        wordCounts.append(w);
    }
}

// Committed lines (without the draft) for one word limit.
struct LineCache {
    int maxWords = 0;
    QList<Transcript::Line> lines;
    QList<qint64> wordCounts; // running word count at the end of each line
    // The smallest seq changed since the lines were built; absent when they are current.
    std::optional<qint64> dirtyFrom;
};

// The caches with their lock; a copy takes the caches and gets a lock of its own.
struct LineCaches {
    LineCaches() = default;
    LineCaches(const LineCaches& other) {
        const std::lock_guard lock(other.mutex);
        entries = other.entries;
    }
    LineCaches& operator=(const LineCaches&) = delete;

    mutable std::mutex mutex;
    std::vector<LineCache> entries;
};

} // namespace

struct Transcript::Data : QSharedData {
    std::optional<QString> lang;
    std::map<qint64, Segment> segments;
    std::map<qint64, Sentence> sentences;
    std::map<qint64, QString> names;
    QString draft;
    QString draftTranslation;

    // Derived from `sentences`: (largest seq, id) of every sentence, and how many times each
    // seq is named by a sentence.
    std::set<std::pair<qint64, qint64>> sentenceEnds;
    std::map<qint64, int> covered;

    mutable LineCaches caches;

    void storeSegment(Segment segment);
    void storeSentence(qint64 id, Sentence sentence);
    void index(qint64 id, const Sentence& sentence, int delta);
    // Marks the lines from the one holding `seq` onwards for rebuilding.
    void touch(qint64 seq);
    std::optional<QString> displayTranslation(const Segment& segment) const;
    void rebuild(LineCache& cache) const;
};

Transcript::Transcript(std::optional<QString> lang) : d(new Data) {
    d->lang = std::move(lang);
}
Transcript::Transcript(const Transcript&) = default;
Transcript::Transcript(Transcript&&) noexcept = default;
Transcript& Transcript::operator=(const Transcript&) = default;
Transcript& Transcript::operator=(Transcript&&) noexcept = default;
Transcript::~Transcript() = default;

const std::optional<QString>& Transcript::lang() const {
    return d->lang;
}
const std::map<qint64, Transcript::Segment>& Transcript::segments() const {
    return d->segments;
}
const std::map<qint64, Transcript::Sentence>& Transcript::sentences() const {
    return d->sentences;
}
const std::map<qint64, QString>& Transcript::names() const {
    return d->names;
}
const QString& Transcript::draft() const {
    return d->draft;
}
const QString& Transcript::draftTranslation() const {
    return d->draftTranslation;
}
bool Transcript::isEmpty() const {
    return d->segments.empty() && d->draft.isEmpty();
}

void Transcript::apply(const QJsonObject& event) {
    const std::optional<QString> type = event::text(event, QLatin1String("type"));
    if (!type)
        return;
    if (*type == QLatin1String("transcript.draft"))
        applyDraft(event);
    else if (*type == QLatin1String("transcript.committed"))
        applyCommitted(event);
    else if (*type == QLatin1String("transcript.translated"))
        applyTranslated(event);
    else if (*type == QLatin1String("transcript.sentence"))
        applySentence(event);
    else if (*type == QLatin1String("transcript.speakerNamed") ||
             *type == QLatin1String("transcript.speakerIdentified"))
        applySpeakerName(event);
    else if (*type == QLatin1String("transcript.amended"))
        applyAmended(event);
}

void Transcript::applyDraft(const QJsonObject& event) {
    const QList<QJsonObject> parts =
        event::objects(event, kSegments).value_or(QList<QJsonObject>());
    QStringList texts;
    for (const QJsonObject& part : parts)
        if (const std::optional<QString> text = event::text(part, kText))
            texts.append(*text);
    d->draft = trimBlanks(texts.join(QLatin1Char(' ')));
    if (isStale(d->draft)) {
        d->draft.clear();
        d->draftTranslation.clear();
        return;
    }
    if (!d->lang) {
        d->draftTranslation.clear();
        return;
    }
    QStringList translations;
    for (const QJsonObject& part : parts)
        if (const std::optional<QString> t = entry(event::textMap(part, kTranslations), d->lang))
            translations.append(*t);
    d->draftTranslation = trimBlanks(translations.join(QLatin1Char(' ')));
}

void Transcript::applyCommitted(const QJsonObject& event) {
    const std::optional<QJsonObject> segment = event::object(event, kSegment);
    if (!segment)
        return;
    const std::optional<qint64> seq = event::integer(*segment, kSeq);
    if (!seq)
        return;
    Segment s;
    s.seq = *seq;
    s.translation = entry(event::textMap(*segment, kTranslations), d->lang);
    s.speaker = event::integer(*segment, kSpeaker).value_or(0);
    s.start = num(segment->value(kStart));
    s.text = event::text(*segment, kText).value_or(QString());
    d->storeSegment(std::move(s));
    d->draft.clear();
    d->draftTranslation.clear();
}

void Transcript::applyTranslated(const QJsonObject& event) {
    if (!d->lang)
        return;
    const std::optional<qint64> seq = event::integer(event, kSeq);
    const std::optional<QString> translation = entry(event::textMap(event, kTranslations), d->lang);
    if (!seq || !translation)
        return;
    const auto it = d->segments.find(*seq);
    if (it == d->segments.end())
        return;
    it->second.translation = *translation;
    d->touch(*seq);
}

void Transcript::applySentence(const QJsonObject& event) {
    if (!d->lang)
        return;
    const std::optional<QJsonObject> sentence = event::object(event, kSentence);
    if (!sentence)
        return;
    const std::optional<qint64> id = event::integer(*sentence, kSentenceId);
    const std::optional<QList<qint64>> seqs = event::integers(*sentence, kSeqs);
    const std::optional<QString> translation =
        entry(event::textMap(*sentence, kTranslations), d->lang);
    if (!id || !seqs || seqs->isEmpty() || !translation)
        return;
    d->storeSentence(*id, Sentence{*seqs, *translation});
}

void Transcript::applySpeakerName(const QJsonObject& event) {
    const std::optional<qint64> speaker = event::integer(event, kSpeaker);
    const std::optional<QString> name = event::text(event, kName);
    if (!speaker || !name || name->isEmpty())
        return;
    d->names.insert_or_assign(*speaker, *name);
}

void Transcript::applyAmended(const QJsonObject& event) {
    const std::optional<QJsonObject> segment = event::object(event, kSegment);
    if (!segment)
        return;
    const std::optional<qint64> seq = event::integer(*segment, kSeq);
    const std::optional<QString> text = event::text(*segment, kText);
    if (!seq || !text)
        return;
    const auto it = d->segments.find(*seq);
    if (it == d->segments.end())
        return;
    it->second.text = *text;
    d->touch(*seq);
}

void Transcript::apply(const TranscriptSnapshot& snapshot) {
    for (const SegmentView& view : snapshot.segments) {
        if (view.suppressed.value_or(false))
            continue;
        Segment s;
        s.seq = view.seq;
        s.speaker = view.speaker;
        s.start = view.start;
        s.text = view.text;
        s.translation = entry(view.translations, d->lang);
        d->storeSegment(std::move(s));
    }
    if (d->lang) {
        for (const SentenceView& view : snapshot.sentences) {
            const std::optional<QString> translation = entry(view.translations, d->lang);
            if (translation && !view.seqs.isEmpty())
                d->storeSentence(view.sentenceId, Sentence{view.seqs, *translation});
        }
    }
    for (const SpeakerView& view : snapshot.speakers)
        if (!view.name.isEmpty())
            d->names.insert_or_assign(view.speaker, view.name);
}

bool Transcript::isStale(const QString& draft) const {
    const QStringList heard = words(draft);
    if (heard.isEmpty())
        return false;
    // The feed can deliver a draft after the commit that holds its words: compare it with the
    // end of what is committed.
    QStringList tail;
    auto it = d->segments.end();
    for (int i = 0; i < 3 && it != d->segments.begin(); ++i)
        --it;
    for (; it != d->segments.end(); ++it)
        tail.append(words(it->second.text));
    if (tail.size() < heard.size())
        return false;
    const qsizetype windowSize = std::min<qsizetype>(tail.size(), heard.size() + 2);
    qsizetype m = 0;
    for (qsizetype i = tail.size() - windowSize; i < tail.size(); ++i)
        if (m < heard.size() && tail.at(i) == heard.at(m))
            ++m;
    return static_cast<double>(m) >= 0.8 * static_cast<double>(heard.size());
}

void Transcript::Data::storeSegment(Segment segment) {
    const qint64 seq = segment.seq;
    segments.insert_or_assign(seq, std::move(segment));
    touch(seq);
}

void Transcript::Data::storeSentence(qint64 id, Sentence sentence) {
    const auto old = sentences.find(id);
    if (old != sentences.end()) {
        index(id, old->second, -1);
        old->second = std::move(sentence);
        index(id, old->second, +1);
    } else {
        index(id, sentences.emplace(id, std::move(sentence)).first->second, +1);
    }
}

void Transcript::Data::index(qint64 id, const Sentence& sentence, int delta) {
    const qint64 last = *std::max_element(sentence.seqs.begin(), sentence.seqs.end());
    if (delta > 0)
        sentenceEnds.emplace(last, id);
    else
        sentenceEnds.erase({last, id});
    for (const qint64 seq : sentence.seqs) {
        const auto it = covered.try_emplace(seq, 0).first;
        it->second += delta;
        if (it->second == 0)
            covered.erase(it);
    }
    touch(*std::min_element(sentence.seqs.begin(), sentence.seqs.end()));
}

void Transcript::Data::touch(qint64 seq) {
    const std::lock_guard lock(caches.mutex);
    for (LineCache& cache : caches.entries)
        cache.dirtyFrom = std::min(cache.dirtyFrom.value_or(seq), seq);
}

std::optional<QString> Transcript::Data::displayTranslation(const Segment& segment) const {
    // A sentence's translation shows whole at its largest seq (the larger id wins a tie) and
    // replaces the translations of every segment it names.
    const auto end = sentenceEnds.upper_bound({segment.seq, std::numeric_limits<qint64>::max()});
    if (end != sentenceEnds.begin()) {
        const auto& [last, id] = *std::prev(end);
        if (last == segment.seq)
            return sentences.at(id).text;
    }
    if (covered.contains(segment.seq))
        return std::nullopt;
    return segment.translation;
}

QList<Transcript::Line> Transcript::linesFromScratch(int maxWords) const {
    // The sentence lookups, built here from the sentences alone.
    std::map<qint64, const QString*> endsAt;
    std::map<qint64, bool> covered;
    for (const auto& [id, sentence] : d->sentences) {
        for (const qint64 seq : sentence.seqs)
            covered[seq] = true;
        endsAt[*std::max_element(sentence.seqs.begin(), sentence.seqs.end())] = &sentence.text;
    }
    QList<Line> out;
    QList<qint64> wordCounts;
    for (const auto& [seq, segment] : d->segments) {
        if (segment.text.isEmpty())
            continue;
        std::optional<QString> translation;
        if (const auto e = endsAt.find(seq); e != endsAt.end())
            translation = *e->second;
        else if (!covered.contains(seq))
            translation = segment.translation;
        place(out, wordCounts, segment, std::move(translation), maxWords);
    }
    addDraft(out);
    return out;
}

void Transcript::Data::rebuild(LineCache& cache) const {
    const qint64 from = *cache.dirtyFrom;
    cache.dirtyFrom.reset();
    // Lines hold consecutive runs of segments, so the lines before the one holding `from` are
    // untouched. Rebuilding starts at that line; its first segment may now join the line before,
    // which `place` sees as the last line kept.
    const auto beforeLine = [](qint64 seq, const Line& line) { return seq < line.id; };
    const qsizetype k = std::upper_bound(cache.lines.begin(), cache.lines.end(), from, beforeLine) -
                        cache.lines.begin() - 1;
    std::optional<qint64> restartSeq;
    if (k >= 0) {
        restartSeq = cache.lines.at(k).id;
        cache.lines.resize(k);
        cache.wordCounts.resize(k);
    } else {
        cache.lines.clear();
        cache.wordCounts.clear();
    }
    auto it = restartSeq ? segments.lower_bound(*restartSeq) : segments.begin();
    for (; it != segments.end(); ++it) {
        const Segment& segment = it->second;
        if (!segment.text.isEmpty())
            place(cache.lines, cache.wordCounts, segment, displayTranslation(segment),
                  cache.maxWords);
    }
}

QList<Transcript::Line> Transcript::lines(int maxWords) const {
    QList<Line> out;
    {
        const std::lock_guard lock(d->caches.mutex);
        auto& entries = d->caches.entries;
        auto cache = std::find_if(entries.begin(), entries.end(), [maxWords](const LineCache& c) {
            return c.maxWords == maxWords;
        });
        if (cache == entries.end()) {
            // The views use one or two limits; a few more are kept, the oldest dropped.
            if (entries.size() >= 4)
                entries.erase(entries.begin());
            LineCache fresh;
            fresh.maxWords = maxWords;
            fresh.dirtyFrom = std::numeric_limits<qint64>::min();
            entries.push_back(std::move(fresh));
            cache = std::prev(entries.end());
        }
        if (cache->dirtyFrom)
            d->rebuild(*cache);
        out = cache->lines;
    }
    addDraft(out);
    return out;
}

void Transcript::addDraft(QList<Line>& lines) const {
    if (d->draft.isEmpty())
        return;
    if (lines.isEmpty()) {
        std::optional<QString> translation;
        if (!d->draftTranslation.isEmpty())
            translation = d->draftTranslation;
        lines.append(Line{-1, 0, 0, d->draft, translation, true});
        return;
    }
    // The words being heard go on the last line, whoever speaks them and however long it is.
    Line& last = lines.last();
    last.text += QLatin1Char(' ');
    last.text += d->draft;
    if (!d->draftTranslation.isEmpty())
        appendJoined(last.translation, d->draftTranslation);
    last.live = true;
}

bool Transcript::operator==(const Transcript& other) const {
    return d->lang == other.d->lang && d->segments == other.d->segments &&
           d->sentences == other.d->sentences && d->names == other.d->names &&
           d->draft == other.d->draft && d->draftTranslation == other.d->draftTranslation;
}

QString Transcript::name(qint64 speaker) const {
    const auto it = d->names.find(speaker);
    if (it != d->names.end())
        return it->second;
    return QStringLiteral("Speaker %1").arg(speaker + 1);
}

QStringList Transcript::words(const QString& text) {
    const QString lower = text.toLower();
    QStringList out;
    qsizetype begin = -1; // start of the word being read, -1 between words
    for (qsizetype i = 0; i < lower.size();) {
        char32_t c = lower.at(i).unicode();
        qsizetype units = 1;
        if (QChar::isHighSurrogate(c) && i + 1 < lower.size() && lower.at(i + 1).isLowSurrogate()) {
            c = QChar::surrogateToUcs4(lower.at(i), lower.at(i + 1));
            units = 2;
        }
        if (QChar::isLetterOrNumber(c)) {
            if (begin < 0)
                begin = i;
        } else if (begin >= 0) {
            out.append(lower.mid(begin, i - begin));
            begin = -1;
        }
        i += units;
    }
    if (begin >= 0)
        out.append(lower.mid(begin));
    return out;
}

double Transcript::num(const QJsonValue& value) {
    return event::num(value);
}

} // namespace pq
