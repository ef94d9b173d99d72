#pragma once

#include <QCoreApplication>
#include <QGuiApplication>

namespace rangefinder {

// The window grows with the display's scale (150 % on many laptops) as Windows' own windows do;
// Qt 5 keeps a window's pixel size unless asked, and its texts then outgrow their fixed widths.
// At 96 dpi the factor is 1 and nothing changes. Called before the application object exists.
inline void scaleWithDisplay()
{
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
#if QT_VERSION >= QT_VERSION_CHECK(5, 14, 0)
    // 150 % as 1.5, not rounded to 2.
    QGuiApplication::setHighDpiScaleFactorRoundingPolicy(
        Qt::HighDpiScaleFactorRoundingPolicy::PassThrough);
#endif
}

} // namespace rangefinder
