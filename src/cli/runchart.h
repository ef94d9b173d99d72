#pragma once

#include "cli/measurement.h"
#include "cli/recordformat.h"
#include "cli/runstatistics.h"

#include <QPointF>
#include <QRectF>
#include <QSize>
#include <QString>
#include <QStringList>
#include <QVector>

#include <functional>
#include <optional>

class QFont;
class QPaintDevice;
class QPainter;
struct DeviceColours;

// What every chart's axes share: steps of 1, 2 or 5 times a power of ten, so that about count
// of them cover span; the multiples of step from low to high; a tick's label with the decimals
// the step needs; the charts' font at a size in pixels.
double niceStep(double span, int count);
QVector<double> ticks(double low, double high, double step);
QString tickText(double value, double step);
QFont font(const QPaintDevice *device, double pixels, bool bold = false);

// A chart of a run: every valid distance in the chosen unit against the time since the first
// record, failures and timeouts as marks on the time axis, the mean as a line in a band of
// one standard deviation, the reference and its tolerance band when there is one, the times a
// device was away as grey bands, and the summary's counts and figures as the title. Large runs
// are drawn as the lowest and highest value of each pixel column, so their size and drawing time
// depend on the chart's width, and a lone spike stays visible.
//
// Several devices share one chart: each its own colour, legend entry, mean line and title line.
//
// Drawing text needs a QGuiApplication (any platform, offscreen included).
class RunChart
{
public:
    enum class FileType { Png, Svg };

    // One series per device name; none: a single series without a name.
    explicit RunChart(LengthUnit unit, const QStringList &deviceNames = {});

    void add(const Measurement &measurement, int device = 0);
    // A run judged against a target: its distance as a line in the band reference ± tolerance,
    // in the chart's unit.
    void setReference(double reference, double tolerance);

    // By name, png or svg, or by a file name's extension in any case: .png or .svg.
    static std::optional<FileType> fileTypeNamed(const QString &name);
    static std::optional<FileType> fileTypeOf(const QString &path);
    // The summary's first two lines; with several devices, each one's counts.
    QStringList titleLines(const QVector<RunStatistics> &statistics) const;

    // As saveBytes writes a file: a regular file is replaced only once the whole chart is
    // written, a device or a pipe is written in place. False and errorString on failure.
    // statistics holds one entry per device, in the order of their names.
    bool save(const QString &path, FileType type, const QSize &size,
              const QVector<RunStatistics> &statistics, QString *errorString) const;
    // Any chart's drawing as PNG or SVG (title names the SVG), written as save() writes it.
    static bool saveDrawing(const QString &path, FileType type, const QSize &size,
                            const QString &title, const std::function<void(QPainter &)> &paint,
                            QString *errorString);
    void paint(QPainter &painter, const QSize &size,
               const QVector<RunStatistics> &statistics) const;

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
    struct Layout;

    Layout layout(QPainter &painter, const QSize &size) const;
    int validCount() const;
    void paintReference(QPainter &painter, const Layout &l) const;
    void paintLegend(QPainter &painter, const QSize &size, const Layout &l, bool dense) const;
    void paintAxes(QPainter &painter, const Layout &l) const;
    void paintSeries(QPainter &painter, const Layout &l, const Series &series, bool dense,
                     const DeviceColours &colours) const;
    void paintMean(QPainter &painter, const Layout &l, const RunStatistics &statistics,
                   const QColor &colour, bool band) const;
    void paintAway(QPainter &painter, const Layout &l) const;
    void paintMarks(QPainter &painter, const Layout &l) const;

    LengthUnit m_unit;
    QVector<Series> m_series;
    float m_minValue = 0;
    float m_maxValue = 0;
    std::optional<double> m_reference;
    double m_tolerance = 0;
    bool m_away = false; // a device was disconnected at some time
};
