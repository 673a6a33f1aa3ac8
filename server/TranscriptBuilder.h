#pragma once

#include <QMap>
#include <QObject>
#include <QString>
#include <QStringList>

#include <deque>
#include <functional>

namespace pq::server {

class TranscriptSink;
class Translator;

// Turns what the recogniser reports into transcript events, one item at a time and in order:
// a partial hypothesis becomes "transcript.draft" (dropped if something newer is waiting);
// a finished utterance becomes a committed segment ("transcript.committed", its seq the event's
// cursor), then, once translated into the sink's reading languages, "transcript.sentence" with
// the translations and one "transcript.translated" per language. A barrier calls back once
// everything queued before it is out.
class TranscriptBuilder : public QObject {
    Q_OBJECT

public:
    TranscriptBuilder(TranscriptSink* sink, Translator* translator, QObject* parent = nullptr);

    void partial(const QString& hypothesis, double start);
    void utterance(const QString& hypothesis, double start, double end);
    void barrier(std::function<void()> done);

private:
    struct Item {
        enum class Kind { Draft, Utterance, Barrier } kind;
        QString hypothesis;
        double start = 0;
        double end = 0;
        std::function<void()> done;
    };

    void pump();
    void publishDraft(const QString& text, double start, const QMap<QString, QString>& tr);
    void commit(const Item& item);
    void finishSentence(qint64 seq, const QString& text, double start,
                        const QMap<QString, QString>& translations);
    // Translates text into each language, then calls done with what succeeded.
    void translateAll(const QString& text, const QStringList& langs,
                      std::function<void(QMap<QString, QString>)> done);

    TranscriptSink* m_sink;
    Translator* m_translator;
    std::deque<Item> m_queue;
    bool m_busy = false;
};

} // namespace pq::server
