#pragma once

#include "measurement.h"
#include "recordformat.h"

#include <QPointF>
#include <QRectF>
#include <QSize>
#include <QString>
#include <QStringList>
#include <QVector>

#include <optional>

class QPainter;

// A chart of a run: every valid distance in the chosen unit against the time since the first
// record, failures and timeouts as marks on the time axis, the mean as a line in a band of
// one standard deviation, and the summary's counts and figures as the title. Large runs are
// drawn as the lowest and highest value of each pixel column, so their size and drawing time
// depend on the chart's width, and a lone spike stays visible.
//
// Drawing text needs a QGuiApplication (any platform, offscreen included).
class RunChart
{
public:
    enum class FileType { Png, Svg };

    explicit RunChart(LengthUnit unit);

    void add(const Measurement &measurement);

    // By name, png or svg, or by a file name's extension in any case: .png or .svg.
    static std::optional<FileType> fileTypeNamed(const QString &name);
    static std::optional<FileType> fileTypeOf(const QString &path);
    // The summary's first two lines.
    static QStringList titleLines(const RunStatistics &statistics);

    // As saveBytes writes a file: a regular file is replaced only once the whole chart is
    // written, a device or a pipe is written in place. False and errorString on failure.
    bool save(const QString &path, FileType type, const QSize &size,
              const RunStatistics &statistics, QString *errorString) const;
    void paint(QPainter &painter, const QSize &size, const RunStatistics &statistics) const;

    // Where a value in the chart's unit, at a time since the first record, is drawn.
    QPointF position(QPainter &painter, const QSize &size, qint64 msSinceFirst, double value) const;

private:
    struct Sample
    {
        qint64 ms; // since the epoch
        float value;
        Measurement::Status status;
    };
    struct Layout;

    Layout layout(QPainter &painter, const QSize &size) const;

    LengthUnit m_unit;
    QVector<Sample> m_samples;
    int m_valid = 0;
    float m_minValue = 0;
    float m_maxValue = 0;
};
