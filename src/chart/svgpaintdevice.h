#pragma once

#include <QByteArray>
#include <QPaintDevice>
#include <QSize>
#include <QString>

#include <memory>

namespace rangefinder {

class SvgPaintEngine;

// A paint device that writes what is painted on it as SVG: paths, polygons, shapes and text
// with their pens, brushes, transforms and clips, so that the code that paints a PNG paints the
// SVG too, without Qt SVG (which links Qt Widgets). Solid colours only; images are left out.
// Text is written as text, in the font's family and pixel size, at 96 dots per inch.
class SvgPaintDevice : public QPaintDevice
{
public:
    explicit SvgPaintDevice(const QSize &size, const QString &title = QString());
    ~SvgPaintDevice() override;

    QPaintEngine *paintEngine() const override;
    // The document, whole once the painter has ended.
    QByteArray svg() const;

protected:
    int metric(PaintDeviceMetric metric) const override;

private:
    QSize m_size;
    std::unique_ptr<SvgPaintEngine> m_engine;
};

} // namespace rangefinder
