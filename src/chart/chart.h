#pragma once

#include <QByteArray>
#include <QColor>
#include <QFont>
#include <QPair>
#include <QRectF>
#include <QSize>
#include <QString>
#include <QStringList>
#include <QVector>

#include <functional>
#include <optional>

class QPainter;

namespace rangefinder {

// What every chart of the program shares, apart from its data: a white canvas with a title of
// a few centred lines, a legend in one row under it, a plot with a grid, ticks at 1, 2 or 5 times
// a power of ten and a label on each axis, and its encoding as PNG or SVG. A chart of a run, of
// a study or of a device's history lays out a frame from its ranges and paints its data through
// the frame's x() and y().

enum class ChartFileType { Png, Svg };
// By name, png or svg, or by a file name's extension in any case: .png or .svg.
std::optional<ChartFileType> chartFileTypeNamed(const QString &name);
std::optional<ChartFileType> chartFileTypeOf(const QString &path);

// The image of what paint draws on a canvas of size: PNG, or SVG with title as its title.
// False and errorString when it cannot be encoded. Needs a QGuiApplication for the text.
bool encodeChart(ChartFileType type, const QSize &size, const QString &title,
                 const std::function<void(QPainter &)> &paint, QByteArray &bytes,
                 QString *errorString);

struct LegendEntry
{
    enum class Swatch {
        Line,       // colour
        DashedLine, // colour
        Fill,       // colour
        LineOnFill, // colour over fill
        Cross,      // colour
        Triangle,   // colour
        Dot,        // colour
    };
    QString label;
    Swatch swatch = Swatch::Line;
    QColor colour;
    QColor fill;
};

struct ChartAxis
{
    QString label;
    double low = 0, high = 1; // the data's units at the ends; x has a little room added
    // Ticks count (value - origin) / unit: a time axis in milliseconds since the epoch ticks in
    // seconds since its first record.
    double origin = 0, unit = 1;
    // A tick's label from its value and the step between ticks; none: as many decimals as the
    // step needs.
    std::function<QString(double value, double step)> tickText;
};

// low and high with a margin of 8 % of their span; a span of nothing is given one.
QPair<double, double> paddedRange(double lowest, double highest);

struct ChartFrameSpec
{
    QStringList title;
    QVector<LegendEntry> legend;
    ChartAxis x, y;
    double roomBelowAxis = 0; // in marks' radii: marks drawn under the x axis
};

// A frame laid out for one painter and size.
class ChartFrame
{
public:
    ChartFrame(QPainter &painter, const QSize &size, const ChartFrameSpec &spec);

    // The canvas, the title, the legend, the grid and the axes' ticks and labels.
    void paintFrame(QPainter &painter) const;
    // The plot's border, drawn last over the data.
    void paintBorder(QPainter &painter) const;

    double x(double value) const;
    double y(double value) const;
    QRectF plot() const { return m_plot; }
    double yLow() const { return m_low; }
    double yHigh() const { return m_high; }
    QFont textFont() const { return m_text; }
    double gap() const { return m_textPixels * 0.5; }
    double markRadius() const { return std::max(3.0, m_textPixels * 0.3); }
    double dotRadius() const { return std::max(2.0, m_textPixels * 0.2); }

private:
    void layOutY(const ChartAxis &axis);
    void paintTitle(QPainter &painter) const;
    void paintLegend(QPainter &painter) const;
    void paintAxes(QPainter &painter) const;

    ChartFrameSpec m_spec;
    QSize m_size;
    double m_textPixels = 0;
    QFont m_text, m_title;
    QRectF m_plot;
    double m_legendY = 0;
    double m_low = 0, m_high = 1, m_yStep = 1, m_xStep = 1;
};

// A failed measurement's red cross, a timeout's triangle, centred on (x, y).
void drawCross(QPainter &painter, const QColor &colour, double x, double y, double radius);
void drawTriangle(QPainter &painter, const QColor &colour, double x, double y, double radius);

} // namespace rangefinder
