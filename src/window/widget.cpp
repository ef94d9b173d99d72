#include "window/widget.h"
#include "ui_widget.h"

#include "window/logpane.h"

#include <QFont>
#include <QIcon>
#include <QMessageBox>
#include <QPalette>
#include <QPixmap>
#include <QSerialPort>
#include <QTextCursor>
#include <QTimer>

using namespace rangefinder;

Widget::Widget(QWidget *parent)
    : QWidget(parent), ui(new Ui::Widget), continuousIdle(true), rxFramePos(0), rxBuffer()
{
    ui->setupUi(this);
    sendClock.start();

    // The window owns the port and the timers so that nothing outlives it; the object
    // names let tests and tools find them without reaching into private members.
    serial = new QSerialPort(this);
    serial->setObjectName(QStringLiteral("serial"));
    sendTimer = new QTimer(this);
    sendTimer->setObjectName(QStringLiteral("sendTimer"));
    rxTimer = new QTimer(this);
    rxTimer->setObjectName(QStringLiteral("rxTimer"));
    logPane = new LogPane(ui->textEdit, this);
    logPane->setObjectName(QStringLiteral("logPane"));

    QFont font;
    font.setPointSize(36);
    ui->textEdit->setFont(font);

    // The window's style sheet paints the log pane's background itself, which leaves the pane
    // and its viewport transparent: each new line then repaints the whole pane and everything
    // behind it, and scrolling cannot move what is already drawn. Filled with the same colour
    // they are opaque and look the same. Polished first: polishing takes the viewport's fill away.
    ui->textEdit->ensurePolished();
    const QBrush paneBrush = ui->textEdit->palette().brush(QPalette::Base);
    for (QWidget *pane : {static_cast<QWidget *>(ui->textEdit), ui->textEdit->viewport()}) {
        QPalette palette = pane->palette();
        palette.setBrush(pane->backgroundRole(), paneBrush);
        pane->setPalette(palette);
        pane->setAutoFillBackground(true);
    }

    scanPorts();
    ui->portCBox->setCurrentIndex(0);

    setWindowIcon(QIcon(QStringLiteral(":/images/title.png")));

    for (quint8 &byte : rxFrame)
        byte = 0;

    initWidget();
}

Widget::~Widget()
{
    delete ui;
}

void Widget::initWidget()
{
    ui->logoLabel->setPixmap(QPixmap(QStringLiteral(":/images/logo.png")));
    ui->value_label->setPixmap(QPixmap(QStringLiteral(":/images/value1.png")));

    connect(ui->openBtn, &QAbstractButton::clicked, this, &Widget::openSerialButtonClicked);
    connect(ui->closeBtn, &QAbstractButton::clicked, this, &Widget::closeBtnClicked);
    connect(ui->oneSendBtn, &QAbstractButton::clicked, this, &Widget::oneSendBtnClicked);
    connect(ui->continueSendBtn, &QAbstractButton::clicked, this, &Widget::continueSendBtnClicked);
    connect(ui->groupBox, &QGroupBox::clicked, this, &Widget::groupBoxClicked);
    connect(ui->saveFileBtn, &QAbstractButton::clicked, this, &Widget::saveFile);
    connect(ui->textEdit, &QTextEdit::textChanged, this, &Widget::autoScroll);
    connect(sendTimer, &QTimer::timeout, this, &Widget::sendData);
    connect(ui->clearBtn, &QAbstractButton::clicked, this, &Widget::clearText);
}

void Widget::appendLog(const QString &line)
{
    logPane->append(line);
}

void Widget::clearText()
{
    logPane->clear();
}

void Widget::autoScroll()
{
    // A cursor already at the end stays there as lines are appended, and appending scrolls to
    // it; moving it there again would lay the last line out once more for every line logged.
    const QTextCursor cursor = ui->textEdit->textCursor();
    if (cursor.atEnd() && !cursor.hasSelection())
        return;
    ui->textEdit->moveCursor(QTextCursor::End, QTextCursor::MoveAnchor);
}

// Boxes that only name the unit (the yard's, the metre's by its object name; none for feet):
// kept as they are, since operators are used to them.
void Widget::groupBoxClicked()
{
    if (ui->yardsRadioButton->isChecked())
        QMessageBox::information(nullptr, tr("yard"), tr("yard"), QMessageBox::Ok,
                                 QMessageBox::NoButton);
    if (ui->metreRadioButton->isChecked())
        QMessageBox::information(nullptr, tr("metreRadioButton"), tr("metreRadioButton"),
                                 QMessageBox::Ok, QMessageBox::NoButton);
}
