#include "cli/linearitychart.h"

#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>

namespace {

const QColor kReadingColour(31, 95, 191, 110); // stacked readings show darker
const QColor kMeanColour(214, 39, 40);
const QColor kLineColour(27, 122, 62);
const QColor kBandColour(46, 160, 67, 50);
const QColor kZeroColour(60, 60, 60);
const QColor kMaxBiasColour(230, 130, 0);
const QColor kGridColour(225, 225, 225);
const QColor kTextColour(40, 40, 40);

// The band is curved: enough pieces that it looks it at any size.
constexpr int kBandSteps = 64;

QString figure(double value)
{
    return QString::number(value, 'g', 4);
}

void diamond(QPainter &painter, const QPointF &centre, double r)
{
    const QPointF corners[] = {centre + QPointF(0, -r), centre + QPointF(r, 0),
                               centre + QPointF(0, r), centre + QPointF(-r, 0)};
    painter.drawPolygon(corners, 4);
}

} // namespace

LinearityChart::LinearityChart(const LinearityStudy &study, const QVector<ReferenceReadings> &runs,
                               const QString &unitName)
    : m_study(study), m_unit(unitName)
{
    for (const ReferenceReadings &run : runs) {
        for (double reading : run.readings)
            m_readings << QPointF(run.reference, reading - run.reference);
    }
    m_low = study.references.constFirst().reference;
    m_high = study.references.constLast().reference;
}

QRectF LinearityChart::valueRange() const
{
    double low = 0, high = 0; // zero is always shown
    for (const QPointF &p : m_readings) {
        low = std::min(low, p.y());
        high = std::max(high, p.y());
    }
    const LinearityFit &fit = m_study.fit;
    for (double x : {m_low, m_high}) {
        low = std::min(low, fit.fitted(x) - fit.bandHalfWidth(x));
        high = std::max(high, fit.fitted(x) + fit.bandHalfWidth(x));
    }
    if (m_study.settings.maxBias) {
        low = std::min(low, -*m_study.settings.maxBias);
        high = std::max(high, *m_study.settings.maxBias);
    }
    // A little room beside the first and last reference, so their points are not on the frame.
    const double margin = (m_high - m_low) * 0.05;
    return QRectF(QPointF(m_low - margin, low), QPointF(m_high + margin, high));
}

QString LinearityChart::title() const
{
    const LinearityFit &fit = m_study.fit;
    return QStringLiteral("Linearity and bias: bias = %1 %2 %3 \u00d7 reference "
                          "(slope p %4, intercept p %5), %6")
        .arg(figure(fit.intercept.value), fit.slope.value < 0 ? "\u2212" : "+",
             figure(std::abs(fit.slope.value)), QString::number(fit.slope.p, 'f', 3),
             QString::number(fit.intercept.p, 'f', 3),
             m_study.passed() ? QStringLiteral("PASS") : QStringLiteral("FAIL"));
}

QString LinearityChart::xLabel() const
{
    return QStringLiteral("reference (%1)").arg(m_unit);
}

QString LinearityChart::yLabel() const
{
    return QStringLiteral("bias = reading \u2212 reference (%1)").arg(m_unit);
}

QVector<LinearityChart::LegendItem> LinearityChart::legend() const
{
    QVector<LegendItem> items{{LegendItem::Reading, QStringLiteral("reading")},
                              {LegendItem::MeanBias, QStringLiteral("mean bias")},
                              {LegendItem::Line, QStringLiteral("fitted line")},
                              {LegendItem::Band, QStringLiteral("95 % confidence band")},
                              {LegendItem::Zero, QStringLiteral("no bias")}};
    if (m_study.settings.maxBias)
        items.append({LegendItem::MaxBias, QStringLiteral("\u00b1 %1 %2 allowed")
                                               .arg(figure(*m_study.settings.maxBias), m_unit)});
    return items;
}

void LinearityChart::paintLegendSwatch(QPainter &painter, LegendItem::Kind kind, const QRectF &box)
{
    const QPointF c = box.center();
    const double r = box.height() * 0.45;
    painter.save();
    switch (kind) {
    case LegendItem::Reading:
        painter.setPen(Qt::NoPen);
        painter.setBrush(kReadingColour);
        painter.drawEllipse(c, r * 0.7, r * 0.7);
        break;
    case LegendItem::MeanBias:
        painter.setPen(QPen(Qt::white, 1.0));
        painter.setBrush(kMeanColour);
        diamond(painter, c, r * 1.2);
        break;
    case LegendItem::Band:
        painter.fillRect(box, kBandColour);
        break;
    default:
        painter.setPen(QPen(kind == LegendItem::Line   ? kLineColour
                            : kind == LegendItem::Zero ? kZeroColour
                                                       : kMaxBiasColour,
                            2.0, kind == LegendItem::Line ? Qt::SolidLine : Qt::DashLine));
        painter.drawLine(QPointF(box.left(), c.y()), QPointF(box.right(), c.y()));
    }
    painter.restore();
}

void LinearityChart::paintContent(QPainter &painter,
                                  const std::function<QPointF(double, double)> &at,
                                  double pointRadius) const
{
    painter.save();
    paintBand(painter, at);
    paintLevels(painter, at);
    painter.setPen(Qt::NoPen);
    painter.setBrush(kReadingColour);
    for (const QPointF &p : m_readings)
        painter.drawEllipse(at(p.x(), p.y()), pointRadius, pointRadius);
    const LinearityFit &fit = m_study.fit;
    painter.setPen(QPen(kLineColour, 2.5));
    painter.drawLine(at(m_low, fit.fitted(m_low)), at(m_high, fit.fitted(m_high)));
    // The means over everything: they are what the line is judged against.
    painter.setPen(QPen(Qt::white, 1.5));
    painter.setBrush(kMeanColour);
    for (const ReferenceBias &r : m_study.references)
        diamond(painter, at(r.reference, r.bias.value), pointRadius * 2.2);
    painter.restore();
}

void LinearityChart::paintBand(QPainter &painter,
                               const std::function<QPointF(double, double)> &at) const
{
    const LinearityFit &fit = m_study.fit;
    QPainterPath band;
    for (int i = 0; i <= kBandSteps; ++i) {
        const double x = m_low + (m_high - m_low) * i / kBandSteps;
        const QPointF upper = at(x, fit.fitted(x) + fit.bandHalfWidth(x));
        if (i == 0)
            band.moveTo(upper);
        else
            band.lineTo(upper);
    }
    for (int i = kBandSteps; i >= 0; --i) {
        const double x = m_low + (m_high - m_low) * i / kBandSteps;
        band.lineTo(at(x, fit.fitted(x) - fit.bandHalfWidth(x)));
    }
    band.closeSubpath();
    painter.fillPath(band, kBandColour);
}

// The zero line and +/- B, across the whole plot.
void LinearityChart::paintLevels(QPainter &painter,
                                 const std::function<QPointF(double, double)> &at) const
{
    const QRectF range = valueRange();
    auto level = [&](double y, const QColor &colour) {
        painter.setPen(QPen(colour, 1.5, Qt::DashLine));
        painter.drawLine(at(range.left(), y), at(range.right(), y));
    };
    level(0, kZeroColour);
    if (m_study.settings.maxBias) {
        level(*m_study.settings.maxBias, kMaxBiasColour);
        level(-*m_study.settings.maxBias, kMaxBiasColour);
    }
}

// Where everything goes: the plot's rectangle in pixels and the values it spans.
struct LinearityChart::Frame
{
    double textPixels = 0;
    QFont text, title;
    QRectF plot;
    QRectF values; // x: references, y: biases; top() is the lowest bias
    double xStep = 1, yStep = 1;
    double legendY = 0;

    QPointF at(double x, double y) const
    {
        return {plot.left() + (x - values.left()) / values.width() * plot.width(),
                plot.bottom() - (y - values.top()) / values.height() * plot.height()};
    }
};

LinearityChart::Frame LinearityChart::frame(QPainter &painter, const QSize &size) const
{
    Frame f;
    const QPaintDevice *device = painter.device();
    f.textPixels = std::clamp(std::min(size.width() / 75.0, size.height() / 38.0), 9.0, 40.0);
    f.text = font(device, f.textPixels);
    f.title = font(device, f.textPixels * 1.1, true);
    const QFontMetricsF text(f.text, device);
    const QFontMetricsF title(f.title, device);
    const double gap = f.textPixels * 0.5;

    f.values = valueRange();
    // Readings all on their references leave nothing to span: a device step either side.
    const double ySpan = f.values.height() > 1e-9 ? f.values.height() * 0.08 : 0.1;
    f.values.adjust(0, -ySpan, 0, ySpan);
    if (f.values.width() <= 0)
        f.values.adjust(-0.5, 0, 0.5, 0);
    f.legendY = gap + title.lineSpacing() + gap + text.height() / 2;
    const double top = f.legendY + text.height() / 2 + gap * 1.5;
    const double bottom = size.height() - (gap + text.height() + gap + text.height() + gap);
    f.yStep = niceStep(f.values.height(), std::max(2, int((bottom - top) / (text.height() * 2.5))));
    double labelWidth = 0;
    for (double v : ticks(f.values.top(), f.values.bottom(), f.yStep))
        labelWidth = std::max(labelWidth, text.horizontalAdvance(tickText(v, f.yStep)));
    const double left = gap + text.height() + gap + labelWidth + gap;
    f.plot = QRectF(QPointF(left, top), QPointF(size.width() - gap * 3, bottom));
    f.xStep = niceStep(f.values.width(), std::max(2, int(f.plot.width() / (f.textPixels * 6))));
    return f;
}

void LinearityChart::paint(QPainter &painter, const QSize &size) const
{
    const Frame f = frame(painter, size);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.fillRect(QRectF(QPointF(0, 0), QSizeF(size)), Qt::white);
    painter.setPen(kTextColour);
    painter.setFont(f.title);
    const QFontMetricsF title(f.title, painter.device());
    painter.drawText(QRectF(0, f.textPixels * 0.5, size.width(), title.lineSpacing()),
                     Qt::AlignCenter, this->title());
    painter.setFont(f.text);
    paintLegend(painter, size, f);
    paintAxes(painter, f);
    painter.save();
    painter.setClipRect(f.plot);
    paintContent(
        painter, [&f](double x, double y) { return f.at(x, y); },
        std::max(2.5, f.textPixels * 0.28));
    painter.restore();
    painter.setPen(QPen(kTextColour, 1.0));
    painter.drawRect(f.plot);
}

void LinearityChart::paintAxes(QPainter &painter, const Frame &f) const
{
    const QFontMetricsF text(f.text, painter.device());
    const double gap = f.textPixels * 0.5;
    const QVector<double> xTicks = ticks(f.values.left(), f.values.right(), f.xStep);
    const QVector<double> yTicks = ticks(f.values.top(), f.values.bottom(), f.yStep);
    painter.setPen(QPen(kGridColour, 1.0));
    for (double x : xTicks)
        painter.drawLine(f.at(x, f.values.top()), f.at(x, f.values.bottom()));
    for (double y : yTicks)
        painter.drawLine(f.at(f.values.left(), y), f.at(f.values.right(), y));
    painter.setPen(kTextColour);
    for (double x : xTicks)
        painter.drawText(QRectF(f.at(x, 0).x() - 100, f.plot.bottom() + gap, 200, text.height()),
                         Qt::AlignHCenter | Qt::AlignTop, tickText(x, f.xStep));
    for (double y : yTicks)
        painter.drawText(
            QRectF(0, f.at(0, y).y() - text.height() / 2, f.plot.left() - gap, text.height()),
            Qt::AlignRight | Qt::AlignVCenter, tickText(y, f.yStep));
    painter.drawText(QRectF(f.plot.left(), f.plot.bottom() + 2 * gap + text.height(),
                            f.plot.width(), text.height()),
                     Qt::AlignHCenter | Qt::AlignTop, xLabel());
    painter.save();
    painter.translate(gap, f.plot.center().y());
    painter.rotate(-90);
    painter.drawText(QRectF(-f.plot.height() / 2, 0, f.plot.height(), text.height()),
                     Qt::AlignCenter, yLabel());
    painter.restore();
}

void LinearityChart::paintLegend(QPainter &painter, const QSize &size, const Frame &f) const
{
    const QFontMetricsF text(f.text, painter.device());
    const double gap = f.textPixels * 0.5, swatch = f.textPixels * 1.6;
    const QVector<LegendItem> items = legend();
    double width = 0;
    for (const LegendItem &item : items)
        width += swatch + gap + text.horizontalAdvance(item.label) + 3 * gap;
    double x = std::max(gap, (size.width() - width) / 2);
    for (const LegendItem &item : items) {
        paintLegendSwatch(painter, item.kind,
                          QRectF(x, f.legendY - swatch * 0.28, swatch, swatch * 0.56));
        x += swatch + gap;
        painter.setPen(kTextColour);
        painter.drawText(QPointF(x, f.legendY + text.ascent() / 2 - text.descent() / 2),
                         item.label);
        x += text.horizontalAdvance(item.label) + 3 * gap;
    }
}

bool LinearityChart::save(const QString &path, RunChart::FileType type, const QSize &size,
                          QString *errorString) const
{
    return RunChart::saveDrawing(
        path, type, size, title(), [&](QPainter &painter) { paint(painter, size); }, errorString);
}
