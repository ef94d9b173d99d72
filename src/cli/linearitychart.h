#pragma once

#include "cli/linearity.h"
#include "cli/runchart.h"

#include <QPointF>
#include <QRectF>
#include <QSize>
#include <QString>
#include <QVector>

#include <functional>

class QPainter;

// What a linearity study's chart shows, in the study's unit: the bias of every reading against
// its reference, each reference's mean bias, the fitted line in its 95 % confidence band, the
// zero line, and +/- B when the study has a largest bias. The chart's frame (title, legend,
// axes, file) is drawn around it by the shared chart pieces.
class LinearityChart
{
public:
    LinearityChart(const LinearityStudy &study, const QVector<ReferenceReadings> &runs,
                   const QString &unitName);

    // The ranges the axes must show: every point, the band, zero and +/- B.
    QRectF valueRange() const;
    QString title() const;
    QString xLabel() const;
    QString yLabel() const;

    struct LegendItem
    {
        enum Kind { Reading, MeanBias, Line, Band, Zero, MaxBias };
        Kind kind;
        QString label;
    };
    QVector<LegendItem> legend() const;
    static void paintLegendSwatch(QPainter &painter, LegendItem::Kind kind, const QRectF &box);

    // The whole chart: title, legend, axes and content.
    void paint(QPainter &painter, const QSize &size) const;
    // As RunChart::save writes its chart.
    bool save(const QString &path, RunChart::FileType type, const QSize &size,
              QString *errorString) const;

    // Paints into the plot area; at maps a reference and a bias to a point of it.
    void paintContent(QPainter &painter, const std::function<QPointF(double, double)> &at,
                      double pointRadius) const;

private:
    struct Frame;
    Frame frame(QPainter &painter, const QSize &size) const;
    void paintAxes(QPainter &painter, const Frame &f) const;
    void paintLegend(QPainter &painter, const QSize &size, const Frame &f) const;
    void paintBand(QPainter &painter, const std::function<QPointF(double, double)> &at) const;
    void paintLevels(QPainter &painter, const std::function<QPointF(double, double)> &at) const;

    LinearityStudy m_study;
    QVector<QPointF> m_readings; // reference, bias
    QString m_unit;
    double m_low = 0, m_high = 0; // of the references
};
