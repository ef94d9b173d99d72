#include "chart/chart.h"

#include "chart/svgpaintdevice.h"

#include <QBuffer>
#include <QFileInfo>
#include <QFontMetricsF>
#include <QImage>
#include <QPaintDevice>
#include <QPainter>

#include <algorithm>
#include <cmath>

namespace rangefinder {

namespace {

const QColor kGridColour(225, 225, 225);
const QColor kTextColour(40, 40, 40);

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

QString decimalTickText(double value, double step)
{
    const int decimals = std::max(0, int(-std::floor(std::log10(step) + 1e-9)));
    return QString::number(value, 'f', decimals);
}

// The ticks of an axis, in its tick units.
QVector<double> tickValues(const ChartAxis &axis, double step)
{
    return ticks((axis.low - axis.origin) / axis.unit, (axis.high - axis.origin) / axis.unit, step);
}

QString tickText(const ChartAxis &axis, double value, double step)
{
    return axis.tickText ? axis.tickText(value, step) : decimalTickText(value, step);
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

void drawSwatch(QPainter &painter, const LegendEntry &e, const QRectF &box, double swatch)
{
    using S = LegendEntry::Swatch;
    const double ly = box.center().y();
    if (e.swatch == S::LineOnFill)
        painter.fillRect(box, e.fill);
    if (e.swatch == S::Line || e.swatch == S::DashedLine || e.swatch == S::LineOnFill) {
        painter.setPen(
            QPen(e.colour, 2.0, e.swatch == S::DashedLine ? Qt::DashLine : Qt::SolidLine));
        painter.drawLine(QPointF(box.left(), ly), QPointF(box.right(), ly));
    } else if (e.swatch == S::Fill) {
        painter.fillRect(box, e.colour);
    } else if (e.swatch == S::Cross) {
        drawCross(painter, e.colour, box.center().x(), ly, swatch * 0.22);
    } else if (e.swatch == S::Triangle) {
        drawTriangle(painter, e.colour, box.center().x(), ly, swatch * 0.22);
    } else {
        painter.setPen(Qt::NoPen);
        painter.setBrush(e.colour);
        painter.drawEllipse(box.center(), swatch * 0.15, swatch * 0.15);
        painter.setBrush(Qt::NoBrush);
    }
}

} // namespace

QPair<double, double> paddedRange(double lowest, double highest)
{
    double span = highest - lowest;
    if (span < 1e-9)
        span = std::max(std::abs(highest) * 0.01, 0.1);
    if (highest == lowest)
        return {lowest - span / 2, highest + span / 2};
    return {lowest - span * 0.08, highest + span * 0.08};
}

std::optional<ChartFileType> chartFileTypeNamed(const QString &name)
{
    if (name == QLatin1String("png"))
        return ChartFileType::Png;
    if (name == QLatin1String("svg"))
        return ChartFileType::Svg;
    return std::nullopt;
}

std::optional<ChartFileType> chartFileTypeOf(const QString &path)
{
    return chartFileTypeNamed(QFileInfo(path).suffix().toLower());
}

bool encodeChart(ChartFileType type, const QSize &size, const QString &title,
                 const std::function<void(QPainter &)> &paint, QByteArray &bytes,
                 QString *errorString)
{
    if (type == ChartFileType::Svg) {
        SvgPaintDevice svg(size, title);
        QPainter painter(&svg);
        paint(painter);
        painter.end();
        bytes = svg.svg();
        return true;
    }
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    QPainter painter(&image);
    paint(painter);
    painter.end();
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    if (image.save(&buffer, "PNG"))
        return true;
    if (errorString)
        *errorString = QStringLiteral("the image cannot be encoded");
    return false;
}

ChartFrame::ChartFrame(QPainter &painter, const QSize &size, const ChartFrameSpec &spec)
    : m_spec(spec), m_size(size)
{
    QPaintDevice *device = painter.device();
    m_textPixels = std::clamp(std::min(size.width() / 75.0, size.height() / 38.0), 9.0, 40.0);
    m_text = font(device, m_textPixels);
    m_title = font(device, m_textPixels * 1.1, true);
    const QFontMetricsF text(m_text, device);
    const QFontMetricsF title(m_title, device);

    const double gap = this->gap();
    m_legendY = gap + spec.title.size() * title.lineSpacing() + gap + text.height() / 2;
    const double top = m_legendY + text.height() / 2 + gap * 1.5;
    const double below = spec.roomBelowAxis * markRadius();
    const double bottom = size.height() - (below + gap + text.height() + gap + text.height() + gap);
    m_low = spec.y.low;
    m_high = spec.y.high;
    // Tick labels a few line heights apart upwards, a few label widths apart across.
    m_yStep = niceStep((m_high - m_low) / spec.y.unit,
                       std::max(2, int((bottom - top) / (text.height() * 2.5))));
    double labelWidth = 0;
    for (double v : tickValues(spec.y, m_yStep))
        labelWidth = std::max(labelWidth, text.horizontalAdvance(tickText(spec.y, v, m_yStep)));
    const double left = gap + text.height() + gap + labelWidth + gap;
    const double right = size.width() - gap * 3;
    m_plot = QRectF(QPointF(left, top), QPointF(right, bottom));
    m_xStep = niceStep((spec.x.high - spec.x.low) / spec.x.unit,
                       std::max(2, int(m_plot.width() / (m_textPixels * 6))));
}

// A little room at both ends, so that the first and last points are not on the frame.
double ChartFrame::x(double value) const
{
    const double pad = m_plot.width() * 0.01;
    return m_plot.left() + pad +
           (value - m_spec.x.low) / (m_spec.x.high - m_spec.x.low) * (m_plot.width() - 2 * pad);
}

double ChartFrame::y(double value) const
{
    return m_plot.bottom() - (value - m_low) / (m_high - m_low) * m_plot.height();
}

void ChartFrame::paintFrame(QPainter &painter) const
{
    painter.setRenderHint(QPainter::Antialiasing);
    painter.fillRect(QRectF(0, 0, m_size.width(), m_size.height()), Qt::white);
    paintTitle(painter);
    paintLegend(painter);
    painter.setFont(m_text);
    paintAxes(painter);
}

void ChartFrame::paintBorder(QPainter &painter) const
{
    painter.setPen(QPen(kTextColour, 1.0));
    painter.drawRect(m_plot);
}

void ChartFrame::paintTitle(QPainter &painter) const
{
    const QFontMetricsF title(m_title, painter.device());
    const double gap = this->gap();
    painter.setPen(kTextColour);
    const QStringList &lines = m_spec.title;
    painter.setFont(fitted(m_title, lines, m_size.width() - 2 * gap, painter.device()));
    for (int i = 0; i < lines.size(); ++i)
        painter.drawText(
            QRectF(0, gap + i * title.lineSpacing(), m_size.width(), title.lineSpacing()),
            Qt::AlignCenter, lines.at(i));
}

void ChartFrame::paintLegend(QPainter &painter) const
{
    const double gap = this->gap();
    const QFontMetricsF text(m_text, painter.device());
    double legendWidth = 0;
    for (const LegendEntry &e : m_spec.legend)
        legendWidth += m_textPixels * 1.6 + gap + text.horizontalAdvance(e.label) + 3 * gap;
    const QFont legendFont = fitted(m_text, legendWidth, m_size.width() - 2 * gap);
    const double shrink = legendFont.pointSizeF() / m_text.pointSizeF();
    const QFontMetricsF legend(legendFont, painter.device());
    painter.setFont(legendFont);
    const double swatch = m_textPixels * 1.6 * shrink, space = gap * shrink;
    double x = (m_size.width() - legendWidth * shrink) / 2;
    const double ly = m_legendY;
    for (const LegendEntry &e : m_spec.legend) {
        drawSwatch(painter, e, QRectF(x, ly - swatch * 0.28, swatch, swatch * 0.56), swatch);
        x += swatch + space;
        painter.setPen(kTextColour);
        painter.drawText(QPointF(x, ly + legend.ascent() / 2 - legend.descent() / 2), e.label);
        x += legend.horizontalAdvance(e.label) + 3 * space;
    }
}

void ChartFrame::paintAxes(QPainter &painter) const
{
    const QFontMetricsF text(m_text, painter.device());
    const double gap = this->gap();
    const double below = m_spec.roomBelowAxis * markRadius();
    const ChartAxis &xAxis = m_spec.x;
    painter.setPen(QPen(kGridColour, 1.0));
    const ChartAxis &yAxis = m_spec.y;
    const QVector<double> xTicks = tickValues(xAxis, m_xStep);
    const QVector<double> yTicks = tickValues(yAxis, m_yStep);
    auto xAt = [&](double t) { return x(xAxis.origin + t * xAxis.unit); };
    auto yAt = [&](double v) { return y(yAxis.origin + v * yAxis.unit); };
    for (double t : xTicks)
        painter.drawLine(QPointF(xAt(t), m_plot.top()), QPointF(xAt(t), m_plot.bottom()));
    for (double v : yTicks)
        painter.drawLine(QPointF(m_plot.left(), yAt(v)), QPointF(m_plot.right(), yAt(v)));
    painter.setPen(kTextColour);
    for (double t : xTicks)
        painter.drawText(QRectF(xAt(t) - 100, m_plot.bottom() + below + gap, 200, text.height()),
                         Qt::AlignHCenter | Qt::AlignTop, tickText(xAxis, t, m_xStep));
    for (double v : yTicks)
        painter.drawText(QRectF(0, yAt(v) - text.height() / 2, m_plot.left() - gap, text.height()),
                         Qt::AlignRight | Qt::AlignVCenter, tickText(yAxis, v, m_yStep));
    painter.drawText(QRectF(m_plot.left(), m_plot.bottom() + below + 2 * gap + text.height(),
                            m_plot.width(), text.height()),
                     Qt::AlignHCenter | Qt::AlignTop, xAxis.label);
    painter.save();
    painter.translate(gap, m_plot.center().y());
    painter.rotate(-90);
    painter.drawText(QRectF(-m_plot.height() / 2, 0, m_plot.height(), text.height()),
                     Qt::AlignCenter, m_spec.y.label);
    painter.restore();
}

void drawCross(QPainter &painter, const QColor &colour, double x, double y, double r)
{
    painter.setPen(QPen(colour, 2.0));
    painter.drawLine(QPointF(x - r, y - r), QPointF(x + r, y + r));
    painter.drawLine(QPointF(x - r, y + r), QPointF(x + r, y - r));
}

void drawTriangle(QPainter &painter, const QColor &colour, double x, double y, double r)
{
    painter.setPen(Qt::NoPen);
    painter.setBrush(colour);
    const QPointF triangle[] = {QPointF(x, y - r), QPointF(x - r, y + r), QPointF(x + r, y + r)};
    painter.drawPolygon(triangle, 3);
    painter.setBrush(Qt::NoBrush);
}

} // namespace rangefinder
