// Arbitrary bytes as the one read of a sign-in listener's connection. Whatever arrives, the
// decision is one of the known kinds, a code is only handed on for "/callback" with our state,
// and the page rendered for any message stays a single well-formed paragraph.
#include "ConnectCallback.h"
#include "Require.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

using pq::ConnectCallback;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray request(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const std::optional<QString> state = QStringLiteral("S");

    const auto pending = ConnectCallback::decide(request, state);
    const auto idle = ConnectCallback::decide(request, std::nullopt);
    using Kind = ConnectCallback::Kind;

    // Nobody waiting: nothing is ever accepted or refused.
    REQUIRE(idle.kind == Kind::unreadable || idle.kind == Kind::notWaiting);
    REQUIRE(idle.code.isEmpty());
    REQUIRE((pending.kind == Kind::unreadable) == (idle.kind == Kind::unreadable));
    if (pending.kind == Kind::code) {
        REQUIRE(!pending.code.isEmpty());
        REQUIRE(QString::fromUtf8(request).contains(QLatin1String("/callback")));
    } else {
        REQUIRE(pending.code.isEmpty());
    }

    // Any text shown in the page is escaped: no markup can open inside the paragraph.
    const QString message = QString::fromUtf8(request);
    const QByteArray page = ConnectCallback::page(message, false);
    const qsizetype open = page.indexOf("<p>");
    const qsizetype close = page.lastIndexOf("</p>");
    REQUIRE(open > 0 && close > open);
    REQUIRE(page.mid(open + 3, close - open - 3).indexOf('<') < 0);
    REQUIRE(page.endsWith("</p></body>"));

    const QByteArray response = ConnectCallback::response(message, true);
    const qsizetype headerEnd = response.indexOf("\r\n\r\n");
    REQUIRE(headerEnd > 0);
    REQUIRE(response.left(headerEnd).contains("Content-Length: " +
                                              QByteArray::number(response.size() - headerEnd - 4)));
    return 0;
}
