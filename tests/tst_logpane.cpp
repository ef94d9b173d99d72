#include "widget.h"

#include <QGroupBox>
#include <QImage>
#include <QPaintEvent>
#include <QScrollBar>
#include <QTest>
#include <QTextEdit>

#include <memory>

// The log pane repaints on every line; what each line costs to draw.
class tst_LogPane : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void paneIsOpaque();
    void newLineRepaintsOnlyTheNewStrip();
    void looksAsTheStyleSheetPaintsIt();

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
    for (int i = 0; i < 10; ++i) {
        fill(1);
        QCoreApplication::processEvents();
    }
    QCOMPARE(bar->value(), bar->maximum());

    // What is already drawn moves up; only the new line and the strip it scrolled in are
    // painted, and nothing behind the pane.
    QVERIFY(!viewport.rects.isEmpty());
    for (const QRect &rect : viewport.rects)
        QVERIFY2(rect.height() < height / 2,
                 qPrintable(QStringLiteral("%1 of %2").arg(rect.height()).arg(height)));
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

QTEST_MAIN(tst_LogPane)
#include "tst_logpane.moc"
