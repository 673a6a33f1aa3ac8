#pragma once

#include "TranscriptSnapshot.h"

#include <QJsonObject>
#include <QList>
#include <QMetaType>
#include <QString>

#include <QSharedDataPointer>

#include <map>
#include <optional>

namespace pq {

// The live transcript of one run: committed segments, translated sentences, speaker names and the
// words heard but not yet committed. A plain value: every change comes from a feed event or a
// snapshot, and display lines are derived from it on demand.
//
// `lines` is asked for after every event of a run that can last hours, so the value keeps the
// committed lines it built last (per word limit) and rebuilds them only from the first line a
// change can have touched. The result is the same as building them from scratch
// (`linesFromScratch`). Copies share their data until one changes; the cache is guarded, so const
// use from several threads stays safe.
class Transcript {
public:
    struct Segment {
        qint64 seq = 0;
        qint64 speaker = 0;
        double start = 0;
        QString text;
        std::optional<QString> translation;

        bool operator==(const Segment&) const = default;
    };

    struct Sentence {
        QList<qint64> seqs;
        QString text;

        bool operator==(const Sentence&) const = default;
    };

    struct Line {
        qint64 id = -1;
        qint64 speaker = 0;
        double start = 0;
        QString text;
        std::optional<QString> translation;
        bool live = false;

        bool operator==(const Line&) const = default;
    };

    explicit Transcript(std::optional<QString> lang = std::nullopt);
    Transcript(const Transcript&);
    Transcript(Transcript&&) noexcept;
    Transcript& operator=(const Transcript&);
    Transcript& operator=(Transcript&&) noexcept;
    ~Transcript();

    const std::optional<QString>& lang() const;
    const std::map<qint64, Segment>& segments() const;
    const std::map<qint64, Sentence>& sentences() const;
    const std::map<qint64, QString>& names() const;
    const QString& draft() const;
    const QString& draftTranslation() const;

    // Applies one decoded feed event. Unknown or malformed events change nothing.
    void apply(const QJsonObject& event);
    // Merges a snapshot without clearing anything first.
    void apply(const TranscriptSnapshot& snapshot);

    // Display lines, oldest first: consecutive segments of one speaker share a line up to
    // `maxWords` words of committed text; the draft goes on the last line.
    QList<Line> lines(int maxWords) const;
    // The same lines built from nothing, without the cache.
    QList<Line> linesFromScratch(int maxWords) const;

    bool isEmpty() const;
    // The speaker's name, else "Speaker N" counted from 1.
    QString name(qint64 speaker) const;

    // Lower-cased pieces of `text` between characters that are neither letters nor numbers.
    static QStringList words(const QString& text);
    // A number as a double; anything else as 0.
    static double num(const QJsonValue& value);

    // Equal content; the line cache is not compared.
    bool operator==(const Transcript& other) const;

private:
    struct Data;

    void applyDraft(const QJsonObject& event);
    void applyCommitted(const QJsonObject& event);
    void applyTranslated(const QJsonObject& event);
    void applySentence(const QJsonObject& event);
    void applySpeakerName(const QJsonObject& event);
    void applyAmended(const QJsonObject& event);
    bool isStale(const QString& draft) const;
    void addDraft(QList<Line>& lines) const;

    // Shared between copies until one of them changes.
    QSharedDataPointer<Data> d;
};

} // namespace pq

Q_DECLARE_METATYPE(pq::Transcript)
