#include "SVGPathParser.h"

#include <QList>
#include <QStringView>
#include <QTextBoundaryFinder>
#include <QTransform>
#include <QtMath>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <locale.h>
#include <optional>

namespace pq {

namespace {

bool is(QStringView c, char16_t ch) {
    return c.size() == 1 && c.front() == ch;
}

// A user-perceived character is classified by its first code point; what follows it (combining
// marks and the like) still makes it differ from the plain ASCII character.
char32_t firstCodePoint(QStringView c) {
    const QChar head = c.front();
    if (head.isHighSurrogate() && c.size() > 1 && c[1].isLowSurrogate())
        return QChar::surrogateToUcs4(head, c[1]);
    return head.unicode();
}

bool isLetter(QStringView c) {
    return QChar::isLetter(firstCodePoint(c));
}
bool isExponent(QStringView c) {
    return is(c, u'e') || is(c, u'E');
}
bool isSign(QStringView c) {
    return is(c, u'-') || is(c, u'+');
}
bool isSeparator(QStringView c) {
    return is(c, u' ') || is(c, u',') || is(c, u'\n') || is(c, u'\t');
}

// Digits of any script are taken into a number; only ASCII ones survive the conversion.
bool isDigit(QStringView c) {
    return QChar::isNumber(firstCodePoint(c));
}

// strtod in the "C" locale: the process locale (set from the environment by Qt) may use a
// decimal comma. Out-of-range values read as ±infinity or zero, as strtod rounds them.
std::optional<double> toDouble(QStringView text) {
    if (text.isEmpty())
        return std::nullopt;
    QByteArray ascii;
    ascii.reserve(text.size());
    for (const QChar ch : text) {
        if (ch.unicode() > 0x7f)
            return std::nullopt;
        ascii.append(char(ch.unicode()));
    }
    static const locale_t cLocale = newlocale(LC_NUMERIC_MASK, "C", locale_t(nullptr));
    const char* begin = ascii.constData();
    char* end = nullptr;
    const double value = strtod_l(begin, &end, cLocale);
    if (end != begin + ascii.size())
        return std::nullopt;
    return value;
}

// The path data as user-perceived characters, with a reading position.
class Tokens {
public:
    // The views point into `d`, which outlives the parse.
    explicit Tokens(const QString& d) {
        QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, d);
        qsizetype start = 0;
        for (qsizetype end = finder.toNextBoundary(); end != -1; end = finder.toNextBoundary()) {
            m_chars.append(QStringView(d).sliced(start, end - start));
            start = end;
        }
    }

    bool atEnd() const { return m_index >= m_chars.size(); }
    QStringView current() const { return m_chars.at(m_index); }
    void advance() {
        if (!atEnd())
            ++m_index;
    }

    void skipSeparators() {
        while (!atEnd() && isSeparator(current()))
            ++m_index;
    }

    std::optional<double> number() {
        skipSeparators();
        if (atEnd())
            return std::nullopt;
        const qsizetype start = m_index;
        if (isSign(current()))
            ++m_index;
        bool seenDot = false;
        while (!atEnd()) {
            const QStringView c = current();
            if (isDigit(c)) {
                ++m_index;
            } else if (is(c, u'.') && !seenDot) {
                seenDot = true;
                ++m_index;
            } else if (isExponent(c)) {
                ++m_index;
                if (!atEnd() && isSign(current()))
                    ++m_index;
            } else {
                break;
            }
        }
        return toDouble(accepted(start));
    }

    std::optional<bool> flag() {
        skipSeparators();
        if (atEnd())
            return std::nullopt;
        if (is(current(), u'0') || is(current(), u'1')) {
            const bool value = is(current(), u'1');
            ++m_index;
            return value;
        }
        return std::nullopt;
    }

    std::optional<QPointF> point() {
        const std::optional<double> x = number();
        if (!x)
            return std::nullopt;
        const std::optional<double> y = number();
        if (!y)
            return std::nullopt;
        return QPointF(*x, *y);
    }

private:
    // The characters from `start` up to the reading position, as one view of the text.
    QStringView accepted(qsizetype start) const {
        if (start == m_index)
            return {};
        const QStringView first = m_chars.at(start);
        const QStringView last = m_chars.at(m_index - 1);
        return QStringView(first.data(), last.data() + last.size());
    }

    QList<QStringView> m_chars;
    qsizetype m_index = 0;
};

// Endpoint arc → centre parameterisation → at most four cubics of up to 90° each.
void addArc(QPainterPath& out, QPointF from, double rx, double ry, double degrees, bool large,
            bool sweep, QPointF to) {
    // QPointF's == is fuzzy; a tiny chord with the large-arc flag is still a whole ellipse.
    if (rx == 0 || ry == 0 || (from.x() == to.x() && from.y() == to.y())) {
        out.lineTo(to);
        return;
    }
    rx = std::abs(rx);
    ry = std::abs(ry);
    const double phi = degrees * M_PI / 180;
    const double cosPhi = std::cos(phi);
    const double sinPhi = std::sin(phi);

    const double hx = (from.x() - to.x()) / 2;
    const double hy = (from.y() - to.y()) / 2;
    const double x1 = cosPhi * hx + sinPhi * hy;
    const double y1 = -sinPhi * hx + cosPhi * hy;

    const double lambda = (x1 * x1) / (rx * rx) + (y1 * y1) / (ry * ry);
    if (lambda > 1) {
        const double grow = std::sqrt(lambda);
        rx *= grow;
        ry *= grow;
    }

    // Grown radii put the centre on the chord's midpoint; the formula would get there only up to
    // the square root of rounding noise.
    const double rx2 = rx * rx;
    const double ry2 = ry * ry;
    const double numerator = rx2 * ry2 - rx2 * y1 * y1 - ry2 * x1 * x1;
    const double denominator = rx2 * y1 * y1 + ry2 * x1 * x1;
    double root = lambda > 1 ? 0.0 : std::sqrt(std::max(0.0, numerator / denominator));
    if (large == sweep)
        root = -root;
    const double cxr = root * rx * y1 / ry;
    const double cyr = -root * ry * x1 / rx;
    const double cx = cosPhi * cxr - sinPhi * cyr + (from.x() + to.x()) / 2;
    const double cy = sinPhi * cxr + cosPhi * cyr + (from.y() + to.y()) / 2;

    const double theta1 = std::atan2((y1 - cyr) / ry, (x1 - cxr) / rx);
    double delta = std::atan2((-y1 - cyr) / ry, (-x1 - cxr) / rx) - theta1;
    if (sweep && delta < 0)
        delta += 2 * M_PI;
    else if (!sweep && delta > 0)
        delta -= 2 * M_PI;

    // Huge coordinates or radii overflow the squares above; such an arc cannot be drawn.
    if (!std::isfinite(rx) || !std::isfinite(ry) || !std::isfinite(cx) || !std::isfinite(cy) ||
        !std::isfinite(theta1) || !std::isfinite(delta)) {
        out.lineTo(to);
        return;
    }

    // The slack keeps rounding noise from turning a half circle into three segments.
    const double quarters = std::abs(delta) / (M_PI / 2);
    const int segments = std::max(1, int(std::ceil(quarters - 1e-9)));
    const double step = delta / segments;
    const double k = 4.0 / 3.0 * std::tan(step / 4);

    const auto place = [&](double ux, double uy) {
        const double x = rx * ux;
        const double y = ry * uy;
        return QPointF(cosPhi * x - sinPhi * y + cx, sinPhi * x + cosPhi * y + cy);
    };
    for (int i = 0; i < segments; ++i) {
        const double a = theta1 + i * step;
        const double b = a + step;
        const double cosA = std::cos(a), sinA = std::sin(a);
        const double cosB = std::cos(b), sinB = std::sin(b);
        out.cubicTo(place(cosA - k * sinA, sinA + k * cosA),
                    place(cosB + k * sinB, sinB - k * cosB), place(cosB, sinB));
    }
}

class Builder {
public:
    explicit Builder(const QString& d) : m_tokens(d) {}

    QPainterPath run() {
        m_tokens.skipSeparators();
        while (!m_tokens.atEnd()) {
            const QStringView c = m_tokens.current();
            if (isLetter(c) && !isExponent(c)) {
                m_tokens.advance();
                if (is(c, u'Z') || is(c, u'z')) {
                    m_path.closeSubpath();
                    m_current = m_subpathStart;
                    m_cubicReflectable = m_quadReflectable = false;
                    m_tokens.skipSeparators();
                    continue;
                }
                setCommand(c);
            }
            // Without a new letter the last command repeats with the next numbers.
            if (!step())
                break;
            m_tokens.skipSeparators();
        }
        return m_path;
    }

private:
    void setCommand(QStringView letter) {
        const QString upper = letter.toString().toUpper();
        m_command = upper.size() == 1 ? upper.front().unicode() : u'\0';
        m_relative = QChar::isLower(firstCodePoint(letter));
    }

    // Relative coordinates are offsets from the point where the command started.
    std::optional<QPointF> point(QPointF origin) {
        const std::optional<QPointF> p = m_tokens.point();
        if (!p)
            return std::nullopt;
        return m_relative ? *p + origin : *p;
    }

    // One command's worth of numbers; false when something it needs is missing.
    bool step() {
        const QPointF origin = m_current;
        switch (m_command) {
        case u'M': {
            const auto p = point(origin);
            if (!p)
                return false;
            m_path.moveTo(*p);
            m_current = m_subpathStart = *p;
            m_cubicReflectable = m_quadReflectable = false;
            m_command = u'L';
            return true;
        }
        case u'L': {
            const auto p = point(origin);
            if (!p)
                return false;
            lineTo(*p);
            return true;
        }
        case u'H': {
            const auto x = m_tokens.number();
            if (!x)
                return false;
            lineTo(QPointF(m_relative ? origin.x() + *x : *x, origin.y()));
            return true;
        }
        case u'V': {
            const auto y = m_tokens.number();
            if (!y)
                return false;
            lineTo(QPointF(origin.x(), m_relative ? origin.y() + *y : *y));
            return true;
        }
        case u'C': {
            const auto c1 = point(origin);
            if (!c1)
                return false;
            return cubicFrom(*c1, origin);
        }
        case u'S':
            return cubicFrom(m_cubicReflectable ? 2 * origin - m_lastCubicControl : origin, origin);
        case u'Q': {
            const auto control = point(origin);
            if (!control)
                return false;
            return quadFrom(*control, origin);
        }
        case u'T':
            return quadFrom(m_quadReflectable ? 2 * origin - m_lastQuadControl : origin, origin);
        case u'A':
            return arc(origin);
        default:
            // Characters after an unknown command letter are passed over one at a time.
            m_tokens.advance();
            return true;
        }
    }

    void lineTo(QPointF p) {
        m_path.lineTo(p);
        m_current = p;
        m_cubicReflectable = m_quadReflectable = false;
    }

    // Reads the second control point and the end point.
    bool cubicFrom(QPointF c1, QPointF origin) {
        const auto c2 = point(origin);
        if (!c2)
            return false;
        const auto end = point(origin);
        if (!end)
            return false;
        m_path.cubicTo(c1, *c2, *end);
        m_current = *end;
        m_lastCubicControl = *c2;
        m_cubicReflectable = true;
        m_quadReflectable = false;
        return true;
    }

    // Reads the end point.
    bool quadFrom(QPointF control, QPointF origin) {
        const auto end = point(origin);
        if (!end)
            return false;
        m_path.quadTo(control, *end);
        m_current = *end;
        m_lastQuadControl = control;
        m_quadReflectable = true;
        m_cubicReflectable = false;
        return true;
    }

    bool arc(QPointF origin) {
        const auto rx = m_tokens.number();
        if (!rx)
            return false;
        const auto ry = m_tokens.number();
        if (!ry)
            return false;
        const auto rotation = m_tokens.number();
        if (!rotation)
            return false;
        const auto large = m_tokens.flag();
        if (!large)
            return false;
        const auto sweep = m_tokens.flag();
        if (!sweep)
            return false;
        const auto end = point(origin);
        if (!end)
            return false;
        addArc(m_path, origin, *rx, *ry, *rotation, *large, *sweep, *end);
        m_current = *end;
        m_cubicReflectable = m_quadReflectable = false;
        return true;
    }

    Tokens m_tokens;
    QPainterPath m_path;
    QPointF m_current;
    QPointF m_subpathStart;
    QPointF m_lastCubicControl;
    QPointF m_lastQuadControl;
    bool m_cubicReflectable = false;
    bool m_quadReflectable = false;
    char16_t m_command = u'M';
    bool m_relative = false;
};

} // namespace

QPainterPath SVGPathParser::path(const QString& d) {
    return Builder(d).run();
}

QPainterPath SVGPathParser::fitted(const QString& d, const QRectF& rect) {
    const QPainterPath parsed = path(d);
    const QRectF r = rect.normalized();
    const double scale = std::min(r.width(), r.height()) / 24;
    // A transform with infinities or NaN would wipe the drawing out; keep the grid coordinates.
    if (!std::isfinite(scale) || !std::isfinite(r.left()) || !std::isfinite(r.top()))
        return parsed;
    QTransform transform;
    transform.translate(r.left(), r.top());
    transform.scale(scale, scale);
    return transform.map(parsed);
}

} // namespace pq
