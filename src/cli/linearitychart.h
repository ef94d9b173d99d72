#pragma once

#include "chart/chart.h"
#include "cli/linearity.h"

#include <QPointF>
#include <QSize>
#include <QString>
#include <QVector>

class QPainter;

namespace rangefinder {

// A linearity study's chart, in the study's unit: the bias of every reading against its
// reference, each reference's mean bias, the fitted line in its 95 % confidence band, the zero
// line, and +/- B when the study has a largest bias; in the shared chart frame.
class LinearityChart
{
public:
    LinearityChart(const LinearityStudy &study, const QVector<ReferenceReadings> &runs,
                   const QString &unitName);

    ChartFrameSpec frameSpec() const;
    void paint(QPainter &painter, const QSize &size) const;
    // As every chart is written: replaced only once the whole file is written.
    bool save(const QString &path, ChartFileType type, const QSize &size,
              QString *errorString) const;

private:
    QString title() const;
    void paintBand(QPainter &painter, const ChartFrame &f) const;
    void paintLevels(QPainter &painter, const ChartFrame &f) const;
    void paintPoints(QPainter &painter, const ChartFrame &f) const;

    LinearityStudy m_study;
    QVector<QPointF> m_readings; // reference, bias
    QString m_unit;
    double m_low = 0, m_high = 0; // of the references
};

} // namespace rangefinder
