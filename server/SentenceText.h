#pragma once

#include <QString>
#include <QStringList>

namespace pq::server {

// Turns the recogniser's lower-case word strings into text for people: filler tokens dropped,
// "i" and its contractions capitalised, the first word capitalised, and a full stop or (when
// the first word asks) a question mark at the end of a finished utterance.
class SentenceText {
public:
    // The words of a hypothesis without fillers ("<sil>", "[noise]", "++breath++") and without
    // pronunciation variants ("the(2)" → "the").
    static QStringList words(const QString& hypothesis);
    // A finished utterance: "where is it" → "Where is it?"; empty when there are no words.
    static QString sentence(const QString& hypothesis);
    // Words still being heard: capitalised like a sentence, without the final mark.
    static QString draft(const QString& hypothesis);
};

} // namespace pq::server
