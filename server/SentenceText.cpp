#include "SentenceText.h"

#include <QRegularExpression>
#include <QSet>

namespace pq::server {

namespace {

QString capitalised(const QStringList& words) {
    QStringList out;
    out.reserve(words.size());
    for (const QString& w : words) {
        if (w == QLatin1String("i") || w.startsWith(QLatin1String("i'")))
            out.append(QLatin1Char('I') + w.mid(1));
        else
            out.append(w);
    }
    if (!out.isEmpty() && !out.first().isEmpty())
        out.first()[0] = out.first()[0].toUpper();
    return out.join(QLatin1Char(' '));
}

bool asks(const QString& first) {
    static const QSet<QString> questionWords = {
        QStringLiteral("who"),      QStringLiteral("whom"),      QStringLiteral("whose"),
        QStringLiteral("what"),     QStringLiteral("which"),     QStringLiteral("when"),
        QStringLiteral("where"),    QStringLiteral("why"),       QStringLiteral("how"),
        QStringLiteral("is"),       QStringLiteral("are"),       QStringLiteral("am"),
        QStringLiteral("was"),      QStringLiteral("were"),      QStringLiteral("do"),
        QStringLiteral("does"),     QStringLiteral("did"),       QStringLiteral("can"),
        QStringLiteral("could"),    QStringLiteral("will"),      QStringLiteral("would"),
        QStringLiteral("should"),   QStringLiteral("shall"),     QStringLiteral("isn't"),
        QStringLiteral("aren't"),   QStringLiteral("don't"),     QStringLiteral("doesn't"),
        QStringLiteral("didn't"),   QStringLiteral("can't"),     QStringLiteral("won't"),
        QStringLiteral("wouldn't"), QStringLiteral("shouldn't"), QStringLiteral("couldn't"),
    };
    return questionWords.contains(first);
}

} // namespace

QStringList SentenceText::words(const QString& hypothesis) {
    static const QRegularExpression variant(QStringLiteral("\\(\\d+\\)$"));
    QStringList out;
    for (QString w : hypothesis.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        w = w.trimmed().toLower();
        if (w.startsWith(QLatin1Char('<')) || w.startsWith(QLatin1Char('[')) ||
            w.startsWith(QLatin1String("++")))
            continue;
        w.remove(variant);
        if (!w.isEmpty())
            out.append(w);
    }
    return out;
}

QString SentenceText::sentence(const QString& hypothesis) {
    const QStringList w = words(hypothesis);
    if (w.isEmpty())
        return {};
    return capitalised(w) + (asks(w.first()) ? QLatin1Char('?') : QLatin1Char('.'));
}

QString SentenceText::draft(const QString& hypothesis) {
    return capitalised(words(hypothesis));
}

} // namespace pq::server
