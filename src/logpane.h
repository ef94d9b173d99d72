#pragma once

#include <QtGlobal>

class QString;
class QTextEdit;

// Qt 5's text layout stops being incremental once a document is about 21.47 million px tall:
// from there each new line lays the whole document out again and the window stops responding
// (about 580,000 lines of the log pane's font, 97 minutes of measuring every 20 ms). The pane
// stays well below that height.
constexpr qreal kLogPaneHeightLimit = 16e6;
// The newest lines the pane keeps on show when it hands its older lines on.
constexpr int kLogPaneLinesShown = 1000;

// Appends line to the pane. Once the pane is taller than heightLimit, all but its newest
// linesShown lines move from the pane to the end of earlier, as plain text with each line
// ended by '\n': earlier followed by the pane's plain text is then the whole log.
void appendLogLine(QTextEdit *pane, QString &earlier, const QString &line,
                   qreal heightLimit = kLogPaneHeightLimit, int linesShown = kLogPaneLinesShown);
