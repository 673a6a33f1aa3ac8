#include "Html.h"

namespace pq::server {

QString Html::escape(const QString& text) {
    QString out;
    out.reserve(text.size() + text.size() / 8);
    for (const QChar c : text) {
        switch (c.unicode()) {
        case '&':
            out += QLatin1String("&amp;");
            break;
        case '<':
            out += QLatin1String("&lt;");
            break;
        case '>':
            out += QLatin1String("&gt;");
            break;
        case '"':
            out += QLatin1String("&quot;");
            break;
        case '\'':
            out += QLatin1String("&#39;");
            break;
        default:
            out += c;
        }
    }
    return out;
}

QString Html::page(const QString& title, const QString& body) {
    return QStringLiteral("<!doctype html><html lang=\"en\"><head><meta charset=\"utf-8\">"
                          "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
                          "<title>%1 · Parloquent</title>"
                          "<link rel=\"stylesheet\" href=\"/static/style.css\"></head><body>"
                          "<header><a class=\"brand\" href=\"/\">Parloquent</a><nav>"
                          "<a href=\"/\">Library</a><a href=\"/voices\">Voices</a>"
                          "<a href=\"/developers\">Developers</a></nav></header>"
                          "<main>%2</main></body></html>")
        .arg(escape(title), body);
}

QString Html::clock(double seconds) {
    const qint64 s = qint64(std::max(0.0, seconds));
    if (s >= 3600)
        return QStringLiteral("%1:%2:%3")
            .arg(s / 3600)
            .arg(s / 60 % 60, 2, 10, QLatin1Char('0'))
            .arg(s % 60, 2, 10, QLatin1Char('0'));
    return QStringLiteral("%1:%2")
        .arg(s / 60, 2, 10, QLatin1Char('0'))
        .arg(s % 60, 2, 10, QLatin1Char('0'));
}

QString Html::when(const QString& iso) {
    // "2024-05-01T12:00:00.000Z" → "2024-05-01 12:00"
    if (iso.size() < 16)
        return escape(iso);
    return escape(iso.left(10) + QLatin1Char(' ') + iso.mid(11, 5));
}

} // namespace pq::server
