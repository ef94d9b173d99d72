#include "cli/runchart.h"

#include "core/logtextfile.h"

#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>

namespace rangefinder {

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

const DeviceColours &deviceColours(int device)
{
    return kDeviceColours[device % int(std::size(kDeviceColours))];
}

// One device: its distances, the mean and its band. Several: each device by its name, and
// their means.
QVector<LegendEntry> legendEntries(const QStringList &deviceNames, LengthUnit unit, bool dense,
                                   bool reference, bool away)
{
    using S = LegendEntry::Swatch;
    const QString distance = QStringLiteral("distance (%1)").arg(unitName(unit));
    const QString perColumn = QStringLiteral(": mean and range of each pixel column");
    const DeviceColours first = deviceColours(0);
    QVector<LegendEntry> entries;
    if (deviceNames.size() == 1) {
        entries = {dense ? LegendEntry{distance + perColumn, S::LineOnFill, first.line, first.range}
                         : LegendEntry{distance, S::Line, first.line, {}},
                   {QStringLiteral("mean"), S::DashedLine, kMeanColour, {}},
                   {QStringLiteral("mean \u00b1 1 sd"), S::Fill, kBandColour, {}}};
    } else {
        for (int i = 0; i < deviceNames.size(); ++i) {
            const DeviceColours colours = deviceColours(i);
            entries.append(
                dense ? LegendEntry{deviceNames.at(i), S::LineOnFill, colours.line, colours.range}
                      : LegendEntry{deviceNames.at(i), S::Line, colours.line, {}});
        }
        entries.append({QStringLiteral("mean"), S::DashedLine, kTextColour, {}});
    }
    if (reference)
        entries.append({QStringLiteral("reference \u00b1 tolerance"), S::LineOnFill,
                        kReferenceColour, kToleranceColour});
    entries.append({QStringLiteral("failed"), S::Cross, kFailedColour, {}});
    entries.append({QStringLiteral("timeout"), S::Triangle, kTimeoutColour, {}});
    if (away)
        entries.append({QStringLiteral("disconnected"), S::Fill, kAwayColour, {}});
    return entries;
}

} // namespace

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
    return chartFileTypeNamed(name);
}

std::optional<RunChart::FileType> RunChart::fileTypeOf(const QString &path)
{
    return chartFileTypeOf(path);
}

QStringList RunChart::titleLines(const QVector<RunStatistics> &statistics,
                                 const QStringList &verdicts) const
{
    if (m_series.size() == 1)
        return QStringList{countsLine(statistics.value(0)), distanceLine(statistics.value(0))} +
               verdicts;
    QStringList lines;
    for (int i = 0; i < m_series.size(); ++i)
        lines << m_series.at(i).name + QStringLiteral(": ") + countsLine(statistics.value(i));
    return lines + verdicts;
}

ChartFrame RunChart::frame(QPainter &painter, const QSize &size, const QStringList &title) const
{
    qint64 firstMs = 0, lastMs = 0;
    int samples = 0;
    for (const Series &series : m_series) {
        for (const Sample &s : series.samples) {
            firstMs = samples == 0 ? s.ms : std::min(firstMs, s.ms);
            lastMs = samples++ == 0 ? s.endMs() : std::max(lastMs, s.endMs());
        }
    }
    // A run of one instant is given a second, or its ticks would be fractions of a millisecond.
    const qint64 spanMs = lastMs > firstMs ? lastMs - firstMs : 1000;
    const TimeScale scale = timeScale(spanMs);

    // The tolerance band is shown whole, however far inside or outside it the readings lie.
    const bool onlyReference = validCount() == 0 && m_reference;
    double lowest = onlyReference ? *m_reference : m_minValue;
    double highest = onlyReference ? *m_reference : m_maxValue;
    if (m_reference) {
        lowest = std::min(lowest, *m_reference - m_tolerance);
        highest = std::max(highest, *m_reference + m_tolerance);
    }
    const QPair<double, double> range =
        validCount() > 0 || m_reference ? paddedRange(lowest, highest) : qMakePair(0.0, 1.0);

    ChartFrameSpec spec;
    spec.title = title;
    spec.x = {QStringLiteral("time since the first record (%1)").arg(QLatin1String(scale.name)),
              double(firstMs),
              double(firstMs + spanMs),
              double(firstMs),
              scale.msPerUnit,
              {}};
    spec.y = {
        QStringLiteral("distance (%1)").arg(unitName(m_unit)), range.first, range.second, 0, 1, {}};
    spec.roomBelowAxis = 3; // timeouts are marked under the axis, failures on it
    // The legend depends on how dense the points are in the plot that the frame lays out.
    ChartFrame laidOut(painter, size, spec);
    spec.legend = legend(validCount() > std::max(1, int(laidOut.plot().width())) / 4);
    return ChartFrame(painter, size, spec);
}

QVector<LegendEntry> RunChart::legend(bool dense) const
{
    QStringList names;
    for (const Series &series : m_series)
        names << series.name;
    return legendEntries(names, m_unit, dense, bool(m_reference), m_away);
}

QPointF RunChart::position(QPainter &painter, const QSize &size, qint64 msSinceFirst,
                           double value) const
{
    const ChartFrame f = frame(painter, size, titleLines({}));
    qint64 firstMs = 0;
    int samples = 0;
    for (const Series &series : m_series) {
        for (const Sample &s : series.samples)
            firstMs = samples++ == 0 ? s.ms : std::min(firstMs, s.ms);
    }
    return {f.x(double(firstMs + msSinceFirst)), f.y(value)};
}

void RunChart::paint(QPainter &painter, const QSize &size, const QVector<RunStatistics> &statistics,
                     const QStringList &verdicts) const
{
    const ChartFrame f = frame(painter, size, titleLines(statistics, verdicts));
    f.paintFrame(painter);
    const bool dense = validCount() > std::max(1, int(f.plot().width())) / 4;

    painter.save();
    painter.setClipRect(f.plot());
    const bool one = m_series.size() == 1;
    if (one)
        paintMean(painter, f, statistics.value(0), kMeanColour, true);
    paintReference(painter, f);
    paintAway(painter, f);
    for (int i = 0; i < m_series.size(); ++i)
        paintSeries(painter, f, m_series.at(i), dense, deviceColours(i));
    if (validCount() == 0) {
        painter.setPen(kTextColour);
        painter.drawText(f.plot(), Qt::AlignCenter, QStringLiteral("no valid measurement"));
    }
    // The means go over the distances.
    for (int i = 0; i < m_series.size(); ++i)
        paintMean(painter, f, statistics.value(i), one ? kMeanColour : deviceColours(i).line,
                  false);
    painter.restore();

    paintMarks(painter, f);
    f.paintBorder(painter);
}

// The mean from the summary's figures, as a dashed line or as its band of one sd.
void RunChart::paintMean(QPainter &painter, const ChartFrame &l, const RunStatistics &statistics,
                         const QColor &colour, bool band) const
{
    const std::optional<DistanceFigures> figures = distanceFigures(statistics);
    if (!figures)
        return;
    const double mean = figures->mean * unitFactor(m_unit);
    if (band) {
        const double sd = figures->sd * unitFactor(m_unit);
        painter.fillRect(QRectF(QPointF(l.plot().left(), l.y(mean + sd)),
                                QPointF(l.plot().right(), l.y(mean - sd))),
                         kBandColour);
        return;
    }
    const QFontMetricsF text(l.textFont(), painter.device());
    const double gap = l.gap();
    painter.setPen(QPen(colour, 1.5, Qt::DashLine));
    painter.drawLine(QPointF(l.plot().left(), l.y(mean)), QPointF(l.plot().right(), l.y(mean)));
    const QString label =
        QStringLiteral("mean %1 %2").arg(QString::number(mean, 'g', 6), unitName(m_unit));
    const double width = text.horizontalAdvance(label) + gap;
    const QRectF box(l.plot().right() - gap - width, l.y(mean) - text.height() - 2, width,
                     text.height());
    painter.fillRect(box, QColor(255, 255, 255, 200));
    painter.setPen(colour);
    painter.drawText(box, Qt::AlignCenter, label);
}

// Every point when there are few, else each pixel column's lowest and highest, and a line
// through the columns' means.
void RunChart::paintSeries(QPainter &painter, const ChartFrame &l, const Series &series, bool dense,
                           const DeviceColours &colours) const
{
    if (series.valid == 0)
        return;
    if (dense)
        paintColumns(painter, l, series, colours);
    else
        paintSamples(painter, l, series, colours);
}

// Each measurement a dot, joined by a line that breaks where a measurement gave no distance.
void RunChart::paintSamples(QPainter &painter, const ChartFrame &l, const Series &series,
                            const DeviceColours &colours) const
{
    QPainterPath path;
    bool started = false;
    QVector<QPointF> points;
    for (const Sample &s : series.samples) {
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
    const double r = l.dotRadius();
    for (const QPointF &p : points)
        painter.drawEllipse(p, r, r);
    painter.setBrush(Qt::NoBrush);
}

// Each pixel column's lowest and highest as a stroke, and a line through the columns' means.
void RunChart::paintColumns(QPainter &painter, const ChartFrame &l, const Series &series,
                            const DeviceColours &colours) const
{
    struct Column
    {
        float low = 0, high = 0;
        double sum = 0;
        int count = 0;
    };
    const int columns = std::max(1, int(l.plot().width()));
    QVector<Column> column(columns);
    for (const Sample &s : series.samples) {
        if (s.status != Measurement::Status::Ok)
            continue;
        Column &col = column[std::clamp(int(l.x(s.ms) - l.plot().left()), 0, columns - 1)];
        col.low = col.count == 0 ? s.value : std::min(col.low, s.value);
        col.high = col.count == 0 ? s.value : std::max(col.high, s.value);
        col.sum += s.value;
        ++col.count;
    }
    QPainterPath range;
    QPainterPath path;
    bool started = false;
    for (int c = 0; c < columns; ++c) {
        const Column &col = column.at(c);
        if (col.count == 0)
            continue;
        const double px = l.plot().left() + c + 0.5;
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
void RunChart::paintAway(QPainter &painter, const ChartFrame &l) const
{
    for (const Series &series : m_series) {
        for (const Sample &s : series.samples) {
            if (s.status != Measurement::Status::Disconnected)
                continue;
            const double left = l.x(s.ms);
            const double width = std::max(2.0, l.x(s.endMs()) - left);
            painter.fillRect(QRectF(left, l.plot().top(), width, l.plot().height()), kAwayColour);
        }
    }
}

// Failures and timeouts on the time axis, at most one of each kind per pixel column.
void RunChart::paintMarks(QPainter &painter, const ChartFrame &l) const
{
    const int columns = std::max(1, int(l.plot().width()));
    QVector<quint8> marked(columns + 1, 0);
    for (const Series &series : m_series) {
        for (const Sample &s : series.samples) {
            if (s.status == Measurement::Status::Ok ||
                s.status == Measurement::Status::Disconnected)
                continue;
            const int c = std::clamp(int(l.x(s.ms) - l.plot().left()), 0, columns);
            // As in the summary, a rejected reply is a failure.
            const bool failed = s.status != Measurement::Status::Timeout;
            const quint8 bit = failed ? 1 : 2;
            if (marked[c] & bit)
                continue;
            marked[c] |= bit;
            const double x = l.x(s.ms);
            if (failed)
                drawCross(painter, kFailedColour, x, l.plot().bottom(), l.markRadius());
            else
                drawTriangle(painter, kTimeoutColour, x, l.plot().bottom() + 2 * l.markRadius(),
                             l.markRadius());
        }
    }
}

void RunChart::paintReference(QPainter &painter, const ChartFrame &l) const
{
    if (!m_reference)
        return;
    const double reference = *m_reference;
    painter.fillRect(QRectF(QPointF(l.plot().left(), l.y(reference + m_tolerance)),
                            QPointF(l.plot().right(), l.y(reference - m_tolerance))),
                     kToleranceColour);
    painter.setPen(QPen(kReferenceColour, 1.5));
    painter.drawLine(QPointF(l.plot().left(), l.y(reference)),
                     QPointF(l.plot().right(), l.y(reference)));
}

bool RunChart::save(const QString &path, FileType type, const QSize &size,
                    const QVector<RunStatistics> &statistics, QString *errorString,
                    const QStringList &verdicts) const
{
    QByteArray bytes;
    return encode(type, size, statistics, bytes, errorString, verdicts) &&
           saveBytes(path, bytes, errorString);
}

bool RunChart::encode(FileType type, const QSize &size, const QVector<RunStatistics> &statistics,
                      QByteArray &bytes, QString *errorString, const QStringList &verdicts) const
{
    const QString title = m_series.size() == 1 ? countsLine(statistics.value(0))
                                               : titleLines(statistics).join(QStringLiteral("; "));
    return encodeChart(
        type, size, title, [&](QPainter &painter) { paint(painter, size, statistics, verdicts); },
        bytes, errorString);
}

} // namespace rangefinder
