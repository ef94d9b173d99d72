#include "chart/svgpaintdevice.h"

#include <QBrush>
#include <QColor>
#include <QFont>
#include <QPaintEngine>
#include <QPainterPath>
#include <QPen>
#include <QTextItem>
#include <QTransform>

#include <climits>
#include <cmath>

namespace rangefinder {

namespace {

constexpr int kDotsPerInch = 96;

QString number(double value)
{
    // Enough for a pixel's hundredth; no exponent, which some readers refuse.
    QString text = QString::number(std::round(value * 100.0) / 100.0, 'f', 2);
    while (text.endsWith(QLatin1Char('0')))
        text.chop(1);
    if (text.endsWith(QLatin1Char('.')))
        text.chop(1);
    return text == QLatin1String("-0") ? QStringLiteral("0") : text;
}

QString escaped(const QString &text)
{
    return text.toHtmlEscaped();
}

QString colourText(const QColor &colour)
{
    return colour.name(QColor::HexRgb);
}

QString pathData(const QPainterPath &path)
{
    QString d;
    for (int i = 0; i < path.elementCount(); ++i) {
        const QPainterPath::Element e = path.elementAt(i);
        if (e.type == QPainterPath::MoveToElement)
            d += QStringLiteral("M%1 %2").arg(number(e.x), number(e.y));
        else if (e.type == QPainterPath::LineToElement)
            d += QStringLiteral("L%1 %2").arg(number(e.x), number(e.y));
        else if (e.type == QPainterPath::CurveToElement)
            d += QStringLiteral("C%1 %2").arg(number(e.x), number(e.y));
        else
            d += QStringLiteral(" %1 %2").arg(number(e.x), number(e.y));
    }
    return d;
}

QString dashArray(const QPen &pen)
{
    const QVector<qreal> pattern = pen.dashPattern();
    if (pen.style() == Qt::SolidLine || pattern.isEmpty())
        return QString();
    // The pattern is in pen widths, as Qt draws it.
    const double width = std::max(1.0, pen.widthF());
    QStringList lengths;
    for (qreal length : pattern)
        lengths << number(length * width);
    return QStringLiteral(" stroke-dasharray=\"%1\"").arg(lengths.join(QLatin1Char(',')));
}

QString strokeAttributes(const QPen &pen)
{
    if (pen.style() == Qt::NoPen || pen.brush().style() == Qt::NoBrush)
        return QStringLiteral(" stroke=\"none\"");
    const QColor colour = pen.color();
    QString text = QStringLiteral(" stroke=\"%1\" stroke-width=\"%2\"")
                       .arg(colourText(colour),
                            number(pen.isCosmetic() && pen.widthF() == 0 ? 1.0 : pen.widthF()));
    if (colour.alpha() != 255)
        text += QStringLiteral(" stroke-opacity=\"%1\"").arg(number(colour.alphaF()));
    if (pen.capStyle() == Qt::RoundCap)
        text += QStringLiteral(" stroke-linecap=\"round\"");
    else if (pen.capStyle() == Qt::SquareCap)
        text += QStringLiteral(" stroke-linecap=\"square\"");
    return text + dashArray(pen);
}

QString fillAttributes(const QBrush &brush, Qt::FillRule rule)
{
    if (brush.style() == Qt::NoBrush)
        return QStringLiteral(" fill=\"none\"");
    const QColor colour = brush.color();
    QString text = QStringLiteral(" fill=\"%1\"").arg(colourText(colour));
    if (colour.alpha() != 255)
        text += QStringLiteral(" fill-opacity=\"%1\"").arg(number(colour.alphaF()));
    if (rule == Qt::OddEvenFill)
        text += QStringLiteral(" fill-rule=\"evenodd\"");
    return text;
}

QString transformAttribute(const QTransform &t)
{
    if (t.isIdentity())
        return QString();
    return QStringLiteral(" transform=\"matrix(%1 %2 %3 %4 %5 %6)\"")
        .arg(number(t.m11()), number(t.m12()), number(t.m21()), number(t.m22()), number(t.dx()),
             number(t.dy()));
}

} // namespace

// Writes each element as it comes, with the state it was drawn in.
class SvgPaintEngine : public QPaintEngine
{
public:
    SvgPaintEngine() : QPaintEngine(QPaintEngine::AllFeatures) {}

    bool begin(QPaintDevice *) override { return true; }
    bool end() override { return true; }
    Type type() const override { return QPaintEngine::User; }

    void updateState(const QPaintEngineState &state) override;
    void drawPath(const QPainterPath &path) override;
    void drawPolygon(const QPointF *points, int count, PolygonDrawMode mode) override;
    void drawTextItem(const QPointF &p, const QTextItem &textItem) override;
    void drawPixmap(const QRectF &, const QPixmap &, const QRectF &) override {}

    QString body;
    QString definitions;

private:
    QString common(bool filled, Qt::FillRule rule) const;
    // A clip is in the device's coordinates: a group without a transform holds the element.
    void write(const QString &element);

    QPen m_pen;
    QBrush m_brush;
    QTransform m_transform;
    QString m_clip; // the attribute that refers to the clip in force, if any
    int m_clips = 0;
};

void SvgPaintEngine::updateState(const QPaintEngineState &state)
{
    const QPaintEngine::DirtyFlags flags = state.state();
    if (flags & DirtyPen)
        m_pen = state.pen();
    if (flags & DirtyBrush)
        m_brush = state.brush();
    if (flags & DirtyTransform)
        m_transform = state.transform();
    if (!(flags & (DirtyClipPath | DirtyClipRegion | DirtyClipEnabled)))
        return;
    if (!state.isClipEnabled() || state.clipOperation() == Qt::NoClip) {
        m_clip.clear();
        return;
    }
    // Kept in the device's coordinates, as the transform in force when it was set makes it.
    QPainterPath clip = state.clipPath();
    if (clip.isEmpty())
        clip.addRegion(state.clipRegion());
    clip = state.transform().map(clip);
    definitions += QStringLiteral("<clipPath id=\"clip%1\"><path d=\"%2\"/></clipPath>\n")
                       .arg(++m_clips)
                       .arg(pathData(clip));
    m_clip = QStringLiteral(" clip-path=\"url(#clip%1)\"").arg(m_clips);
}

QString SvgPaintEngine::common(bool filled, Qt::FillRule rule) const
{
    return fillAttributes(filled ? m_brush : QBrush(), rule) + strokeAttributes(m_pen) +
           transformAttribute(m_transform);
}

void SvgPaintEngine::write(const QString &element)
{
    body += m_clip.isEmpty() ? element + QLatin1Char('\n')
                             : QStringLiteral("<g%1>%2</g>\n").arg(m_clip, element);
}

void SvgPaintEngine::drawPath(const QPainterPath &path)
{
    write(QStringLiteral("<path d=\"%1\"%2/>").arg(pathData(path), common(true, path.fillRule())));
}

void SvgPaintEngine::drawPolygon(const QPointF *points, int count, PolygonDrawMode mode)
{
    if (count < 1)
        return;
    QPainterPath path(points[0]);
    for (int i = 1; i < count; ++i)
        path.lineTo(points[i]);
    const bool filled = mode != PolylineMode;
    if (filled)
        path.closeSubpath();
    path.setFillRule(mode == WindingMode ? Qt::WindingFill : Qt::OddEvenFill);
    write(
        QStringLiteral("<path d=\"%1\"%2/>").arg(pathData(path), common(filled, path.fillRule())));
}

void SvgPaintEngine::drawTextItem(const QPointF &p, const QTextItem &textItem)
{
    const QFont font = textItem.font();
    const double pixels =
        font.pixelSize() > 0 ? font.pixelSize() : font.pointSizeF() * kDotsPerInch / 72.0;
    const QColor colour = m_pen.color();
    QString attributes =
        QStringLiteral(" x=\"%1\" y=\"%2\" font-family=\"%3\" font-size=\"%4\"")
            .arg(number(p.x()), number(p.y()), escaped(font.family()), number(pixels));
    if (font.bold())
        attributes += QStringLiteral(" font-weight=\"bold\"");
    attributes += QStringLiteral(" fill=\"%1\"").arg(colourText(colour));
    if (colour.alpha() != 255)
        attributes += QStringLiteral(" fill-opacity=\"%1\"").arg(number(colour.alphaF()));
    write(QStringLiteral("<text%1%2>%3</text>")
              .arg(attributes, transformAttribute(m_transform), escaped(textItem.text())));
}

SvgPaintDevice::SvgPaintDevice(const QSize &size, const QString &title)
    : m_size(size), m_engine(std::make_unique<SvgPaintEngine>())
{
    if (!title.isEmpty())
        m_engine->body = QStringLiteral("<title>%1</title>\n").arg(escaped(title));
}

SvgPaintDevice::~SvgPaintDevice() = default;

QPaintEngine *SvgPaintDevice::paintEngine() const
{
    return m_engine.get();
}

QByteArray SvgPaintDevice::svg() const
{
    const QString head =
        QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                       "<svg xmlns=\"http://www.w3.org/2000/svg\" version=\"1.2\" "
                       "baseProfile=\"tiny\" width=\"%1\" height=\"%2\" viewBox=\"0 0 %1 %2\">\n")
            .arg(m_size.width())
            .arg(m_size.height());
    const QString definitions =
        m_engine->definitions.isEmpty()
            ? QString()
            : QStringLiteral("<defs>\n%1</defs>\n").arg(m_engine->definitions);
    return (head + definitions + m_engine->body + QStringLiteral("</svg>\n")).toUtf8();
}

int SvgPaintDevice::metric(PaintDeviceMetric metric) const
{
    switch (metric) {
    case PdmWidth:
        return m_size.width();
    case PdmHeight:
        return m_size.height();
    case PdmWidthMM:
        return qRound(m_size.width() * 25.4 / kDotsPerInch);
    case PdmHeightMM:
        return qRound(m_size.height() * 25.4 / kDotsPerInch);
    case PdmNumColors:
        return INT_MAX;
    case PdmDepth:
        return 32;
    case PdmDpiX:
    case PdmDpiY:
    case PdmPhysicalDpiX:
    case PdmPhysicalDpiY:
        return kDotsPerInch;
    case PdmDevicePixelRatio:
        return 1;
    case PdmDevicePixelRatioScaled:
        return int(devicePixelRatioFScale());
    }
    return 0;
}

} // namespace rangefinder
