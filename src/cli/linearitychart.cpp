#include "cli/linearitychart.h"

#include "core/logtextfile.h"

#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>

namespace rangefinder {

namespace {

const QColor kReadingColour(31, 95, 191, 110); // stacked readings show darker
const QColor kMeanColour(214, 39, 40);
const QColor kLineColour(27, 122, 62);
const QColor kBandColour(46, 160, 67, 50);
const QColor kZeroColour(60, 60, 60);
const QColor kMaxBiasColour(230, 130, 0);

// The band is curved: enough pieces that it looks it at any size.
constexpr int kBandSteps = 64;

// The title's figures: four digits are enough to read the line by.
QString brief(double value)
{
    return QString::number(value, 'g', 4);
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

QString LinearityChart::title() const
{
    const LinearityFit &fit = m_study.fit;
    return QStringLiteral("Linearity and bias: bias = %1 %2 %3 \u00d7 reference "
                          "(slope p %4, intercept p %5), %6")
        .arg(brief(fit.intercept.value), fit.slope.value < 0 ? "\u2212" : "+",
             brief(std::abs(fit.slope.value)), QString::number(fit.slope.p, 'f', 3),
             QString::number(fit.intercept.p, 'f', 3),
             m_study.passed() ? QStringLiteral("PASS") : QStringLiteral("FAIL"));
}

ChartFrameSpec LinearityChart::frameSpec() const
{
    // Every point, the band at both ends, zero and +/- B are in sight.
    double low = 0, high = 0;
    for (const QPointF &p : m_readings) {
        low = std::min(low, p.y());
        high = std::max(high, p.y());
    }
    const LinearityFit &fit = m_study.fit;
    for (double x : {m_low, m_high}) {
        low = std::min(low, fit.fitted(x) - fit.bandHalfWidth(x));
        high = std::max(high, fit.fitted(x) + fit.bandHalfWidth(x));
    }
    const std::optional<double> &maxBias = m_study.settings.maxBias;
    ChartFrameSpec spec;
    spec.title = QStringList{title()};
    spec.legend = {{QStringLiteral("reading"), LegendEntry::Swatch::Dot, kReadingColour, {}},
                   {QStringLiteral("mean bias"), LegendEntry::Swatch::Dot, kMeanColour, {}},
                   {QStringLiteral("fitted line, 95 % confidence band"),
                    LegendEntry::Swatch::LineOnFill, kLineColour, kBandColour},
                   {QStringLiteral("no bias"), LegendEntry::Swatch::DashedLine, kZeroColour, {}}};
    if (maxBias) {
        low = std::min(low, -*maxBias);
        high = std::max(high, *maxBias);
        spec.legend.append({QStringLiteral("\u00b1 %1 %2 allowed").arg(brief(*maxBias), m_unit),
                            LegendEntry::Swatch::DashedLine,
                            kMaxBiasColour,
                            {}});
    }
    const QPair<double, double> y = paddedRange(low, high);
    // The first and last references' points clear of the frame.
    const double room = (m_high - m_low) * 0.04;
    spec.x = {QStringLiteral("reference (%1)").arg(m_unit), m_low - room, m_high + room, 0, 1, {}};
    spec.y = {QStringLiteral("bias = reading \u2212 reference (%1)").arg(m_unit),
              y.first,
              y.second,
              0,
              1,
              {}};
    return spec;
}

void LinearityChart::paint(QPainter &painter, const QSize &size) const
{
    const ChartFrame f(painter, size, frameSpec());
    f.paintFrame(painter);
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setClipRect(f.plot());
    paintBand(painter, f);
    paintLevels(painter, f);
    paintPoints(painter, f);
    painter.restore();
    f.paintBorder(painter);
}

void LinearityChart::paintBand(QPainter &painter, const ChartFrame &f) const
{
    const LinearityFit &fit = m_study.fit;
    auto at = [&](double x, double y) { return QPointF(f.x(x), f.y(y)); };
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
    painter.setPen(QPen(kLineColour, 2.5));
    painter.drawLine(at(m_low, fit.fitted(m_low)), at(m_high, fit.fitted(m_high)));
}

// The zero line and +/- B, across the whole plot.
void LinearityChart::paintLevels(QPainter &painter, const ChartFrame &f) const
{
    auto level = [&](double y, const QColor &colour) {
        painter.setPen(QPen(colour, 1.5, Qt::DashLine));
        painter.drawLine(QPointF(f.plot().left(), f.y(y)), QPointF(f.plot().right(), f.y(y)));
    };
    level(0, kZeroColour);
    if (m_study.settings.maxBias) {
        level(*m_study.settings.maxBias, kMaxBiasColour);
        level(-*m_study.settings.maxBias, kMaxBiasColour);
    }
}

// The readings, and over them the means, which are what the line is judged against.
void LinearityChart::paintPoints(QPainter &painter, const ChartFrame &f) const
{
    const double r = f.dotRadius() * 1.3;
    painter.setPen(Qt::NoPen);
    painter.setBrush(kReadingColour);
    for (const QPointF &p : m_readings)
        painter.drawEllipse(QPointF(f.x(p.x()), f.y(p.y())), r, r);
    painter.setPen(QPen(Qt::white, 1.5));
    painter.setBrush(kMeanColour);
    for (const ReferenceBias &bias : m_study.references)
        painter.drawEllipse(QPointF(f.x(bias.reference), f.y(bias.bias.value)), 2 * r, 2 * r);
}

bool LinearityChart::save(const QString &path, ChartFileType type, const QSize &size,
                          QString *errorString) const
{
    QByteArray bytes;
    const bool encoded = encodeChart(
        type, size, title(), [&](QPainter &painter) { paint(painter, size); }, bytes, errorString);
    return encoded && saveBytes(path, bytes, errorString);
}

} // namespace rangefinder
