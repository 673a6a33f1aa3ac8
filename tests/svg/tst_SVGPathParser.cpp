// Path data → QPainterPath: token reading, every command in absolute and relative form, implicit
// repetition, control point reflection, arcs as cubics, and fitting the grid into a rectangle.
#include "SVGPathParser.h"

#include <QTest>

#include <cmath>
#include <limits>
#include <vector>

using pq::SVGPathParser;

namespace {

constexpr double pi = M_PI;

struct El {
    QPainterPath::ElementType type;
    double x;
    double y;
};
using Els = std::vector<El>;

// Expected elements in QPainterPath's own encoding: a cubic is one CurveToElement and two
// CurveToDataElements, a quadratic is stored as its equivalent cubic, and closing a subpath
// adds a line back to its start.
class Expect {
public:
    Expect& M(double x, double y) { return add(QPainterPath::MoveToElement, x, y); }
    Expect& L(double x, double y) { return add(QPainterPath::LineToElement, x, y); }
    Expect& C(double x1, double y1, double x2, double y2, double x, double y) {
        add(QPainterPath::CurveToElement, x1, y1);
        add(QPainterPath::CurveToDataElement, x2, y2);
        return add(QPainterPath::CurveToDataElement, x, y);
    }
    Expect& Q(double qx, double qy, double x, double y) {
        const double x0 = m_els.back().x;
        const double y0 = m_els.back().y;
        return C(x0 + 2.0 / 3 * (qx - x0), y0 + 2.0 / 3 * (qy - y0), x + 2.0 / 3 * (qx - x),
                 y + 2.0 / 3 * (qy - y), x, y);
    }
    operator Els() const { return m_els; }

private:
    Expect& add(QPainterPath::ElementType type, double x, double y) {
        m_els.push_back({type, x, y});
        return *this;
    }
    Els m_els;
};

QString describe(QPainterPath::ElementType type, double x, double y) {
    static const char* names[] = {"M", "L", "C", "c"};
    return QStringLiteral("%1(%2,%3)").arg(QLatin1String(names[type])).arg(x).arg(y);
}

QString describe(const QPainterPath& path) {
    QStringList out;
    for (int i = 0; i < path.elementCount(); ++i) {
        const QPainterPath::Element e = path.elementAt(i);
        out << describe(e.type, e.x, e.y);
    }
    return out.join(u' ');
}

QString describe(const Els& els) {
    QStringList out;
    for (const El& e : els)
        out << describe(e.type, e.x, e.y);
    return out.join(u' ');
}

// Empty when `path` has exactly the expected elements, coordinates within `tolerance`.
QString mismatch(const QPainterPath& path, const Els& want, double tolerance = 1e-9) {
    bool same = path.elementCount() == int(want.size());
    for (int i = 0; same && i < path.elementCount(); ++i) {
        const QPainterPath::Element e = path.elementAt(i);
        same = e.type == want[i].type && std::abs(e.x - want[i].x) <= tolerance &&
               std::abs(e.y - want[i].y) <= tolerance;
    }
    if (same)
        return {};
    return QStringLiteral("\n   actual: %1\n expected: %2").arg(describe(path), describe(want));
}

struct Cubic {
    QPointF p0, c1, c2, p3;

    QPointF at(double t) const {
        const double u = 1 - t;
        return u * u * u * p0 + 3 * u * u * t * c1 + 3 * u * t * t * c2 + t * t * t * p3;
    }
};

// The cubics of a path made of one move followed by curves only; empty if it has another shape.
std::vector<Cubic> cubicsAfterMove(const QPainterPath& path) {
    const int n = path.elementCount();
    if (n < 4 || (n - 1) % 3 != 0 || path.elementAt(0).type != QPainterPath::MoveToElement)
        return {};
    std::vector<Cubic> out;
    for (int i = 1; i < n; i += 3) {
        if (path.elementAt(i).type != QPainterPath::CurveToElement ||
            path.elementAt(i + 1).type != QPainterPath::CurveToDataElement ||
            path.elementAt(i + 2).type != QPainterPath::CurveToDataElement)
            return {};
        out.push_back({QPointF(path.elementAt(i - 1)), QPointF(path.elementAt(i)),
                       QPointF(path.elementAt(i + 1)), QPointF(path.elementAt(i + 2))});
    }
    return out;
}

double angleOf(QPointF p, QPointF centre) {
    return std::atan2(p.y() - centre.y(), p.x() - centre.x());
}

// Signed angle from a to b, in (−π, π].
double turn(double a, double b) {
    double d = b - a;
    while (d > pi)
        d -= 2 * pi;
    while (d <= -pi)
        d += 2 * pi;
    return d;
}

double distance(QPointF a, QPointF b) {
    return std::hypot(a.x() - b.x(), a.y() - b.y());
}

QPointF rotated(QPointF p, double radians) {
    const double c = std::cos(radians), s = std::sin(radians);
    return {c * p.x() - s * p.y(), s * p.x() + c * p.y()};
}

QString num(double v) {
    return QString::number(v, 'g', 17);
}

const double smallArc = 2 * std::asin(0.6); // a chord of 6 in a circle of radius 5
const double largeArc = 2 * pi - smallArc;

} // namespace

Q_DECLARE_METATYPE(Els)

class TestSVGPathParser : public QObject {
    Q_OBJECT

private slots:
    void elements_data();
    void elements();
    void circularArcs_data();
    void circularArcs();
    void ellipticalArcs_data();
    void ellipticalArcs();
    void tooSmallRadiiGrowTogether_data();
    void tooSmallRadiiGrowTogether();
    void fitted_data();
    void fitted();
};

void TestSVGPathParser::elements_data() {
    QTest::addColumn<QString>("d");
    QTest::addColumn<Els>("expected");

    // Empty input and blanks.
    QTest::newRow("empty") << QString() << Els{};
    QTest::newRow("separators only") << QStringLiteral(" \t\n, ,") << Els{};

    // Move and implicit repetition.
    QTest::newRow("move then implicit line")
        << QStringLiteral("M2 3 4 5") << Els(Expect().M(2, 3).L(4, 5));
    QTest::newRow("relative move then implicit relative line")
        << QStringLiteral("m2 3 4 5") << Els(Expect().M(2, 3).L(6, 8));
    QTest::newRow("implicit lines keep repeating")
        << QStringLiteral("M0 0 1 1 2 0 3 1") << Els(Expect().M(0, 0).L(1, 1).L(2, 0).L(3, 1));
    QTest::newRow("implicit relative lines chain")
        << QStringLiteral("m1 1 1 0 0 1") << Els(Expect().M(1, 1).L(2, 1).L(2, 2));
    QTest::newRow("data without a letter starts as a move")
        << QStringLiteral("4 5 6 7") << Els(Expect().M(4, 5).L(6, 7));
    QTest::newRow("relative move from the current point")
        << QStringLiteral("M1 1L3 1m2 2 1 0") << Els(Expect().M(1, 1).L(3, 1).M(5, 3).L(6, 3));
    QTest::newRow("drawing before any move starts at the origin")
        << QStringLiteral("L5 5") << Els(Expect().M(0, 0).L(5, 5));

    // Missing numbers end the parse with what was built so far.
    QTest::newRow("line lacking its y") << QStringLiteral("M0 0L10") << Els(Expect().M(0, 0));
    QTest::newRow("move lacking its y") << QStringLiteral("M1") << Els{};
    QTest::newRow("letter alone") << QStringLiteral("M") << Els{};
    QTest::newRow("incomplete cubic drops the rest")
        << QStringLiteral("M0 0L1 1L2 2C3 3 4 4L9 9") << Els(Expect().M(0, 0).L(1, 1).L(2, 2));

    // Numbers.
    QTest::newRow("second dot starts a new number")
        << QStringLiteral("M0,0 1.5.5") << Els(Expect().M(0, 0).L(1.5, 0.5));
    QTest::newRow("numbers made of dots only")
        << QStringLiteral("M.5.5.25.75") << Els(Expect().M(0.5, 0.5).L(0.25, 0.75));
    QTest::newRow("exponent then signed number")
        << QStringLiteral("M0 0L1e2-3") << Els(Expect().M(0, 0).L(100, -3));
    QTest::newRow("negative exponent")
        << QStringLiteral("M0 0L1e-2 3") << Els(Expect().M(0, 0).L(0.01, 3));
    QTest::newRow("upper-case exponent with plus")
        << QStringLiteral("M0 0L2E+1 1") << Els(Expect().M(0, 0).L(20, 1));
    QTest::newRow("exponent after a dot, second dot")
        << QStringLiteral("M0 0L1.5e3.5") << Els(Expect().M(0, 0).L(1500, 0.5));
    QTest::newRow("dot after an exponent stays in the number")
        << QStringLiteral("M0 0L1e3.5 2") << Els(Expect().M(0, 0));
    QTest::newRow("exponent without digits")
        << QStringLiteral("M0 0L1e 2 3") << Els(Expect().M(0, 0));
    QTest::newRow("signs separate numbers")
        << QStringLiteral("M0 0L-1+2") << Els(Expect().M(0, 0).L(-1, 2));
    QTest::newRow("lone sign") << QStringLiteral("M0 0L+ 2") << Els(Expect().M(0, 0));
    QTest::newRow("two signs") << QStringLiteral("M0 0L+-1 2") << Els(Expect().M(0, 0));
    QTest::newRow("trailing and leading dots")
        << QStringLiteral("M0 0L1. .5") << Els(Expect().M(0, 0).L(1, 0.5));
    QTest::newRow("underflow reads as zero")
        << QStringLiteral("M0 0L1e-999 5") << Els(Expect().M(0, 0).L(0, 5));
    // An overflowing number is infinite, not missing: the parse goes on (and QPainterPath
    // refuses the infinite point).
    QTest::newRow("overflow does not end the parse")
        << QStringLiteral("M0 0L1e999 5L2 2") << Els(Expect().M(0, 0).L(2, 2));

    // Separators.
    QTest::newRow("tab, line feed and comma")
        << QStringLiteral("M1\t2\n3,4") << Els(Expect().M(1, 2).L(3, 4));
    QTest::newRow("runs of separators")
        << QStringLiteral("M1,,2 ,\t, L3,4") << Els(Expect().M(1, 2).L(3, 4));
    QTest::newRow("carriage return is not a separator")
        << QStringLiteral("M0 0\rL5 5") << Els(Expect().M(0, 0));
    QTest::newRow("no-break space is not a separator")
        << QStringLiteral("M0 0\u00a0L5 5") << Els(Expect().M(0, 0));

    // User-perceived characters.
    QTest::newRow("non-ASCII digit") << QStringLiteral("M0 0L\u0661 2") << Els(Expect().M(0, 0));
    QTest::newRow("non-ASCII digit inside a number")
        << QStringLiteral("M0 0L1 2\u0663") << Els(Expect().M(0, 0));
    QTest::newRow("digit carrying a combining mark")
        << QStringLiteral("M0 0L1 2\u0301") << Els(Expect().M(0, 0));
    QTest::newRow("Z carrying a combining mark is another letter")
        << QStringLiteral("M0 0L5 0 5 5Z\u0301") << Els(Expect().M(0, 0).L(5, 0).L(5, 5));

    // Lines.
    QTest::newRow("absolute H and V")
        << QStringLiteral("M1 2H5V7") << Els(Expect().M(1, 2).L(5, 2).L(5, 7));
    QTest::newRow("relative h and v")
        << QStringLiteral("M1 2h5v7h-2") << Els(Expect().M(1, 2).L(6, 2).L(6, 9).L(4, 9));
    QTest::newRow("H repeats") << QStringLiteral("M0 1H1 2 3")
                               << Els(Expect().M(0, 1).L(1, 1).L(2, 1).L(3, 1));
    QTest::newRow("v repeats") << QStringLiteral("M1 0v1 2")
                               << Els(Expect().M(1, 0).L(1, 1).L(1, 3));

    // Cubics and their reflection.
    QTest::newRow("absolute C") << QStringLiteral("M0 0C1 2 3 4 5 6")
                                << Els(Expect().M(0, 0).C(1, 2, 3, 4, 5, 6));
    QTest::newRow("relative c, all points from the start")
        << QStringLiteral("M10 10c1 2 3 4 5 6")
        << Els(Expect().M(10, 10).C(11, 12, 13, 14, 15, 16));
    QTest::newRow("c repeats from each new start")
        << QStringLiteral("M10 10c1 2 3 4 5 6 1 1 2 2 3 3")
        << Els(Expect().M(10, 10).C(11, 12, 13, 14, 15, 16).C(16, 17, 17, 18, 18, 19));
    QTest::newRow("S with no cubic before uses the current point")
        << QStringLiteral("M0 0 S5 5 10 0") << Els(Expect().M(0, 0).C(0, 0, 5, 5, 10, 0));
    QTest::newRow("S reflects the previous C")
        << QStringLiteral("M0 0C1 2 3 4 5 6S7 8 9 10")
        << Els(Expect().M(0, 0).C(1, 2, 3, 4, 5, 6).C(7, 8, 7, 8, 9, 10));
    QTest::newRow("S reflects the previous S")
        << QStringLiteral("M0 0C1 2 3 4 5 6S7 8 9 10S11 11 12 12")
        << Els(Expect().M(0, 0).C(1, 2, 3, 4, 5, 6).C(7, 8, 7, 8, 9, 10).C(11, 12, 11, 11, 12, 12));
    QTest::newRow("relative s")
        << QStringLiteral("M10 10c1 2 3 4 5 6s1 1 2 2")
        << Els(Expect().M(10, 10).C(11, 12, 13, 14, 15, 16).C(17, 18, 16, 17, 17, 18));
    QTest::newRow("relative s with no cubic before")
        << QStringLiteral("M10 10s1 2 3 4") << Els(Expect().M(10, 10).C(10, 10, 11, 12, 13, 14));
    QTest::newRow("S after Q does not reflect")
        << QStringLiteral("M0 0Q1 1 2 0S5 5 6 0")
        << Els(Expect().M(0, 0).Q(1, 1, 2, 0).C(2, 0, 5, 5, 6, 0));
    QTest::newRow("S after L does not reflect")
        << QStringLiteral("M0 0C1 1 2 2 3 3L4 4S5 5 6 6")
        << Els(Expect().M(0, 0).C(1, 1, 2, 2, 3, 3).L(4, 4).C(4, 4, 5, 5, 6, 6));
    QTest::newRow("S after M does not reflect")
        << QStringLiteral("M0 0C1 1 2 2 3 3M10 10S5 5 6 6")
        << Els(Expect().M(0, 0).C(1, 1, 2, 2, 3, 3).M(10, 10).C(10, 10, 5, 5, 6, 6));
    QTest::newRow("S after Z does not reflect")
        << QStringLiteral("M0 0C1 1 2 2 3 3ZS5 5 6 6")
        << Els(Expect().M(0, 0).C(1, 1, 2, 2, 3, 3).L(0, 0).M(0, 0).C(0, 0, 5, 5, 6, 6));
    QTest::newRow("S after A does not reflect")
        << QStringLiteral("M0 0C1 1 2 2 3 3A0 1 0 0 1 4 4S5 5 6 6")
        << Els(Expect().M(0, 0).C(1, 1, 2, 2, 3, 3).L(4, 4).C(4, 4, 5, 5, 6, 6));

    // Quadratics and their reflection.
    QTest::newRow("absolute Q") << QStringLiteral("M0 0Q5 5 10 0")
                                << Els(Expect().M(0, 0).Q(5, 5, 10, 0));
    QTest::newRow("relative q") << QStringLiteral("M10 10q1 2 3 4")
                                << Els(Expect().M(10, 10).Q(11, 12, 13, 14));
    QTest::newRow("T reflects the previous Q")
        << QStringLiteral("M0 0 Q5 5 10 0 T20 0")
        << Els(Expect().M(0, 0).Q(5, 5, 10, 0).Q(15, -5, 20, 0));
    QTest::newRow("T reflects the previous T")
        << QStringLiteral("M0 0Q5 5 10 0T20 0T30 0")
        << Els(Expect().M(0, 0).Q(5, 5, 10, 0).Q(15, -5, 20, 0).Q(25, 5, 30, 0));
    QTest::newRow("T with no quadratic before uses the current point")
        << QStringLiteral("M1 1T5 1") << Els(Expect().M(1, 1).Q(1, 1, 5, 1));
    QTest::newRow("relative t") << QStringLiteral("M10 10q1 2 3 4t1 1")
                                << Els(Expect().M(10, 10).Q(11, 12, 13, 14).Q(15, 16, 14, 15));
    QTest::newRow("T after C does not reflect")
        << QStringLiteral("M0 0C1 1 2 2 3 1T6 0")
        << Els(Expect().M(0, 0).C(1, 1, 2, 2, 3, 1).Q(3, 1, 6, 0));

    // Closing.
    QTest::newRow("Z returns to the subpath start")
        << QStringLiteral("M1 1L5 1L5 5Zl1 0")
        << Els(Expect().M(1, 1).L(5, 1).L(5, 5).L(1, 1).M(1, 1).L(2, 1));
    QTest::newRow("the command before Z repeats after it")
        << QStringLiteral("M1 1L5 1Z3 3") << Els(Expect().M(1, 1).L(5, 1).L(1, 1).M(1, 1).L(3, 3));
    QTest::newRow("relative lines after z")
        << QStringLiteral("M1 1l4 0z 1 1") << Els(Expect().M(1, 1).L(5, 1).L(1, 1).M(1, 1).L(2, 2));
    QTest::newRow("z, separators, new subpath")
        << QStringLiteral("M0 0L5 0L5 5z M10 10L12 12")
        << Els(Expect().M(0, 0).L(5, 0).L(5, 5).L(0, 0).M(10, 10).L(12, 12));
    QTest::newRow("Z returns to the latest move, not the first")
        << QStringLiteral("M0 0L1 0M4 4L5 4L5 5Zl0 1")
        << Els(Expect().M(0, 0).L(1, 0).M(4, 4).L(5, 4).L(5, 5).L(4, 4).M(4, 4).L(4, 5));

    // Unknown letters: the characters after them are passed over one at a time.
    QTest::newRow("unknown letter then punctuation")
        << QStringLiteral("M0 0X#!?L5 5") << Els(Expect().M(0, 0).L(5, 5));
    QTest::newRow("unknown letter then numbers")
        << QStringLiteral("M0 0 B1 2 3 L5 5") << Els(Expect().M(0, 0).L(5, 5));
    QTest::newRow("unknown non-ASCII letter")
        << QStringLiteral("M0 0 \u04361 2 L5 5") << Els(Expect().M(0, 0).L(5, 5));
    QTest::newRow("unknown letter at the end")
        << QStringLiteral("M0 0L1 1 X") << Els(Expect().M(0, 0).L(1, 1));
    QTest::newRow("e is not a command letter")
        << QStringLiteral("M0 0 e5 L5 5") << Els(Expect().M(0, 0));
    QTest::newRow("punctuation without a command letter")
        << QStringLiteral("M0 0 # L5 5") << Els(Expect().M(0, 0));

    // Arcs that are drawn as lines or not at all.
    QTest::newRow("arc with rx 0 is a line")
        << QStringLiteral("M0 0A0 5 0 0 1 10 0") << Els(Expect().M(0, 0).L(10, 0));
    QTest::newRow("arc with ry 0 is a line")
        << QStringLiteral("M0 0A5 0 0 1 0 10 0") << Els(Expect().M(0, 0).L(10, 0));
    QTest::newRow("relative arc with rx 0")
        << QStringLiteral("M1 1a0 5 0 0 1 10 0") << Els(Expect().M(1, 1).L(11, 1));
    QTest::newRow("A repeats") << QStringLiteral("M0 0A0 1 0 0 1 6 0 0 1 0 0 1 12 3")
                               << Els(Expect().M(0, 0).L(6, 0).L(12, 3));
    QTest::newRow("arc back to its start adds no curve")
        << QStringLiteral("M5 5A3 3 0 1 1 5 5L6 6") << Els(Expect().M(5, 5).L(6, 6));
    QTest::newRow("flag other than 0 or 1")
        << QStringLiteral("M0 0A5 5 0 2 1 6 0") << Els(Expect().M(0, 0));
    QTest::newRow("arc lacking its end y")
        << QStringLiteral("M0 0A5 5 0 1 1 6") << Els(Expect().M(0, 0));
    QTest::newRow("arc lacking its sweep flag")
        << QStringLiteral("M0 0A5 5 0 1") << Els(Expect().M(0, 0));
}

void TestSVGPathParser::elements() {
    QFETCH(QString, d);
    QFETCH(Els, expected);
    const QString diff = mismatch(SVGPathParser::path(d), expected);
    QVERIFY2(diff.isEmpty(), qPrintable(diff));
}

void TestSVGPathParser::circularArcs_data() {
    QTest::addColumn<QString>("d");
    QTest::addColumn<QPointF>("start");
    QTest::addColumn<QPointF>("end");
    QTest::addColumn<QPointF>("centre");
    QTest::addColumn<double>("radius");
    QTest::addColumn<double>("sweep"); // signed angle swept, positive from +x towards +y
    QTest::addColumn<int>("segments");

    const QPointF o(0, 0);
    // A chord of 6 in a circle of radius 5: the centre is 4 above or below it.
    QTest::newRow("small, sweep 0") << QStringLiteral("M0 0A5 5 0 0 0 6 0") << o << QPointF(6, 0)
                                    << QPointF(3, -4) << 5.0 << -smallArc << 1;
    QTest::newRow("small, sweep 1") << QStringLiteral("M0 0A5 5 0 0 1 6 0") << o << QPointF(6, 0)
                                    << QPointF(3, 4) << 5.0 << smallArc << 1;
    QTest::newRow("large, sweep 0") << QStringLiteral("M0 0A5 5 0 1 0 6 0") << o << QPointF(6, 0)
                                    << QPointF(3, 4) << 5.0 << -largeArc << 4;
    QTest::newRow("large, sweep 1") << QStringLiteral("M0 0A5 5 0 1 1 6 0") << o << QPointF(6, 0)
                                    << QPointF(3, -4) << 5.0 << largeArc << 4;
    // With radius 10 the short way round is under one radian, and the centre is √91 away.
    const double narrow = 2 * std::asin(0.3);
    QTest::newRow("large, sweep 1, radius 10")
        << QStringLiteral("M0 0A10 10 0 1 1 6 0") << o << QPointF(6, 0)
        << QPointF(3, -std::sqrt(91.0)) << 10.0 << 2 * pi - narrow << 4;
    QTest::newRow("large, sweep 0, radius 10")
        << QStringLiteral("M0 0A10 10 0 1 0 6 0") << o << QPointF(6, 0)
        << QPointF(3, std::sqrt(91.0)) << 10.0 << narrow - 2 * pi << 4;
    QTest::newRow("small, sweep 1, radius 10")
        << QStringLiteral("M0 0A10 10 0 0 1 6 0") << o << QPointF(6, 0)
        << QPointF(3, std::sqrt(91.0)) << 10.0 << narrow << 1;
    QTest::newRow("packed flags 11") << QStringLiteral("M0 0A5 5 0 116 0") << o << QPointF(6, 0)
                                     << QPointF(3, -4) << 5.0 << largeArc << 4;
    QTest::newRow("packed flags 01") << QStringLiteral("M0 0A5,5,0,016,0") << o << QPointF(6, 0)
                                     << QPointF(3, 4) << 5.0 << smallArc << 1;
    QTest::newRow("packed flags then x 10") << QStringLiteral("M0 0A5 5 0 1110 0") << o
                                            << QPointF(10, 0) << QPointF(5, 0) << 5.0 << pi << 2;
    QTest::newRow("relative end point")
        << QStringLiteral("M10 10a5 5 0 0 1 6 0") << QPointF(10, 10) << QPointF(16, 10)
        << QPointF(13, 14) << 5.0 << smallArc << 1;
    QTest::newRow("negative radii") << QStringLiteral("M0 0A-5 -5 0 0 1 6 0") << o << QPointF(6, 0)
                                    << QPointF(3, 4) << 5.0 << smallArc << 1;
    QTest::newRow("rotated circle") << QStringLiteral("M0 0A5 5 30 0 1 6 0") << o << QPointF(6, 0)
                                    << QPointF(3, 4) << 5.0 << smallArc << 1;
    QTest::newRow("quarter") << QStringLiteral("M0 0A5 5 0 0 1 5 5") << o << QPointF(5, 5)
                             << QPointF(0, 5) << 5.0 << pi / 2 << 1;
    QTest::newRow("three quarters") << QStringLiteral("M0 0A5 5 0 1 0 5 5") << o << QPointF(5, 5)
                                    << QPointF(0, 5) << 5.0 << -3 * pi / 2 << 3;
    QTest::newRow("half, sweep 1") << QStringLiteral("M0 0A5 5 0 0 1 10 0") << o << QPointF(10, 0)
                                   << QPointF(5, 0) << 5.0 << pi << 2;
    QTest::newRow("half, sweep 0") << QStringLiteral("M0 0A5 5 0 1 0 10 0") << o << QPointF(10, 0)
                                   << QPointF(5, 0) << 5.0 << -pi << 2;
    QTest::newRow("radius too small, sweep 1") << QStringLiteral("M0 0A1 1 0 0 1 10 0") << o
                                               << QPointF(10, 0) << QPointF(5, 0) << 5.0 << pi << 2;
    QTest::newRow("radius too small, large arc, sweep 0")
        << QStringLiteral("M0 0A1 1 0 1 0 10 0") << o << QPointF(10, 0) << QPointF(5, 0) << 5.0
        << -pi << 2;
}

void TestSVGPathParser::circularArcs() {
    QFETCH(QString, d);
    QFETCH(QPointF, start);
    QFETCH(QPointF, end);
    QFETCH(QPointF, centre);
    QFETCH(double, radius);
    QFETCH(double, sweep);
    QFETCH(int, segments);

    const QPainterPath path = SVGPathParser::path(d);
    const std::vector<Cubic> cubics = cubicsAfterMove(path);
    QVERIFY2(int(cubics.size()) == segments, qPrintable(describe(path)));
    QVERIFY(distance(cubics.front().p0, start) < 1e-12);
    QVERIFY2(distance(cubics.back().p3, end) < 1e-9, qPrintable(describe(path)));

    double swept = 0;
    for (const Cubic& c : cubics) {
        // The end points lie on the circle; the curve's midpoint does too when the control
        // distance is right; elsewhere the cubic strays by at most 0.03 % of the radius.
        QVERIFY(std::abs(distance(c.p3, centre) - radius) < 1e-9);
        QVERIFY(std::abs(distance(c.at(0.5), centre) - radius) < 1e-9);
        QVERIFY(std::abs(distance(c.at(0.25), centre) - radius) < 3e-4 * radius);
        QVERIFY(std::abs(distance(c.at(0.75), centre) - radius) < 3e-4 * radius);
        const double span = turn(angleOf(c.p0, centre), angleOf(c.p3, centre));
        QVERIFY(std::abs(span - sweep / segments) < 1e-9);
        // The midpoint lies halfway round, so the curve bulges the right way.
        QVERIFY(std::abs(turn(angleOf(c.p0, centre), angleOf(c.at(0.5), centre)) - span / 2) <
                1e-9);
        swept += span;
    }
    QVERIFY(std::abs(swept - sweep) < 1e-9);
}

void TestSVGPathParser::ellipticalArcs_data() {
    QTest::addColumn<double>("rotation"); // degrees
    QTest::addColumn<double>("span");     // parametric angle swept
    QTest::addColumn<int>("segments");

    for (const double rotation : {0.0, 30.0, 90.0, -45.0, 200.0}) {
        for (const auto& [span, segments] : std::initializer_list<std::pair<double, int>>{
                 {pi / 2, 1}, {pi, 2}, {3 * pi / 2, 3}, {-pi / 2, 1}, {-3 * pi / 2, 3}}) {
            QTest::addRow("rotation %g, span %g", rotation, span * 180 / pi)
                << rotation << span << segments;
        }
    }
}

void TestSVGPathParser::ellipticalArcs() {
    QFETCH(double, rotation);
    QFETCH(double, span);
    QFETCH(int, segments);

    // An ellipse with radii 10 and 4 about (12, 12), turned by `rotation`, from the parametric
    // angle 60° on by `span`.
    const QPointF centre(12, 12);
    const double rx = 10, ry = 4;
    const double phi = rotation * pi / 180;
    const auto on = [&](double t) {
        return centre + rotated(QPointF(rx * std::cos(t), ry * std::sin(t)), phi);
    };
    const auto level = [&](QPointF p) { // 1 on the ellipse
        const QPointF u = rotated(p - centre, -phi);
        return std::pow(u.x() / rx, 2) + std::pow(u.y() / ry, 2);
    };
    const double t0 = pi / 3;
    const QPointF start = on(t0);
    const QPointF end = on(t0 + span);
    const QString d =
        QStringLiteral("M%1 %2A%3 %4 %5 %6 %7 %8 %9")
            .arg(num(start.x()), num(start.y()), num(rx), num(ry), num(rotation),
                 std::abs(span) > pi ? QStringLiteral("1") : QStringLiteral("0"),
                 span > 0 ? QStringLiteral("1") : QStringLiteral("0"), num(end.x()), num(end.y()));

    const QPainterPath path = SVGPathParser::path(d);
    const std::vector<Cubic> cubics = cubicsAfterMove(path);
    QVERIFY2(int(cubics.size()) == segments, qPrintable(d + u' ' + describe(path)));
    QVERIFY(distance(cubics.back().p3, end) < 1e-9);
    for (int i = 0; i < segments; ++i) {
        const Cubic& c = cubics[i];
        // Equal parametric steps, each mapped onto the ellipse at its ends and middle. Where the
        // chord is a diameter, the centre comes from the square root of rounding noise (about
        // 1e-16), which moves the inner points by up to about 1e-7.
        QVERIFY2(distance(c.p3, on(t0 + span * (i + 1) / segments)) < 1e-6, qPrintable(d));
        QVERIFY(std::abs(level(c.at(0.5)) - 1) < 1e-6);
        QVERIFY(std::abs(level(c.at(0.25)) - 1) < 1e-3);
        QVERIFY(std::abs(level(c.at(0.75)) - 1) < 1e-3);
    }
}

void TestSVGPathParser::tooSmallRadiiGrowTogether_data() {
    QTest::addColumn<QPointF>("start");
    QTest::addColumn<QPointF>("end");
    QTest::addColumn<double>("rx");
    QTest::addColumn<double>("ry");
    QTest::addColumn<double>("rotation");

    QTest::newRow("level") << QPointF(0, 0) << QPointF(10, 0) << 2.0 << 1.0 << 0.0;
    QTest::newRow("turned 30") << QPointF(0, 0) << QPointF(10, 7) << 3.0 << 1.0 << 30.0;
    QTest::newRow("turned 45") << QPointF(1, 2) << QPointF(9, 5) << 3.0 << 2.0 << 45.0;
    QTest::newRow("turned 60") << QPointF(0, 0) << QPointF(10, 7) << 3.0 << 1.0 << 60.0;
}

void TestSVGPathParser::tooSmallRadiiGrowTogether() {
    QFETCH(QPointF, start);
    QFETCH(QPointF, end);
    QFETCH(double, rx);
    QFETCH(double, ry);
    QFETCH(double, rotation);

    // Radii too small to span the chord grow by one factor until they just do: half an ellipse
    // about the chord's midpoint, with the radii in their original ratio.
    const QString d = QStringLiteral("M%1 %2A%3 %4 %5 0 1 %6 %7")
                          .arg(num(start.x()), num(start.y()), num(rx), num(ry), num(rotation),
                               num(end.x()), num(end.y()));
    const QPainterPath path = SVGPathParser::path(d);
    const std::vector<Cubic> cubics = cubicsAfterMove(path);
    QVERIFY2(cubics.size() == 2, qPrintable(describe(path)));
    QVERIFY(distance(cubics[1].p3, end) < 1e-9);

    // Half an ellipse has parallel tangents at its two ends.
    const QPointF t0 = cubics[0].c1 - start;
    const QPointF t1 = end - cubics[1].c2;
    const double cross = t0.x() * t1.y() - t0.y() * t1.x();
    QVERIFY(std::abs(cross) < 1e-12 * std::hypot(t0.x(), t0.y()) * std::hypot(t1.x(), t1.y()));

    // The start and the join both lie on one ellipse of ratio rx : ry about the midpoint.
    const QPointF middle = (start + end) / 2;
    const double phi = rotation * pi / 180;
    const auto grownRx = [&](QPointF p) {
        const QPointF u = rotated(p - middle, -phi);
        return std::hypot(u.x(), u.y() * rx / ry);
    };
    const double a = grownRx(start);
    QVERIFY(a > rx);
    QVERIFY(std::abs(grownRx(cubics[0].p3) - a) < 1e-9 * a);
    QVERIFY(std::abs(grownRx(cubics[0].at(0.5)) - a) < 1e-9 * a);
}

void TestSVGPathParser::fitted_data() {
    QTest::addColumn<QString>("d");
    QTest::addColumn<QRectF>("rect");
    QTest::addColumn<Els>("expected");

    const QRectF wide(10, 20, 48, 30);
    QTest::newRow("grid point scaled from the top-left")
        << QStringLiteral("M24 24") << wide << Els(Expect().M(40, 50));
    QTest::newRow("grid origin at the corner, not centred")
        << QStringLiteral("M0 0") << wide << Els(Expect().M(10, 20));
    QTest::newRow("tall rectangle scales by its width")
        << QStringLiteral("M24 24") << QRectF(10, 20, 30, 48) << Els(Expect().M(40, 50));
    QTest::newRow("square rectangle") << QStringLiteral("M12 12L24 0") << QRectF(100, 100, 48, 48)
                                      << Els(Expect().M(124, 124).L(148, 100));
    QTest::newRow("control points are scaled too")
        << QStringLiteral("M0 0C24 0 24 24 0 24") << QRectF(0, 0, 12, 12)
        << Els(Expect().M(0, 0).C(12, 0, 12, 12, 0, 12));
    QTest::newRow("quadratic") << QStringLiteral("M0 0Q12 24 24 0") << QRectF(0, 0, 48, 48)
                               << Els(Expect().M(0, 0).Q(24, 48, 48, 0));
    QTest::newRow("rectangle with negative size")
        << QStringLiteral("M24 24") << QRectF(58, 50, -48, -30) << Els(Expect().M(40, 50));
    const double inf = std::numeric_limits<double>::infinity();
    QTest::newRow("infinite rectangle keeps grid coordinates")
        << QStringLiteral("M1 2L3 4") << QRectF(0, 0, inf, inf) << Els(Expect().M(1, 2).L(3, 4));
    QTest::newRow("empty data") << QString() << wide << Els{};
}

void TestSVGPathParser::fitted() {
    QFETCH(QString, d);
    QFETCH(QRectF, rect);
    QFETCH(Els, expected);
    const QString diff = mismatch(SVGPathParser::fitted(d, rect), expected);
    QVERIFY2(diff.isEmpty(), qPrintable(diff));
}

QTEST_GUILESS_MAIN(TestSVGPathParser)
#include "tst_SVGPathParser.moc"
