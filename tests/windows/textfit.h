#pragma once

#include <QString>
#include <QVector>

class QWidget;

namespace rangefinder {

// How much room each text of a laid-out window has, in its widget's own pixels: a text wider
// than its room is cut, or touches its widget's edges. Labels, buttons, radio buttons, group
// box titles and line edits; empty texts (pictures) are left out.
struct TextFit
{
    QString name;
    QString text;
    int needed = 0;
    int room = 0;
    bool fits() const { return needed <= room; }
};

QVector<TextFit> textFits(const QWidget *window);

} // namespace rangefinder
