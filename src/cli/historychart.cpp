#include "cli/historychart.h"

#include "core/logtextfile.h"

#include <QPainter>
#include <QPainterPath>

#include <algorithm>

namespace rangefinder {

namespace {

const QColor kBias(0x1f, 0x77, 0xb4);
const QColor kSd(0xff, 0x7f, 0x0e);
const QColor kBand(0xdf, 0xf0, 0xd8);
const QColor kLimits(0xd6, 0x27, 0x28);
const QColor kCentre(0x7f, 0x7f, 0x7f);

// Every value the chart shows, so that the y axis holds them all.
QPair<double, double> valueRange(const Drift &drift)
{
    QVector<double> values{0};
    for (const RunRow &check : drift.checks) {
        values << *check.bias;
        if (check.sd)
            values << *check.sd;
        if (check.tolerance)
            values << *check.tolerance << -*check.tolerance;
    }
    if (drift.limits)
        values << drift.limits->lower << drift.limits->upper;
    const auto [low, high] = std::minmax_element(values.begin(), values.end());
    return paddedRange(*low, *high);
}

ChartFrameSpec frameLayout(const Drift &drift)
{
    const RunRow &latest = drift.checks.constLast();
    ChartFrameSpec layout;
    layout.title = QStringList{QStringLiteral("%1: %2 checks, the latest %3")
                                   .arg(drift.serial)
                                   .arg(drift.checks.size())
                                   .arg(storedTime(latest.started))};
    layout.legend = {{QStringLiteral("bias"), LegendEntry::Swatch::Line, kBias, {}},
                     {QStringLiteral("sd"), LegendEntry::Swatch::Line, kSd, {}},
                     {QStringLiteral("tolerance"), LegendEntry::Swatch::Fill, kBand, {}}};
    if (drift.limits)
        layout.legend << LegendEntry{
            QStringLiteral("control limits"), LegendEntry::Swatch::DashedLine, kLimits, {}};
    layout.x = ChartAxis{
        QStringLiteral("check"), 1, double(std::max(2, int(drift.checks.size()))), 0, 1, {}};
    const auto range = valueRange(drift);
    layout.y = ChartAxis{
        QStringLiteral("bias, sd (%1)").arg(latest.unit), range.first, range.second, 0, 1, {}};
    return layout;
}

void paintSeries(QPainter &painter, const ChartFrame &frame, const QVector<double> &values,
                 const QColor &colour)
{
    QPainterPath path;
    for (int i = 0; i < values.size(); ++i) {
        const QPointF point(frame.x(i + 1), frame.y(values.at(i)));
        i == 0 ? path.moveTo(point) : path.lineTo(point);
    }
    painter.setPen(QPen(colour, 2));
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(path);
    painter.setBrush(colour);
    for (int i = 0; i < values.size(); ++i)
        painter.drawEllipse(QPointF(frame.x(i + 1), frame.y(values.at(i))), frame.dotRadius(),
                            frame.dotRadius());
}

void paintLevel(QPainter &painter, const ChartFrame &frame, double value, const QPen &pen)
{
    painter.setPen(pen);
    painter.drawLine(QPointF(frame.plot().left(), frame.y(value)),
                     QPointF(frame.plot().right(), frame.y(value)));
}

void paint(QPainter &painter, const QSize &size, const Drift &drift)
{
    const ChartFrame frame(painter, size, frameLayout(drift));
    frame.paintFrame(painter);
    painter.save();
    painter.setClipRect(frame.plot());
    const RunRow &latest = drift.checks.constLast();
    if (latest.tolerance)
        painter.fillRect(QRectF(QPointF(frame.plot().left(), frame.y(*latest.tolerance)),
                                QPointF(frame.plot().right(), frame.y(-*latest.tolerance))),
                         kBand);
    if (drift.limits) {
        paintLevel(painter, frame, drift.limits->centre, QPen(kCentre, 1));
        for (const double limit : {drift.limits->lower, drift.limits->upper})
            paintLevel(painter, frame, limit, QPen(kLimits, 1.5, Qt::DashLine));
    }
    QVector<double> biases, sds;
    for (const RunRow &check : drift.checks) {
        biases << *check.bias;
        sds << check.sd.value_or(0);
    }
    paintSeries(painter, frame, sds, kSd);
    paintSeries(painter, frame, biases, kBias);
    painter.restore();
    frame.paintBorder(painter);
}

} // namespace

bool saveHistoryChart(const QString &path, ChartFileType type, const QSize &size,
                      const Drift &drift, QString *errorString)
{
    QByteArray bytes;
    return encodeChart(
               type, size, QStringLiteral("History of %1").arg(drift.serial),
               [&](QPainter &painter) { paint(painter, size, drift); }, bytes, errorString) &&
           saveBytes(path, bytes, errorString);
}

} // namespace rangefinder
