// Arbitrary bytes as the body of an upload. Whatever arrives, the reader ends in one clear
// state, hands on no more bytes than it was given, and reads the same parts whether the body
// comes in one piece or in two (split where the first byte says).
#include "MultipartReader.h"
#include "Require.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <cstdint>

using pq::server::MultipartReader;

namespace {

struct Outcome {
    bool finished = false;
    bool failed = false;
    QString error;
    QList<QString> names;
    QList<QByteArray> data;
    qsizetype given = 0;
};

Outcome read(const QByteArray& body, qsizetype split) {
    Outcome out;
    MultipartReader::Handler h;
    h.begin = [&out](const MultipartReader::Part& p) {
        out.names.append(p.name + QLatin1Char('|') + p.fileName);
        out.data.append(QByteArray());
        return true;
    };
    h.data = [&out](const char* d, qsizetype n) {
        REQUIRE(n > 0);
        REQUIRE(!out.data.isEmpty());
        out.data.last().append(d, n);
        out.given += n;
        return true;
    };
    h.end = [] { return true; };
    MultipartReader reader("b0", h);
    reader.feed(body.left(split));
    reader.feed(body.mid(split));
    out.finished = reader.finished();
    out.failed = reader.failed();
    out.error = reader.error();
    REQUIRE(!(out.finished && out.failed));
    REQUIRE(out.failed == !out.error.isEmpty());
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray body(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const Outcome whole = read(body, body.size());
    REQUIRE(whole.given <= body.size());
    const qsizetype split =
        body.isEmpty() ? 0 : static_cast<unsigned char>(body[0]) % (body.size() + 1);
    const Outcome parts = read(body, split);
    REQUIRE(parts.finished == whole.finished);
    REQUIRE(parts.failed == whole.failed);
    REQUIRE(parts.error == whole.error);
    REQUIRE(parts.names == whole.names);
    REQUIRE(parts.data == whole.data);
    return 0;
}
