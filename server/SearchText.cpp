#include "SearchText.h"

#include <QRegularExpression>
#include <QStringList>

namespace pq::server {

QString SearchText::ftsQuery(const QString& text) {
    QStringList terms;
    for (const QString& word :
         text.split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts)) {
        bool meaningful = false;
        for (const QChar c : word) {
            if (c.isLetterOrNumber()) {
                meaningful = true;
                break;
            }
        }
        if (!meaningful)
            continue;
        QString quoted = word;
        quoted.replace(QLatin1Char('"'), QStringLiteral("\"\""));
        terms.append(QLatin1Char('"') + quoted + QLatin1Char('"'));
        if (terms.size() == 32)
            break;
    }
    return terms.join(QLatin1Char(' '));
}

QString SearchText::rendered(const QString& marked) {
    QString out;
    out.reserve(marked.size() + 32);
    for (const QChar c : marked) {
        switch (c.unicode()) {
        case 0xE000:
            out += QStringLiteral("<mark>");
            break;
        case 0xE001:
            out += QStringLiteral("</mark>");
            break;
        case '&':
            out += QStringLiteral("&amp;");
            break;
        case '<':
            out += QStringLiteral("&lt;");
            break;
        case '>':
            out += QStringLiteral("&gt;");
            break;
        case '"':
            out += QStringLiteral("&quot;");
            break;
        default:
            out += c;
        }
    }
    return out;
}

} // namespace pq::server
