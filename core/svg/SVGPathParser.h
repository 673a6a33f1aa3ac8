#pragma once

#include <QPainterPath>
#include <QRectF>
#include <QString>

namespace pq {

// SVG path data ("M2 3 L4 5 A…") as a QPainterPath. Icons are drawn on a 24 × 24 grid.
class SVGPathParser {
public:
    SVGPathParser() = delete;

    // Never fails: the first command whose numbers, flags or points cannot be read ends the
    // parse, and the path built until then is returned. Arcs become cubic Béziers.
    static QPainterPath path(const QString& d);

    // `path(d)` with the 24-unit grid scaled by min(width, height) / 24 and anchored at the
    // rectangle's top-left corner (not centred in a non-square rectangle).
    static QPainterPath fitted(const QString& d, const QRectF& rect);
};

} // namespace pq
