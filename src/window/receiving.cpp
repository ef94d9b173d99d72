#include "ui_widget.h"
#include "window/widget.h"

#include "core/measurementtext.h"
#include "core/receivepath.h"

#include <QDateTime>
#include <QDebug>
#include <QSerialPort>
#include <QTimer>

void Widget::com_delay()
{
    rxTimer->start(kBurstSilenceMs);
    // A line that never falls silent would otherwise keep the burst open for ever.
    if (collectBytes(rxBuffer, serial->readAll()))
        decodeBurst();
}

void Widget::serialRead()
{
    decodeBurst();
}

void Widget::decodeBurst()
{
    rxTimer->stop();
    const BurstOutcome outcome = endBurst(rxBuffer, rxFrame);
    const QDateTime now = QDateTime::currentDateTime();
    for (const BurstReply &reply : outcome.replies) {
        if (hasLogLine(reply.reply))
            appendLog(receiveLine(reply.reply, selectedUnit(), now));
    }
    // Nothing left the buffer when a short reply waits there for its rest.
    if (!outcome.burst.isEmpty())
        qDebug() << "....." << outcome.burst.toHex();
}

// Connected to nothing, on purpose: the window decodes bursts (com_delay), and this would take
// their bytes. It stays one of the window's slots, whose names callers look up.
void Widget::readData()
{
    const QByteArray bytes = serial->readAll();
    if (bytes.isEmpty())
        return;
    const AssembledOutcome outcome =
        assembleByte(rxFrame, rxFramePos, static_cast<quint8>(bytes.at(0)));
    if (!outcome.complete)
        return;

    QString trace;
    for (char byte : outcome.frame)
        trace += QLatin1Char(' ') + QString::number(static_cast<quint8>(byte));
    qDebug().noquote() << trace;

    if (hasLogLine(outcome.reply))
        appendLog(frameLine(outcome.reply, selectedUnit()));
}

LengthUnit Widget::selectedUnit() const
{
    if (ui->yardsRadioButton->isChecked())
        return LengthUnit::Yard;
    if (ui->ftRadioButton->isChecked())
        return LengthUnit::Foot;
    return LengthUnit::Metre;
}
