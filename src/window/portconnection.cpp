#include "ui_widget.h"
#include "window/widget.h"

#include "core/linesettings.h"
#include "core/measurementtext.h"
#include "core/portfault.h"
#include "core/receivepath.h"

#include <QDebug>
#include <QMessageBox>
#include <QSerialPort>
#include <QSerialPortInfo>
#include <QSignalBlocker>
#include <QTimer>

#include <iterator>

using namespace rangefinder;

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
    // Says nothing, yet kept: whoever follows the debug output knows its lines as they are.
    qDebug() << "11111111" << ui->openBtn->text();
    if (serial->isOpen())
        return;

    serial->setPortName(ui->portCBox->currentText());
    if (!serial->open(QIODevice::ReadWrite)) {
        // Title and text as operators know them; the box has no parent, so it stands apart.
        QMessageBox::information(nullptr, tr("QSerial ERROR"), tr("打开串口失败"), QMessageBox::Ok,
                                 QMessageBox::NoButton);
        return;
    }

    // A port that refuses a setting is used as it stands.
    const int index = ui->baudCBox->currentIndex();
    const bool listed = index >= 0 && index < int(std::size(kBaudRates));
    applyLineSettings(*serial, listed ? kBaudRates[index] : serial->baudRate());

    // A new link starts clean: replies the port queued for an earlier program, and a burst or
    // residue from the previous link, would be shown as this device's measurements.
    serial->clear(QSerialPort::Input);
    rxTimer->stop();
    rxBuffer.clear();
    rxCarry = BurstCarry();
    awaitedSends.clear();
    rxFramePos = 0;

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
    if (!serial->isOpen())
        return;
    // A device that is unplugged (or a pseudo-terminal whose other side closes) makes the port
    // report read errors in a tight loop for as long as it stays open, so the link ends here.
    const bool gone = error == QSerialPort::ResourceError || error == QSerialPort::ReadError;
    const QString portText = serial->errorString();
    // The port took the command and only now says that it could not send it: the send line
    // must not stand as if it had gone out.
    if (error == QSerialPort::WriteError || (gone && serial->bytesToWrite() > 0))
        appendLog(sendFailureLine(portText));
    // Calls on a port that is failing report errors of their own, which must not come back here.
    QSignalBlocker blocker(serial);
    if (error == QSerialPort::WriteError) {
        // Not tried again, so a failure is reported once.
        serial->clear(QSerialPort::Output);
        serial->clearError();
    }
    if (!gone)
        return;
    // A reply that arrived whole just before is still shown; a part of one is dropped with the
    // link, so that it never joins a burst of the next one.
    const QByteArray rest = serial->readAll();
    blocker.unblock();
    collectBytes(rxBuffer, rest);
    decodeBurst(BurstEnd::Silence);
    rxBuffer.clear();

    QString reason = tr("串口连接已断开：") + tr("设备已被拔出或不再应答");
    if (portTextSaysMore(portText))
        reason += QStringLiteral("（%1）").arg(portText);
    closeLink();
    QMessageBox::information(nullptr, tr("QSerial ERROR"), reason, QMessageBox::Ok,
                             QMessageBox::NoButton);
}
