#pragma once

#include "JsonReader.h"

namespace pq {

// One sentence that matched a search.
struct SearchHit {
    static constexpr const char* recordName = "SearchHit";

    QString transcriptionId;
    QString recordingId;
    qint64 sentenceId = 0;
    QString linkName;
    QString text;
    std::optional<QString> rendered;
    double mediaStart = 0;

    QString identity() const;

    static SearchHit read(const JsonReader& r);
    bool operator==(const SearchHit&) const = default;
};

struct SearchResults {
    static constexpr const char* recordName = "SearchResults";

    QList<SearchHit> hits;

    static SearchResults read(const JsonReader& r);
    bool operator==(const SearchResults&) const = default;
};

} // namespace pq
