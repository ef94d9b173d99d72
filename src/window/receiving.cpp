#include "ui_widget.h"
#include "window/widget.h"

#include "core/awaitedreplies.h"
#include "core/measurementtext.h"
#include "core/receivepath.h"

#include <QDateTime>
#include <QDebug>
#include <QSerialPort>
#include <QTimer>

using namespace rangefinder;

void Widget::com_delay()
{
    rxTimer->start(kBurstSilenceMs);
    // A line that never falls silent would otherwise keep the burst open for ever.
    if (collectBytes(rxBuffer, serial->readAll()))
        decodeBurst(BurstEnd::Size);
}

void Widget::serialRead()
{
    decodeBurst(BurstEnd::Silence);
}

void Widget::decodeBurst(BurstEnd end)
{
    // A burst cut by its size still ends when the line falls silent: then what it kept is
    // judged, and its rest is read as a burst of its own again.
    if (end == BurstEnd::Silence)
        rxTimer->stop();
    const BurstOutcome outcome = endBurst(rxBuffer, rxFrame, end, &rxCarry);
    const QDateTime now = QDateTime::currentDateTime();
    // Noise that passes for replies behind the answers shows nothing; its bytes are in the
    // diagnostic below with the rest of the burst.
    const int answers = takeAnswers(awaitedSends, sendClock.elapsed(), outcome.replies.size());
    for (int i = 0; i < answers; ++i) {
        if (hasLogLine(outcome.replies.at(i).reply))
            appendLog(receiveLine(outcome.replies.at(i).reply, selectedUnit(), now));
    }
    // Nothing left the buffer when a short reply waits there for its rest.
    if (!outcome.burst.isEmpty())
        qDebug() << "....." << outcome.burst.toHex();
}

// A command has gone out: the next reply is its answer, if it comes in time.
void Widget::awaitReply()
{
    takeAnswers(awaitedSends, sendClock.elapsed(), 0);
    awaitedSends.append(sendClock.elapsed());
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
