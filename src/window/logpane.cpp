#include "window/logpane.h"

#include <QTextBlock>
#include <QTextDocument>
#include <QTextEdit>

namespace rangefinder {

LogPane::LogPane(QTextEdit *pane, QObject *parent) : QObject(parent), m_pane(pane) {}

bool LogPane::append(const QString &line)
{
    m_pane->append(line);
    QTextDocument *document = m_pane->document();
    if (document->size().height() <= m_heightLimit || document->blockCount() <= m_linesShown)
        return false;

    // Removing the older lines block by block would cost seconds at this size; setting the
    // pane anew costs a fraction of that and lays out only the lines still on show.
    const int cut = document->findBlockByNumber(document->blockCount() - m_linesShown).position();
    const QString text = m_pane->toPlainText();
    m_earlier += text.leftRef(cut);
    m_pane->setPlainText(text.mid(cut));
    return true;
}

QString LogPane::text() const
{
    return m_earlier + m_pane->toPlainText();
}

void LogPane::clear()
{
    m_pane->clear();
    m_earlier.clear();
}

void LogPane::setLimits(qreal heightPx, int linesShown)
{
    m_heightLimit = heightPx;
    m_linesShown = linesShown;
}

} // namespace rangefinder
