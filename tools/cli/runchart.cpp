#include "runchart.h"

#include "logtextfile.h"

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
#include <limits>

namespace {

const QColor kDataColour(31, 95, 191);
const QColor kRangeColour(125, 162, 226);
const QColor kMeanColour(27, 122, 62);
const QColor kBandColour(46, 160, 67, 45);
const QColor kFailedColour(214, 39, 40);
const QColor kTimeoutColour(230, 130, 0);
const QColor kGridColour(225, 225, 225);
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

// 1, 2 or 5 times a power of ten, so that about `count` steps cover span.
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

QFont font(const QPaintDevice *device, double pixels, bool bold = false)
{
    // DejaVu is on every machine this runs on; the hint picks a sans-serif font elsewhere.
    QFont f(QStringLiteral("DejaVu Sans"));
    f.setStyleHint(QFont::SansSerif);
    f.setPointSizeF(pixels * 72.0 / device->logicalDpiY());
    f.setBold(bold);
    return f;
}

// The font made smaller, if need be, so that text this wide fits into room.
QFont fitted(QFont font, double width, double room)
{
    if (width > room)
        font.setPointSizeF(font.pointSizeF() * room / width);
    return font;
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

RunChart::RunChart(LengthUnit unit) : m_unit(unit) {}

void RunChart::add(const Measurement &measurement)
{
    float value = 0;
    if (measurement.status == Measurement::Status::Ok) {
        value = float(distanceIn(measurement, m_unit));
        m_minValue = m_valid == 0 ? value : std::min(m_minValue, value);
        m_maxValue = m_valid == 0 ? value : std::max(m_maxValue, value);
        ++m_valid;
    }
    m_samples.append({measurement.time.toMSecsSinceEpoch(), value, measurement.status});
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

QStringList RunChart::titleLines(const RunStatistics &statistics)
{
    return {countsLine(statistics), distanceLine(statistics)};
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

    if (!m_samples.isEmpty()) {
        const auto [first, last] =
            std::minmax_element(m_samples.cbegin(), m_samples.cend(),
                                [](const Sample &a, const Sample &b) { return a.ms < b.ms; });
        l.firstMs = first->ms;
        l.spanMs = last->ms - first->ms;
    }
    // A run of one instant is given a second, or its ticks would be fractions of a millisecond.
    if (l.spanMs <= 0)
        l.spanMs = 1000;
    l.scale = timeScale(l.spanMs);

    if (m_valid > 0) {
        double span = double(m_maxValue) - m_minValue;
        if (span < 1e-9)
            span = std::max(std::abs(double(m_maxValue)) * 0.01, 0.1);
        l.low = m_minValue - span * 0.08;
        l.high = m_maxValue + span * 0.08;
        if (m_maxValue == m_minValue) {
            l.low = m_minValue - span / 2;
            l.high = m_maxValue + span / 2;
        }
    }

    const double gap = l.textPixels * 0.5;
    l.titleTop = gap;
    l.legendY = l.titleTop + 2 * title.lineSpacing() + gap + text.height() / 2;
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

void RunChart::paint(QPainter &painter, const QSize &size, const RunStatistics &statistics) const
{
    const Layout l = layout(painter, size);
    const QFontMetricsF text(l.text, painter.device());
    const QFontMetricsF title(l.title, painter.device());
    const double gap = l.textPixels * 0.5;
    const QString unit = unitName(m_unit);

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

    // Legend, one row under the title.
    const int columns = std::max(1, int(l.plot.width()));
    const bool dense = m_valid > columns / 4;
    struct Entry
    {
        QString label;
        int kind;
    };
    const QString distance = QStringLiteral("distance (%1)").arg(unit);
    const QVector<Entry> entries{{dense ? distance + QStringLiteral(": mean and range of each "
                                                                    "pixel column")
                                        : distance,
                                  0},
                                 {QStringLiteral("mean"), 1},
                                 {QStringLiteral("mean \u00b1 1 sd"), 2},
                                 {QStringLiteral("failed"), 3},
                                 {QStringLiteral("timeout"), 4}};
    double legendWidth = 0;
    for (const Entry &e : entries)
        legendWidth += l.textPixels * 1.6 + gap + text.horizontalAdvance(e.label) + 3 * gap;
    const QFont legendFont = fitted(l.text, legendWidth, size.width() - 2 * gap);
    const double shrink = legendFont.pointSizeF() / l.text.pointSizeF();
    const QFontMetricsF legend(legendFont, painter.device());
    painter.setFont(legendFont);
    const double swatch = l.textPixels * 1.6 * shrink, space = gap * shrink;
    double x = (size.width() - legendWidth * shrink) / 2;
    const double ly = l.legendY;
    for (const Entry &e : entries) {
        const QRectF box(x, ly - swatch * 0.28, swatch, swatch * 0.56);
        switch (e.kind) {
        case 0:
            if (dense)
                painter.fillRect(box, kRangeColour);
            painter.setPen(QPen(kDataColour, 2.0));
            painter.drawLine(QPointF(box.left(), ly), QPointF(box.right(), ly));
            break;
        case 1:
            painter.setPen(QPen(kMeanColour, 2.0, Qt::DashLine));
            painter.drawLine(QPointF(box.left(), ly), QPointF(box.right(), ly));
            break;
        case 2:
            painter.fillRect(box, kBandColour);
            break;
        default:
            drawMark(painter, e.kind == 3, box.center().x(), ly, swatch * 0.22);
        }
        x += swatch + space;
        painter.setPen(kTextColour);
        painter.drawText(QPointF(x, ly + legend.ascent() / 2 - legend.descent() / 2), e.label);
        x += legend.horizontalAdvance(e.label) + 3 * space;
    }
    painter.setFont(l.text);

    // Grid and ticks.
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
                     Qt::AlignCenter, QStringLiteral("distance (%1)").arg(unit));
    painter.restore();

    painter.save();
    painter.setClipRect(l.plot);

    // The band of the mean, from the summary's figures; its line goes over the distances.
    const std::optional<DistanceFigures> figures = distanceFigures(statistics);
    const double mean = figures ? figures->mean * unitFactor(m_unit) : 0;
    if (figures) {
        const double sd = figures->sd * unitFactor(m_unit);
        painter.fillRect(
            QRectF(QPointF(l.plot.left(), l.y(mean + sd)), QPointF(l.plot.right(), l.y(mean - sd))),
            kBandColour);
    }

    // The distances: every point when there are few, else each pixel column's lowest and
    // highest, and a line through the columns' means.
    QPainterPath path;
    if (m_valid > 0 && !dense) {
        bool started = false;
        QVector<QPointF> points;
        for (const Sample &s : m_samples) {
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
        painter.setPen(QPen(kDataColour, 1.2));
        painter.drawPath(path);
        painter.setPen(Qt::NoPen);
        painter.setBrush(kDataColour);
        const double r = std::max(2.0, l.textPixels * 0.2);
        for (const QPointF &p : points)
            painter.drawEllipse(p, r, r);
        painter.setBrush(Qt::NoBrush);
    } else if (m_valid > 0) {
        struct Column
        {
            float low = 0, high = 0;
            double sum = 0;
            int count = 0;
        };
        QVector<Column> column(columns);
        for (const Sample &s : m_samples) {
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
        painter.setPen(QPen(kRangeColour, 1.2, Qt::SolidLine, Qt::RoundCap));
        painter.drawPath(range);
        painter.setPen(QPen(kDataColour, 1.2));
        painter.drawPath(path);
    } else {
        painter.setPen(kTextColour);
        painter.drawText(l.plot, Qt::AlignCenter, QStringLiteral("no valid measurement"));
    }
    if (figures) {
        painter.setPen(QPen(kMeanColour, 1.5, Qt::DashLine));
        painter.drawLine(QPointF(l.plot.left(), l.y(mean)), QPointF(l.plot.right(), l.y(mean)));
        const QString label = QStringLiteral("mean %1 %2").arg(QString::number(mean, 'g', 6), unit);
        const double width = text.horizontalAdvance(label) + gap;
        const QRectF box(l.plot.right() - gap - width, l.y(mean) - text.height() - 2, width,
                         text.height());
        painter.fillRect(box, QColor(255, 255, 255, 200));
        painter.setPen(kMeanColour);
        painter.drawText(box, Qt::AlignCenter, label);
    }
    painter.restore();

    // Failures and timeouts on the time axis, at most one of each kind per pixel column.
    QVector<quint8> marked(columns + 1, 0);
    for (const Sample &s : m_samples) {
        if (s.status == Measurement::Status::Ok)
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

    painter.setPen(QPen(kTextColour, 1.0));
    painter.drawRect(l.plot);
}

bool RunChart::save(const QString &path, FileType type, const QSize &size,
                    const RunStatistics &statistics, QString *errorString) const
{
    QByteArray bytes;
    if (type == FileType::Png) {
        QImage image(size, QImage::Format_ARGB32_Premultiplied);
        QPainter painter(&image);
        paint(painter, size, statistics);
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
        svg.setTitle(countsLine(statistics));
        QPainter painter(&svg);
        paint(painter, size, statistics);
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
