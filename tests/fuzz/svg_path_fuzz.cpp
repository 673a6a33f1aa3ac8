// Arbitrary bytes as path data. Beyond not crashing, the parser must draw at most a bounded number
// of elements per input character, never put a non-finite coordinate into a path, stop at the
// first character it cannot use, and fit a path by scaling every element in place.
#include "Require.h"
#include "SVGPathParser.h"

#include <QPainterPath>
#include <QRectF>
#include <QString>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>

using pq::SVGPathParser;

namespace {

// QPainterPath's encoding: a move first, and every cubic as a curve element followed by exactly
// two data elements. Coordinates are always finite: an overflowing number ("1e999") or an arc
// whose maths overflows must not smuggle infinity or NaN in.
void checkWellFormed(const QPainterPath& path) {
    const int n = path.elementCount();
    REQUIRE(n == 0 || path.elementAt(0).type == QPainterPath::MoveToElement);
    for (int i = 0; i < n; ++i) {
        const QPainterPath::Element e = path.elementAt(i);
        REQUIRE(std::isfinite(e.x) && std::isfinite(e.y));
        if (e.type == QPainterPath::CurveToElement) {
            REQUIRE(i + 2 < n);
            REQUIRE(path.elementAt(i + 1).type == QPainterPath::CurveToDataElement);
            REQUIRE(path.elementAt(i + 2).type == QPainterPath::CurveToDataElement);
            i += 2;
        } else {
            REQUIRE(e.type != QPainterPath::CurveToDataElement);
        }
    }
}

bool identical(const QPainterPath& a, const QPainterPath& b) {
    if (a.elementCount() != b.elementCount())
        return false;
    for (int i = 0; i < a.elementCount(); ++i) {
        const QPainterPath::Element x = a.elementAt(i);
        const QPainterPath::Element y = b.elementAt(i);
        if (x.type != y.type || x.x != y.x || x.y != y.y)
            return false;
    }
    return true;
}

bool near(double actual, double expected) {
    return std::abs(actual - expected) <= 1e-12 * std::max(1.0, std::abs(expected));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QString d = QString::fromUtf8(reinterpret_cast<const char*>(data), qsizetype(size));
    const QPainterPath path = SVGPathParser::path(d);
    checkWellFormed(path);

    // Every command consumes characters: a line needs at least three ("1 1"), an arc (at most
    // four cubics, twelve elements) at least eleven. Closing, and the move QPainterPath inserts
    // before drawing on from a closed subpath, add one element each.
    REQUIRE(path.elementCount() <= 2 * d.size() + 1);

    // A control character is never a separator, letter or digit, and always a character of its
    // own: appended, it ends the parse without changing what was drawn.
    REQUIRE(identical(path, SVGPathParser::path(d + QChar(0x01))));

    for (const QRectF& rect : {QRectF(10, 20, 48, 30), QRectF(-3.5, 0.25, 12, 200)}) {
        const QPainterPath fitted = SVGPathParser::fitted(d, rect);
        checkWellFormed(fitted);
        REQUIRE(fitted.elementCount() == path.elementCount());
        const double scale = std::min(rect.width(), rect.height()) / 24;
        for (int i = 0; i < path.elementCount(); ++i) {
            const QPainterPath::Element grid = path.elementAt(i);
            const QPainterPath::Element placed = fitted.elementAt(i);
            REQUIRE(placed.type == grid.type);
            REQUIRE(near(placed.x, rect.left() + grid.x * scale));
            REQUIRE(near(placed.y, rect.top() + grid.y * scale));
        }
    }
    return 0;
}
