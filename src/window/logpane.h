#pragma once

#include <QObject>
#include <QString>

class QTextEdit;

namespace rangefinder {

// Qt 5's text layout stops being incremental once a document is about 21.47 million px tall:
// from there each new line lays the whole document out again and the window stops responding
// (about 580,000 lines of the log pane's font, 97 minutes of measuring every 20 ms). The pane
// stays well below that height.
constexpr qreal kLogPaneHeightLimit = 16e6;
// The newest lines the pane keeps on show when it hands its older lines on.
constexpr int kLogPaneLinesShown = 1000;

// The log as the window keeps it: the pane shows the newest lines, and once the pane is taller
// than the height limit, all but its newest linesShown lines move out of it into a plain text
// kept here. text() is always the whole log, for saving.
class LogPane : public QObject
{
    Q_OBJECT

public:
    explicit LogPane(QTextEdit *pane, QObject *parent = nullptr);

    // True when the pane handed its older lines on to make room.
    bool append(const QString &line);
    // The lines the pane no longer shows, each ended by '\n', then the pane's plain text.
    QString text() const;
    void clear();
    // Tests and the benchmark lower the height to get to the hand-on quickly.
    void setLimits(qreal heightPx, int linesShown);

private:
    QTextEdit *m_pane;
    QString m_earlier;
    qreal m_heightLimit = kLogPaneHeightLimit;
    int m_linesShown = kLogPaneLinesShown;
};

} // namespace rangefinder
