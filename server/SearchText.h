#pragma once

#include <QString>

namespace pq::server {

// The user's search text as an FTS5 query, and the matches marked in a hit.
class SearchText {
public:
    // Each whitespace-separated word becomes a quoted FTS5 string (quotes doubled), joined by
    // spaces, so all must occur; operators ("AND", "NEAR", "*", "^", ":") are plain words.
    // Words with no letter or digit are left out; empty when nothing is left.
    static QString ftsQuery(const QString& text);
    // A hit's text with its matches (between U+E000 and U+E001) marked as <mark>…</mark>; the
    // rest HTML-escaped.
    static QString rendered(const QString& marked);
};

} // namespace pq::server
