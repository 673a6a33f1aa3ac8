#pragma once

#include "JsonReader.h"

namespace pq {

struct Recording {
    static constexpr const char* recordName = "Recording";

    QString id;
    QString transcriptionId;
    QString state;

    static Recording read(const JsonReader& r);
    bool operator==(const Recording&) const = default;
};

// Answer of starting a recording: where to send its audio.
struct PublishGrant {
    static constexpr const char* recordName = "PublishGrant";

    Recording recording;
    std::optional<QString> sessionId;
    std::optional<QString> streamUrl;

    static PublishGrant read(const JsonReader& r);
    bool operator==(const PublishGrant&) const = default;
};

struct CreateSessionResponse {
    static constexpr const char* recordName = "CreateSessionResponse";

    QString sessionId;
    QString streamUrl;

    static CreateSessionResponse read(const JsonReader& r);
    bool operator==(const CreateSessionResponse&) const = default;
};

struct SummaryStatus {
    static constexpr const char* recordName = "SummaryStatus";

    QString state;
    std::optional<QString> summary;
    std::optional<QString> title;

    static SummaryStatus read(const JsonReader& r);
    bool operator==(const SummaryStatus&) const = default;
};

} // namespace pq
