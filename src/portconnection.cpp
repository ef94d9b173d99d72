#include "ui_widget.h"
#include "widget.h"

#include <QDebug>
#include <QMessageBox>
#include <QSerialPort>
#include <QSerialPortInfo>
#include <QTimer>

void Widget::scanPorts()
{
    // Only ports that can really be opened are offered; each is opened and closed at once.
    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : ports) {
        serial->setPort(info);
        if (serial->open(QIODevice::ReadWrite)) {
            ui->portCBox->addItem(serial->portName());
            serial->close();
        }
    }
}

void Widget::openSerialButtonClicked()
{
    qDebug() << "11111111" << ui->openBtn->text();
    if (serial->isOpen())
        return;

    serial->setPortName(ui->portCBox->currentText());
    if (!serial->open(QIODevice::ReadWrite)) {
        QMessageBox::information(nullptr, tr("QSerial ERROR"), tr("打开串口失败"), QMessageBox::Ok,
                                 QMessageBox::NoButton);
        return;
    }

    switch (ui->baudCBox->currentIndex()) {
    case 0:
        serial->setBaudRate(QSerialPort::Baud9600, QSerialPort::AllDirections);
        break;
    case 1:
        serial->setBaudRate(QSerialPort::Baud115200, QSerialPort::AllDirections);
        break;
    case 2:
        serial->setBaudRate(230400, QSerialPort::AllDirections);
        break;
    default:
        break;
    }
    serial->setDataBits(QSerialPort::Data8);
    serial->setParity(QSerialPort::NoParity);
    serial->setStopBits(QSerialPort::OneStop);
    serial->setFlowControl(QSerialPort::NoFlowControl);

    ui->portCBox->setEnabled(false);
    ui->baudCBox->setEnabled(false);
    ui->openBtn->setEnabled(false);
    ui->closeBtn->setEnabled(true);

    // Made by the first successful open and kept: a reopened port must not deliver its bytes
    // twice, so later opens find the connections in place and add none.
    connect(serial, &QSerialPort::readyRead, this, &Widget::com_delay, Qt::UniqueConnection);
    connect(rxTimer, &QTimer::timeout, this, &Widget::serialRead, Qt::UniqueConnection);
    connect(serial, &QSerialPort::errorOccurred, this, &Widget::serialErrorOccurred,
            Qt::UniqueConnection);
}

void Widget::closeBtnClicked()
{
    closeLink();
}

void Widget::closeLink()
{
    sendTimer->stop();
    continuousIdle = true;
    if (!serial->isOpen())
        return;

    serial->close();
    ui->portCBox->setEnabled(true);
    ui->baudCBox->setEnabled(true);
    ui->openBtn->setEnabled(true);
    ui->closeBtn->setEnabled(false);
}

void Widget::serialErrorOccurred(QSerialPort::SerialPortError error)
{
    // A device that is unplugged (or a pseudo-terminal whose other side closes) makes the port
    // report read errors in a tight loop for as long as it stays open, so the link ends here.
    if (error != QSerialPort::ResourceError && error != QSerialPort::ReadError)
        return;
    if (!serial->isOpen())
        return;

    const QString reason = serial->errorString();
    closeLink();
    QMessageBox::information(nullptr, tr("QSerial ERROR"), tr("串口连接已断开：") + reason,
                             QMessageBox::Ok, QMessageBox::NoButton);
}
