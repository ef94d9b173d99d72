#include "support/namedchild.h"
#include "window/logpane.h"
#include "window/widget.h"

#include <QAbstractTextDocumentLayout>
#include <QGroupBox>
#include <QImage>
#include <QPaintEvent>
#include <QScrollBar>
#include <QTest>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextEdit>

#include <memory>

using namespace rangefinder;

// The log pane: what each line costs to draw, and how it stays within the height Qt's text
// layout handles without losing a line.
class tst_LogPane : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void paneIsOpaque();
    void newLineRepaintsOnlyTheNewStrip();
    void looksAsTheStyleSheetPaintsIt();
    void handsOlderLinesOn_data();
    void handsOlderLinesOn();

private:
    QTextEdit *pane() const { return window->findChild<QTextEdit *>(QStringLiteral("textEdit")); }
    void fill(int lines);

    std::unique_ptr<Widget> window;
};

namespace {

// Collects the paint events a widget receives.
class PaintSpy : public QObject
{
public:
    explicit PaintSpy(QWidget *watched) : QObject(watched) { watched->installEventFilter(this); }

    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Paint)
            rects << static_cast<QPaintEvent *>(event)->rect();
        return false;
    }

    QVector<QRect> rects;
};

} // namespace

void tst_LogPane::init()
{
    window = std::make_unique<Widget>();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
}

void tst_LogPane::cleanup()
{
    window.reset();
}

void tst_LogPane::fill(int lines)
{
    for (int i = 0; i < lines; ++i)
        pane()->append(QStringLiteral("接收时间 : 09:15:02.%1 测量值:17.8米")
                           .arg(i % 1000, 3, 10, QLatin1Char('0')));
    QCoreApplication::processEvents();
}

void tst_LogPane::paneIsOpaque()
{
    // Filled with the style sheet's background, white, the pane and its viewport are opaque.
    for (QWidget *widget : {static_cast<QWidget *>(pane()), pane()->viewport()}) {
        QVERIFY(widget->autoFillBackground());
        const QBrush brush = widget->palette().brush(widget->backgroundRole());
        QCOMPARE(brush.style(), Qt::SolidPattern);
        QCOMPARE(brush.color(), QColor(255, 255, 255));
    }
}

void tst_LogPane::newLineRepaintsOnlyTheNewStrip()
{
    fill(60);
    QScrollBar *bar = pane()->verticalScrollBar();
    QCOMPARE(bar->value(), bar->maximum());
    QVERIFY(bar->maximum() > 0);

    PaintSpy viewport(pane()->viewport());
    PaintSpy behind(window->findChild<QGroupBox *>(QStringLiteral("groupBox_4")));
    const int height = pane()->viewport()->height();
    // Qt's document layout keeps a checkpoint every 2000 px of text; when one falls on the
    // last line, the next append relays from that line and asks for the whole view. Which
    // line that is follows from the font's line height, so the run spans several of them.
    constexpr qreal checkpointSpacing = 2000;
    const qreal startHeight = pane()->document()->size().height();
    int lines = 0;
    while (pane()->document()->size().height() - startHeight < 3 * checkpointSpacing) {
        fill(1);
        ++lines;
    }
    QCOMPARE(bar->value(), bar->maximum());

    // What is already drawn moves up; only the new line and the strip it scrolled in are
    // painted, and nothing behind the pane.
    int wholeView = 0;
    for (const QRect &rect : viewport.rects) {
        if (rect.height() >= height / 2) {
            QCOMPARE(rect, pane()->viewport()->rect());
            ++wholeView;
        }
    }
    QVERIFY2(viewport.rects.size() >= lines, qPrintable(QString::number(viewport.rects.size())));
    QVERIFY2(wholeView <= 4,
             qPrintable(QStringLiteral("%1 of %2 lines").arg(wholeView).arg(lines)));
    QCOMPARE(behind.rects.size(), 0);
}

void tst_LogPane::looksAsTheStyleSheetPaintsIt()
{
    fill(30);
    // Grabbed through the window, so that whatever shows through the pane is drawn too.
    const QRect area(pane()->mapTo(window.get(), QPoint()), pane()->size());
    const QImage filled = window->grab(area).toImage();

    // The same pane left transparent, as the style sheet alone makes it.
    for (QWidget *widget : {static_cast<QWidget *>(pane()), pane()->viewport()}) {
        widget->setAutoFillBackground(false);
        QPalette palette = widget->palette();
        palette.setBrush(widget->backgroundRole(), Qt::NoBrush);
        widget->setPalette(palette);
    }
    QCoreApplication::processEvents();
    const QImage transparent = window->grab(area).toImage();
    QCOMPARE(filled.size(), transparent.size());
    QVERIFY(filled == transparent);
}

void tst_LogPane::handsOlderLinesOn_data()
{
    QTest::addColumn<int>("lines");
    QTest::addColumn<qreal>("limitInLines");
    QTest::addColumn<int>("linesShown");
    QTest::addColumn<int>("expectedShown");

    QTest::newRow("below the limit") << 10 << 10.5 << 4 << 10;
    QTest::newRow("first line past it") << 11 << 10.5 << 4 << 4;
    QTest::newRow("filling up again") << 17 << 10.5 << 4 << 10;
    QTest::newRow("second time past it") << 18 << 10.5 << 4 << 4;
    QTest::newRow("many times past it") << 250 << 10.5 << 4 << 4 + (250 - 11) % 7;
    // Past the height, but no more lines than it keeps on show: nothing to hand on yet.
    QTest::newRow("too few lines to hand on") << 5 << 2.5 << 5 << 5;
    QTest::newRow("then one line at a time") << 9 << 2.5 << 5 << 5;
}

void tst_LogPane::handsOlderLinesOn()
{
    QFETCH(int, lines);
    QFETCH(qreal, limitInLines);
    QFETCH(int, linesShown);
    QFETCH(int, expectedShown);

    pane()->append(QStringLiteral("接收时间 : 09:15:02.000 测量值:17.8米"));
    QCoreApplication::processEvents();
    const QTextBlock first = pane()->document()->firstBlock();
    const qreal lineHeight =
        pane()->document()->documentLayout()->blockBoundingRect(first).height();
    const qreal margins = pane()->document()->size().height() - lineHeight;
    QVERIFY(lineHeight > 10);
    auto *log = namedChild<LogPane>(window.get(), "logPane");
    log->clear();

    // Every fifth line empty: the line ends must come through exactly.
    QStringList appended;
    log->setLimits(margins + limitInLines * lineHeight, linesShown);
    for (int i = 0; i < lines; ++i) {
        const QString line = i % 5 == 4 ? QString()
                                        : QStringLiteral("接收时间 : 09:15:02.%1 测量值:17.8米")
                                              .arg(i % 1000, 3, 10, QLatin1Char('0'));
        appended << line;
        log->append(line);
    }
    QCoreApplication::processEvents();

    QCOMPARE(pane()->document()->blockCount(), expectedShown);
    const QString shown = pane()->toPlainText();
    QCOMPARE(log->text(), appended.join(QLatin1Char('\n')));
    QVERIFY(log->text().endsWith(shown));
    QCOMPARE(log->text().chopped(shown.size()).count(QLatin1Char('\n')), lines - expectedShown);
    // The newest line is still the one in view.
    QScrollBar *bar = pane()->verticalScrollBar();
    QCOMPARE(bar->value(), bar->maximum());
    QCOMPARE(pane()->textCursor().position(), pane()->document()->characterCount() - 1);
}

QTEST_MAIN(tst_LogPane)
#include "tst_logpane.moc"
