#include "logpane.h"

#include <QTextBlock>
#include <QTextDocument>
#include <QTextEdit>

void appendLogLine(QTextEdit *pane, QString &earlier, const QString &line, qreal heightLimit,
                   int linesShown)
{
    pane->append(line);
    QTextDocument *document = pane->document();
    if (document->size().height() <= heightLimit || document->blockCount() <= linesShown)
        return;

    // Removing the older lines block by block would cost seconds at this size; setting the
    // pane anew costs a fraction of that and lays out only the lines still on show.
    const int cut = document->findBlockByNumber(document->blockCount() - linesShown).position();
    const QString text = pane->toPlainText();
    earlier += text.leftRef(cut);
    pane->setPlainText(text.mid(cut));
}
