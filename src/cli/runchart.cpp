#include "cli/runchart.h"

#include "core/logtextfile.h"

#include <QBuffer>
#include <QFileInfo>
#include <QFontMetricsF>
#include <QImage>
#include <QPaintDevice>
#include <QPainter>
#include <QPainterPath>
#include <QRegularExpression>
#include <QSvgGenerator>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>

// A device's line, and the range of each pixel column drawn lighter under it.
struct DeviceColours
{
    QColor line, range;
};

namespace {

// The first device's colours are those of a chart of one; the others keep clear of the mean's green
// and the marks' red and orange.
const DeviceColours kDeviceColours[] = {
    {QColor(31, 95, 191), QColor(125, 162, 226)},  {QColor(148, 52, 174), QColor(205, 160, 220)},
    {QColor(0, 150, 160), QColor(140, 210, 215)},  {QColor(140, 86, 75), QColor(205, 175, 168)},
    {QColor(200, 60, 150), QColor(235, 170, 210)}, {QColor(90, 90, 90), QColor(185, 185, 185)}};
const QColor kMeanColour(27, 122, 62);
const QColor kBandColour(46, 160, 67, 45);
const QColor kFailedColour(214, 39, 40);
const QColor kTimeoutColour(230, 130, 0);
const QColor kAwayColour(120, 120, 120, 60);
const QColor kGridColour(225, 225, 225);
const QColor kReferenceColour(120, 40, 160);
const QColor kToleranceColour(120, 40, 160, 28);
const QColor kTextColour(40, 40, 40);

struct TimeScale
{
    double msPerUnit;
    const char *name;
};

// Seconds for up to two minutes, minutes up to two hours, hours beyond.
TimeScale timeScale(qint64 spanMs)
{
    if (spanMs <= 120000)
        return {1000.0, "s"};
    if (spanMs <= 7200000)
        return {60000.0, "min"};
    return {3600000.0, "h"};
}

} // namespace

double niceStep(double span, int count)
{
    const double rough = span / count;
    const double magnitude = std::pow(10.0, std::floor(std::log10(rough)));
    const double norm = rough / magnitude;
    const double factor = norm < 1.5 ? 1 : norm < 3.5 ? 2 : norm < 7.5 ? 5 : 10;
    return factor * magnitude;
}

QVector<double> ticks(double low, double high, double step)
{
    QVector<double> values;
    for (double v = std::ceil(low / step - 1e-9) * step; v <= high + step * 1e-9; v += step)
        values.append(std::abs(v) < step * 1e-9 ? 0.0 : v);
    return values;
}

QString tickText(double value, double step)
{
    const int decimals = std::max(0, int(-std::floor(std::log10(step) + 1e-9)));
    return QString::number(value, 'f', decimals);
}

QFont font(const QPaintDevice *device, double pixels, bool bold)
{
    // DejaVu is on every machine this runs on; the hint picks a sans-serif font elsewhere.
    QFont f(QStringLiteral("DejaVu Sans"));
    f.setStyleHint(QFont::SansSerif);
    f.setPointSizeF(pixels * 72.0 / device->logicalDpiY());
    f.setBold(bold);
    return f;
}

namespace {

// The font made smaller, if need be, so that text this wide fits into room.
QFont fitted(QFont font, double width, double room)
{
    if (width > room)
        font.setPointSizeF(font.pointSizeF() * room / width);
    return font;
}

const DeviceColours &deviceColours(int device)
{
    return kDeviceColours[device % int(std::size(kDeviceColours))];
}

// Text does not narrow quite in proportion to its size, so each smaller font is measured again.
QFont fitted(QFont font, const QStringList &lines, double room, const QPaintDevice *device)
{
    for (int i = 0; i < 4; ++i) {
        const QFontMetricsF metrics(font, device);
        double widest = 0;
        for (const QString &line : lines)
            widest = std::max(widest, metrics.horizontalAdvance(line));
        font = fitted(font, widest, room);
    }
    return font;
}

void drawMark(QPainter &painter, bool failed, double x, double y, double r)
{
    if (failed) {
        painter.setPen(QPen(kFailedColour, 2.0));
        painter.drawLine(QPointF(x - r, y - r), QPointF(x + r, y + r));
        painter.drawLine(QPointF(x - r, y + r), QPointF(x + r, y - r));
    } else {
        painter.setPen(Qt::NoPen);
        painter.setBrush(kTimeoutColour);
        const QPointF triangle[] = {QPointF(x, y - r), QPointF(x - r, y + r),
                                    QPointF(x + r, y + r)};
        painter.drawPolygon(triangle, 3);
        painter.setBrush(Qt::NoBrush);
    }
}

struct LegendEntry
{
    enum Kind { Distance, Mean, Band, Reference, Failed, Timeout, Away };
    QString label;
    Kind kind;
    DeviceColours colours;
};

// One device: its distances, the mean and its band. Several: each device by its name, and
// their means.
QVector<LegendEntry> legendEntries(const QStringList &deviceNames, LengthUnit unit, bool dense,
                                   bool reference, bool away)
{
    using E = LegendEntry;
    const QString distance = QStringLiteral("distance (%1)").arg(unitName(unit));
    const QString perColumn = QStringLiteral(": mean and range of each pixel column");
    QVector<E> entries;
    if (deviceNames.size() == 1) {
        entries = {{dense ? distance + perColumn : distance, E::Distance, deviceColours(0)},
                   {QStringLiteral("mean"), E::Mean, {kMeanColour, kMeanColour}},
                   {QStringLiteral("mean \u00b1 1 sd"), E::Band, {kBandColour, kBandColour}}};
    } else {
        for (int i = 0; i < deviceNames.size(); ++i)
            entries.append({deviceNames.at(i), E::Distance, deviceColours(i)});
        entries.append({QStringLiteral("mean"), E::Mean, {kTextColour, kTextColour}});
    }
    if (reference)
        entries.append({QStringLiteral("reference \u00b1 tolerance"),
                        E::Reference,
                        {kReferenceColour, kToleranceColour}});
    entries.append({QStringLiteral("failed"), E::Failed, {}});
    entries.append({QStringLiteral("timeout"), E::Timeout, {}});
    if (away)
        entries.append({QStringLiteral("disconnected"), E::Away, {kAwayColour, kAwayColour}});
    return entries;
}

} // namespace

struct RunChart::Layout
{
    double textPixels = 0;
    QFont text, title;
    QRectF plot;
    double titleTop = 0, legendY = 0;
    qint64 firstMs = 0, spanMs = 0;
    TimeScale scale{1000.0, "s"};
    double xStep = 1, low = 0, high = 1, yStep = 1;
    double markRadius = 3, below = 9;

    // A little room at both ends, so that the first and last points are not on the frame.
    double x(double ms) const
    {
        const double pad = plot.width() * 0.01;
        return plot.left() + pad + double(ms - firstMs) / spanMs * (plot.width() - 2 * pad);
    }
    double y(double value) const
    {
        return plot.bottom() - (value - low) / (high - low) * plot.height();
    }
};

RunChart::RunChart(LengthUnit unit, const QStringList &deviceNames) : m_unit(unit)
{
    for (const QString &name : deviceNames)
        m_series.append({name, {}, 0});
    if (m_series.isEmpty())
        m_series.append({QString(), {}, 0});
}

void RunChart::setReference(double reference, double tolerance)
{
    m_reference = reference;
    m_tolerance = tolerance;
}

void RunChart::add(const Measurement &measurement, int device)
{
    Series &series = m_series[device];
    float value = 0;
    if (measurement.status == Measurement::Status::Ok) {
        value = float(distanceIn(measurement, m_unit));
        const bool first = validCount() == 0;
        m_minValue = first ? value : std::min(m_minValue, value);
        m_maxValue = first ? value : std::max(m_maxValue, value);
        ++series.valid;
    } else if (measurement.status == Measurement::Status::Disconnected) {
        value = float(std::max<qint64>(measurement.latencyMs, 0));
        m_away = true;
    }
    series.samples.append({measurement.time.toMSecsSinceEpoch(), value, measurement.status});
}

int RunChart::validCount() const
{
    int valid = 0;
    for (const Series &series : m_series)
        valid += series.valid;
    return valid;
}

std::optional<RunChart::FileType> RunChart::fileTypeNamed(const QString &name)
{
    if (name == QLatin1String("png"))
        return FileType::Png;
    if (name == QLatin1String("svg"))
        return FileType::Svg;
    return std::nullopt;
}

std::optional<RunChart::FileType> RunChart::fileTypeOf(const QString &path)
{
    return fileTypeNamed(QFileInfo(path).suffix().toLower());
}

QStringList RunChart::titleLines(const QVector<RunStatistics> &statistics) const
{
    if (m_series.size() == 1)
        return {countsLine(statistics.value(0)), distanceLine(statistics.value(0))};
    QStringList lines;
    for (int i = 0; i < m_series.size(); ++i)
        lines << m_series.at(i).name + QStringLiteral(": ") + countsLine(statistics.value(i));
    return lines;
}

RunChart::Layout RunChart::layout(QPainter &painter, const QSize &size) const
{
    Layout l;
    QPaintDevice *device = painter.device();
    l.textPixels = std::clamp(std::min(size.width() / 75.0, size.height() / 38.0), 9.0, 40.0);
    l.text = font(device, l.textPixels);
    l.title = font(device, l.textPixels * 1.1, true);
    const QFontMetricsF text(l.text, device);
    const QFontMetricsF title(l.title, device);

    qint64 lastMs = 0;
    int samples = 0;
    for (const Series &series : m_series) {
        for (const Sample &s : series.samples) {
            l.firstMs = samples == 0 ? s.ms : std::min(l.firstMs, s.ms);
            lastMs = samples++ == 0 ? s.endMs() : std::max(lastMs, s.endMs());
        }
    }
    l.spanMs = lastMs - l.firstMs;
    // A run of one instant is given a second, or its ticks would be fractions of a millisecond.
    if (l.spanMs <= 0)
        l.spanMs = 1000;
    l.scale = timeScale(l.spanMs);

    // The tolerance band is shown whole, however far inside or outside it the readings lie.
    const bool onlyReference = validCount() == 0 && m_reference;
    double lowest = onlyReference ? *m_reference : m_minValue;
    double highest = onlyReference ? *m_reference : m_maxValue;
    if (m_reference) {
        lowest = std::min(lowest, *m_reference - m_tolerance);
        highest = std::max(highest, *m_reference + m_tolerance);
    }
    if (validCount() > 0 || m_reference) {
        double span = highest - lowest;
        if (span < 1e-9)
            span = std::max(std::abs(highest) * 0.01, 0.1);
        l.low = lowest - span * 0.08;
        l.high = highest + span * 0.08;
        if (highest == lowest) {
            l.low = lowest - span / 2;
            l.high = highest + span / 2;
        }
    }

    const double gap = l.textPixels * 0.5;
    const int titleLines = m_series.size() == 1 ? 2 : m_series.size();
    l.titleTop = gap;
    l.legendY = l.titleTop + titleLines * title.lineSpacing() + gap + text.height() / 2;
    const double top = l.legendY + text.height() / 2 + gap * 1.5;
    l.markRadius = std::max(3.0, l.textPixels * 0.3);
    l.below = 3 * l.markRadius; // timeouts are marked under the axis, failures on it
    const double bottom =
        size.height() - (l.below + gap + text.height() + gap + text.height() + gap);
    // Tick labels a few line heights apart upwards, a few label widths apart across.
    l.yStep = niceStep(l.high - l.low, std::max(2, int((bottom - top) / (text.height() * 2.5))));
    double labelWidth = 0;
    for (double v : ticks(l.low, l.high, l.yStep))
        labelWidth = std::max(labelWidth, text.horizontalAdvance(tickText(v, l.yStep)));
    const double left = gap + text.height() + gap + labelWidth + gap;
    const double right = size.width() - gap * 3;
    l.plot = QRectF(QPointF(left, top), QPointF(right, bottom));
    l.xStep = niceStep(l.spanMs / l.scale.msPerUnit,
                       std::max(2, int(l.plot.width() / (l.textPixels * 6))));
    return l;
}

QPointF RunChart::position(QPainter &painter, const QSize &size, qint64 msSinceFirst,
                           double value) const
{
    const Layout l = layout(painter, size);
    return {l.x(l.firstMs + msSinceFirst), l.y(value)};
}

void RunChart::paint(QPainter &painter, const QSize &size,
                     const QVector<RunStatistics> &statistics) const
{
    const Layout l = layout(painter, size);
    const QFontMetricsF title(l.title, painter.device());
    const double gap = l.textPixels * 0.5;

    painter.setRenderHint(QPainter::Antialiasing);
    painter.fillRect(QRectF(0, 0, size.width(), size.height()), Qt::white);

    // Title: the summary's own lines.
    painter.setPen(kTextColour);
    const QStringList lines = titleLines(statistics);
    painter.setFont(fitted(l.title, lines, size.width() - 2 * gap, painter.device()));
    for (int i = 0; i < lines.size(); ++i)
        painter.drawText(
            QRectF(0, l.titleTop + i * title.lineSpacing(), size.width(), title.lineSpacing()),
            Qt::AlignCenter, lines.at(i));

    const bool dense = validCount() > std::max(1, int(l.plot.width())) / 4;
    paintLegend(painter, size, l, dense);
    painter.setFont(l.text);
    paintAxes(painter, l);

    painter.save();
    painter.setClipRect(l.plot);
    const bool one = m_series.size() == 1;
    if (one)
        paintMean(painter, l, statistics.value(0), kMeanColour, true);
    paintReference(painter, l);
    paintAway(painter, l);
    for (int i = 0; i < m_series.size(); ++i)
        paintSeries(painter, l, m_series.at(i), dense, deviceColours(i));
    if (validCount() == 0) {
        painter.setPen(kTextColour);
        painter.drawText(l.plot, Qt::AlignCenter, QStringLiteral("no valid measurement"));
    }
    // The means go over the distances.
    for (int i = 0; i < m_series.size(); ++i)
        paintMean(painter, l, statistics.value(i), one ? kMeanColour : deviceColours(i).line,
                  false);
    painter.restore();

    paintMarks(painter, l);
    painter.setPen(QPen(kTextColour, 1.0));
    painter.drawRect(l.plot);
}

void RunChart::paintLegend(QPainter &painter, const QSize &size, const Layout &l, bool dense) const
{
    QStringList names;
    for (const Series &series : m_series)
        names << series.name;
    const QVector<LegendEntry> entries =
        legendEntries(names, m_unit, dense, bool(m_reference), m_away);
    const double gap = l.textPixels * 0.5;
    const QFontMetricsF text(l.text, painter.device());
    double legendWidth = 0;
    for (const LegendEntry &e : entries)
        legendWidth += l.textPixels * 1.6 + gap + text.horizontalAdvance(e.label) + 3 * gap;
    const QFont legendFont = fitted(l.text, legendWidth, size.width() - 2 * gap);
    const double shrink = legendFont.pointSizeF() / l.text.pointSizeF();
    const QFontMetricsF legend(legendFont, painter.device());
    painter.setFont(legendFont);
    const double swatch = l.textPixels * 1.6 * shrink, space = gap * shrink;
    double x = (size.width() - legendWidth * shrink) / 2;
    const double ly = l.legendY;
    for (const LegendEntry &e : entries) {
        const QRectF box(x, ly - swatch * 0.28, swatch, swatch * 0.56);
        if (e.kind == LegendEntry::Distance && dense)
            painter.fillRect(box, e.colours.range);
        if (e.kind == LegendEntry::Distance || e.kind == LegendEntry::Mean) {
            painter.setPen(QPen(e.colours.line, 2.0,
                                e.kind == LegendEntry::Mean ? Qt::DashLine : Qt::SolidLine));
            painter.drawLine(QPointF(box.left(), ly), QPointF(box.right(), ly));
        } else if (e.kind == LegendEntry::Band || e.kind == LegendEntry::Away) {
            painter.fillRect(box, e.colours.line);
        } else if (e.kind == LegendEntry::Reference) {
            painter.fillRect(box, e.colours.range);
            painter.setPen(QPen(e.colours.line, 2.0));
            painter.drawLine(QPointF(box.left(), ly), QPointF(box.right(), ly));
        } else {
            drawMark(painter, e.kind == LegendEntry::Failed, box.center().x(), ly, swatch * 0.22);
        }
        x += swatch + space;
        painter.setPen(kTextColour);
        painter.drawText(QPointF(x, ly + legend.ascent() / 2 - legend.descent() / 2), e.label);
        x += legend.horizontalAdvance(e.label) + 3 * space;
    }
}

void RunChart::paintAxes(QPainter &painter, const Layout &l) const
{
    const QFontMetricsF text(l.text, painter.device());
    const double gap = l.textPixels * 0.5;
    painter.setPen(QPen(kGridColour, 1.0));
    const QVector<double> xTicks = ticks(0, l.spanMs / l.scale.msPerUnit, l.xStep);
    const QVector<double> yTicks = ticks(l.low, l.high, l.yStep);
    for (double t : xTicks) {
        const double px = l.x(l.firstMs + t * l.scale.msPerUnit);
        painter.drawLine(QPointF(px, l.plot.top()), QPointF(px, l.plot.bottom()));
    }
    for (double v : yTicks)
        painter.drawLine(QPointF(l.plot.left(), l.y(v)), QPointF(l.plot.right(), l.y(v)));
    painter.setPen(kTextColour);
    for (double t : xTicks) {
        const double px = l.x(l.firstMs + t * l.scale.msPerUnit);
        const QString label = tickText(t, l.xStep);
        painter.drawText(QRectF(px - 100, l.plot.bottom() + l.below + gap, 200, text.height()),
                         Qt::AlignHCenter | Qt::AlignTop, label);
    }
    for (double v : yTicks)
        painter.drawText(QRectF(0, l.y(v) - text.height() / 2, l.plot.left() - gap, text.height()),
                         Qt::AlignRight | Qt::AlignVCenter, tickText(v, l.yStep));
    painter.drawText(
        QRectF(l.plot.left(), l.plot.bottom() + l.below + 2 * gap + text.height(), l.plot.width(),
               text.height()),
        Qt::AlignHCenter | Qt::AlignTop,
        QStringLiteral("time since the first record (%1)").arg(QLatin1String(l.scale.name)));
    painter.save();
    painter.translate(gap, l.plot.center().y());
    painter.rotate(-90);
    painter.drawText(QRectF(-l.plot.height() / 2, 0, l.plot.height(), text.height()),
                     Qt::AlignCenter, QStringLiteral("distance (%1)").arg(unitName(m_unit)));
    painter.restore();
}

// The mean from the summary's figures, as a dashed line or as its band of one sd.
void RunChart::paintMean(QPainter &painter, const Layout &l, const RunStatistics &statistics,
                         const QColor &colour, bool band) const
{
    const std::optional<DistanceFigures> figures = distanceFigures(statistics);
    if (!figures)
        return;
    const double mean = figures->mean * unitFactor(m_unit);
    if (band) {
        const double sd = figures->sd * unitFactor(m_unit);
        painter.fillRect(
            QRectF(QPointF(l.plot.left(), l.y(mean + sd)), QPointF(l.plot.right(), l.y(mean - sd))),
            kBandColour);
        return;
    }
    const QFontMetricsF text(l.text, painter.device());
    const double gap = l.textPixels * 0.5;
    painter.setPen(QPen(colour, 1.5, Qt::DashLine));
    painter.drawLine(QPointF(l.plot.left(), l.y(mean)), QPointF(l.plot.right(), l.y(mean)));
    const QString label =
        QStringLiteral("mean %1 %2").arg(QString::number(mean, 'g', 6), unitName(m_unit));
    const double width = text.horizontalAdvance(label) + gap;
    const QRectF box(l.plot.right() - gap - width, l.y(mean) - text.height() - 2, width,
                     text.height());
    painter.fillRect(box, QColor(255, 255, 255, 200));
    painter.setPen(colour);
    painter.drawText(box, Qt::AlignCenter, label);
}

// Every point when there are few, else each pixel column's lowest and highest, and a line
// through the columns' means.
void RunChart::paintSeries(QPainter &painter, const Layout &l, const Series &series, bool dense,
                           const DeviceColours &colours) const
{
    if (series.valid == 0)
        return;
    QPainterPath path;
    if (!dense) {
        bool started = false;
        QVector<QPointF> points;
        for (const Sample &s : series.samples) {
            // The line breaks where a measurement gave no distance.
            if (s.status != Measurement::Status::Ok) {
                started = false;
                continue;
            }
            const QPointF p(l.x(s.ms), l.y(s.value));
            started ? path.lineTo(p) : path.moveTo(p);
            started = true;
            points.append(p);
        }
        painter.setPen(QPen(colours.line, 1.2));
        painter.drawPath(path);
        painter.setPen(Qt::NoPen);
        painter.setBrush(colours.line);
        const double r = std::max(2.0, l.textPixels * 0.2);
        for (const QPointF &p : points)
            painter.drawEllipse(p, r, r);
        painter.setBrush(Qt::NoBrush);
        return;
    }
    struct Column
    {
        float low = 0, high = 0;
        double sum = 0;
        int count = 0;
    };
    const int columns = std::max(1, int(l.plot.width()));
    QVector<Column> column(columns);
    for (const Sample &s : series.samples) {
        if (s.status != Measurement::Status::Ok)
            continue;
        Column &col = column[std::clamp(int(l.x(s.ms) - l.plot.left()), 0, columns - 1)];
        col.low = col.count == 0 ? s.value : std::min(col.low, s.value);
        col.high = col.count == 0 ? s.value : std::max(col.high, s.value);
        col.sum += s.value;
        ++col.count;
    }
    QPainterPath range;
    bool started = false;
    for (int c = 0; c < columns; ++c) {
        const Column &col = column.at(c);
        if (col.count == 0)
            continue;
        const double px = l.plot.left() + c + 0.5;
        range.moveTo(px, l.y(col.low));
        range.lineTo(px, l.y(col.high));
        const double y = l.y(col.sum / col.count);
        started ? path.lineTo(px, y) : path.moveTo(px, y);
        started = true;
    }
    painter.setPen(QPen(colours.range, 1.2, Qt::SolidLine, Qt::RoundCap));
    painter.drawPath(range);
    painter.setPen(QPen(colours.line, 1.2));
    painter.drawPath(path);
}

// Each time a device was away, a band over the whole height, at least two pixels wide.
void RunChart::paintAway(QPainter &painter, const Layout &l) const
{
    for (const Series &series : m_series) {
        for (const Sample &s : series.samples) {
            if (s.status != Measurement::Status::Disconnected)
                continue;
            const double left = l.x(s.ms);
            const double width = std::max(2.0, l.x(s.endMs()) - left);
            painter.fillRect(QRectF(left, l.plot.top(), width, l.plot.height()), kAwayColour);
        }
    }
}

// Failures and timeouts on the time axis, at most one of each kind per pixel column.
void RunChart::paintMarks(QPainter &painter, const Layout &l) const
{
    const int columns = std::max(1, int(l.plot.width()));
    QVector<quint8> marked(columns + 1, 0);
    for (const Series &series : m_series) {
        for (const Sample &s : series.samples) {
            if (s.status == Measurement::Status::Ok ||
                s.status == Measurement::Status::Disconnected)
                continue;
            const int c = std::clamp(int(l.x(s.ms) - l.plot.left()), 0, columns);
            // As in the summary, a rejected reply is a failure.
            const bool failed = s.status != Measurement::Status::Timeout;
            const quint8 bit = failed ? 1 : 2;
            if (marked[c] & bit)
                continue;
            marked[c] |= bit;
            drawMark(painter, failed, l.x(s.ms), l.plot.bottom() + (failed ? 0 : 2 * l.markRadius),
                     l.markRadius);
        }
    }
}

void RunChart::paintReference(QPainter &painter, const Layout &l) const
{
    if (!m_reference)
        return;
    const double reference = *m_reference;
    painter.fillRect(QRectF(QPointF(l.plot.left(), l.y(reference + m_tolerance)),
                            QPointF(l.plot.right(), l.y(reference - m_tolerance))),
                     kToleranceColour);
    painter.setPen(QPen(kReferenceColour, 1.5));
    painter.drawLine(QPointF(l.plot.left(), l.y(reference)),
                     QPointF(l.plot.right(), l.y(reference)));
}

bool RunChart::save(const QString &path, FileType type, const QSize &size,
                    const QVector<RunStatistics> &statistics, QString *errorString) const
{
    const QString title = m_series.size() == 1 ? countsLine(statistics.value(0))
                                               : titleLines(statistics).join(QStringLiteral("; "));
    return saveDrawing(
        path, type, size, title, [&](QPainter &painter) { paint(painter, size, statistics); },
        errorString);
}

bool RunChart::saveDrawing(const QString &path, FileType type, const QSize &size,
                           const QString &title, const std::function<void(QPainter &)> &paint,
                           QString *errorString)
{
    QByteArray bytes;
    if (type == FileType::Png) {
        QImage image(size, QImage::Format_ARGB32_Premultiplied);
        QPainter painter(&image);
        paint(painter);
        painter.end();
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        if (!image.save(&buffer, "PNG")) {
            if (errorString)
                *errorString = QStringLiteral("the image cannot be encoded");
            return false;
        }
    } else {
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        QSvgGenerator svg;
        svg.setOutputDevice(&buffer);
        svg.setSize(size);
        svg.setViewBox(QRect(QPoint(0, 0), size));
        svg.setResolution(96);
        svg.setTitle(title);
        QPainter painter(&svg);
        paint(painter);
        painter.end();
        // The generator gives the size in millimetres, which viewers turn into pixels at
        // different resolutions; in pixels it is the size asked for everywhere.
        static const QRegularExpression millimetres(QStringLiteral("width=\"[0-9.]+mm\" "
                                                                   "height=\"[0-9.]+mm\""));
        const QRegularExpressionMatch match =
            millimetres.match(QString::fromLatin1(bytes.left(4096)));
        if (match.hasMatch())
            bytes.replace(match.capturedStart(), match.capturedLength(),
                          QStringLiteral("width=\"%1\" height=\"%2\"")
                              .arg(size.width())
                              .arg(size.height())
                              .toLatin1());
    }
    return saveBytes(path, bytes, errorString);
}
