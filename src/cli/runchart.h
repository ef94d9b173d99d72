#pragma once

#include "chart/chart.h"
#include "cli/measurement.h"
#include "cli/recordformat.h"
#include "cli/runstatistics.h"

#include <QPointF>
#include <QRectF>
#include <QSize>
#include <QString>
#include <QStringList>
#include <QVector>

#include <optional>

class QPainter;

namespace rangefinder {

struct DeviceColours;

// A chart of a run: every valid distance in the chosen unit against the time since the first
// record, failures and timeouts as marks on the time axis, the mean as a line in a band of
// one standard deviation, the reference and its tolerance band when there is one, the times a
// device was away as grey bands, and the summary's counts and figures as the title. Large runs
// are drawn as the lowest and highest value of each pixel column, so their size and drawing time
// depend on the chart's width, and a lone spike stays visible.
//
// Several devices share one chart: each its own colour, legend entry, mean line and title line.
// A judged run's title ends with each device's verdict. The frame, legend, axes and the PNG
// and SVG are those of every chart (chart/chart.h).
//
// Drawing text needs a QGuiApplication (any platform, offscreen included).
class RunChart
{
public:
    using FileType = ChartFileType;

    // One series per device name; none: a single series without a name.
    explicit RunChart(LengthUnit unit, const QStringList &deviceNames = {});

    void add(const Measurement &measurement, int device = 0);
    // A run judged against a target: its distance as a line in the band reference ± tolerance,
    // in the chart's unit.
    void setReference(double reference, double tolerance);

    // By name, png or svg, or by a file name's extension in any case: .png or .svg.
    static std::optional<FileType> fileTypeNamed(const QString &name);
    static std::optional<FileType> fileTypeOf(const QString &path);
    // The summary's first two lines; with several devices, each one's counts. Then verdicts,
    // a line each.
    QStringList titleLines(const QVector<RunStatistics> &statistics,
                           const QStringList &verdicts = {}) const;

    // As saveBytes writes a file: a regular file is replaced only once the whole chart is
    // written, a device or a pipe is written in place. False and errorString on failure.
    // statistics holds one entry per device, in the order of their names.
    bool save(const QString &path, FileType type, const QSize &size,
              const QVector<RunStatistics> &statistics, QString *errorString,
              const QStringList &verdicts = {}) const;
    // The file's bytes, for a caller that writes them itself. False and errorString on failure.
    bool encode(FileType type, const QSize &size, const QVector<RunStatistics> &statistics,
                QByteArray &bytes, QString *errorString, const QStringList &verdicts = {}) const;
    void paint(QPainter &painter, const QSize &size, const QVector<RunStatistics> &statistics,
               const QStringList &verdicts = {}) const;

    // Where a value in the chart's unit, at a time since the first record, is drawn.
    QPointF position(QPainter &painter, const QSize &size, qint64 msSinceFirst, double value) const;

private:
    struct Sample
    {
        qint64 ms;   // since the epoch
        float value; // Disconnected: ms away
        Measurement::Status status;

        qint64 endMs() const
        {
            return status == Measurement::Status::Disconnected ? ms + qint64(value) : ms;
        }
    };
    struct Series
    {
        QString name;
        QVector<Sample> samples;
        int valid = 0;
    };
    ChartFrame frame(QPainter &painter, const QSize &size, const QStringList &title) const;
    QVector<LegendEntry> legend(bool dense) const;
    int validCount() const;
    void paintReference(QPainter &painter, const ChartFrame &f) const;
    void paintSeries(QPainter &painter, const ChartFrame &f, const Series &series, bool dense,
                     const DeviceColours &colours) const;
    void paintSamples(QPainter &painter, const ChartFrame &f, const Series &series,
                      const DeviceColours &colours) const;
    void paintColumns(QPainter &painter, const ChartFrame &f, const Series &series,
                      const DeviceColours &colours) const;
    void paintMean(QPainter &painter, const ChartFrame &f, const RunStatistics &statistics,
                   const QColor &colour, bool band) const;
    void paintAway(QPainter &painter, const ChartFrame &f) const;
    void paintMarks(QPainter &painter, const ChartFrame &f) const;

    LengthUnit m_unit;
    QVector<Series> m_series;
    float m_minValue = 0;
    float m_maxValue = 0;
    std::optional<double> m_reference;
    double m_tolerance = 0;
    bool m_away = false; // a device was disconnected at some time
};

} // namespace rangefinder
