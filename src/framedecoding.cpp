#include "ui_widget.h"
#include "widget.h"

#include "measurementtext.h"
#include "replyframe.h"

#include <QDateTime>
#include <QDebug>
#include <QSerialPort>
#include <QTimer>

#include <algorithm>

void Widget::serialRead()
{
    decodeBurst();
}

void Widget::decodeBurst()
{
    rxTimer->stop();
    // A short burst is the start of a reply whose rest is still on its way.
    if (!frameFromBurst(rxBuffer, rxFrame))
        return;

    const Reply reply = replyFromFrame(rxFrame);
    const QString line = receiveLine(reply, selectedUnit(), QDateTime::currentDateTime());
    if (reply.raw != 0)
        ui->textEdit->append(line);
    qDebug() << "....." << rxBuffer.toHex();
    rxBuffer.clear();
}

void Widget::readData()
{
    const QByteArray bytes = serial->readAll();
    if (bytes.isEmpty())
        return;
    if (!assembleFrameByte(rxFrame, rxFramePos, static_cast<quint8>(bytes.at(0))))
        return;

    QString trace;
    for (quint8 byte : rxFrame)
        trace += QLatin1Char(' ') + QString::number(byte);
    qDebug().noquote() << trace;

    const Reply reply = replyFromFrame(rxFrame);
    if (reply.raw != 0)
        ui->textEdit->append(frameLine(reply, selectedUnit()));

    rxFramePos = 0;
    std::fill(std::begin(rxFrame), std::end(rxFrame), quint8(0));
}

LengthUnit Widget::selectedUnit() const
{
    if (ui->yardsRadioButton->isChecked())
        return LengthUnit::Yard;
    if (ui->ftRadioButton->isChecked())
        return LengthUnit::Foot;
    return LengthUnit::Metre;
}
