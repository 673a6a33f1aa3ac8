#pragma once

#include <QString>

namespace pq::server {

// Building blocks of the web application's pages. Every text that comes from a user, a file or
// a request goes through escape() (element content and quoted attribute values alike).
class Html {
public:
    // & < > " ' as character references.
    static QString escape(const QString& text);
    // A whole page: the shared head, header and navigation around `body`.
    static QString page(const QString& title, const QString& body);
    // "12:05" below an hour, "1:02:05" from one.
    static QString clock(double seconds);
    // An ISO timestamp as "2024-05-01 12:00" (UTC), for tables.
    static QString when(const QString& iso);
};

} // namespace pq::server
