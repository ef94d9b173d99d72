#include "ui_widget.h"
#include "window/widget.h"

#include "core/commandframe.h"
#include "core/interval.h"
#include "core/measurementtext.h"

#include <QDateTime>
#include <QDebug>
#include <QMessageBox>
#include <QSerialPort>
#include <QTimer>

using namespace rangefinder;

void Widget::oneSendBtnClicked()
{
    sendCommand();
}

void Widget::sendData()
{
    const QByteArray frame = sendCommand();
    // The frame's bytes as text, not hex: the debug line scripts already follow.
    qDebug() << "send data:" << QString::fromUtf8(frame.constData(), frame.size());
}

QByteArray Widget::sendCommand()
{
    const QByteArray frame = commandFrame();
    // The line records when the command was issued, so it comes first whatever the write does.
    appendLog(sendLine(QDateTime::currentDateTime()));

    if (!serial->isOpen()) {
        appendLog(sendFailureLine(tr("串口未打开")));
        return frame;
    }
    if (serial->write(frame.constData(), frame.size()) != frame.size())
        appendLog(sendFailureLine(serial->errorString()));
    else
        awaitReply();
    return frame;
}

void Widget::continueSendBtnClicked()
{
    if (!continuousIdle) {
        sendTimer->stop();
        continuousIdle = true;
        return;
    }

    const std::optional<int> interval = parseInterval(ui->timeLineEdit->text());
    if (!interval) {
        QMessageBox::information(this, tr("Error Message"),
                                 tr("测量间隔无效：请输入正整数（毫秒）"), QMessageBox::Ok,
                                 QMessageBox::NoButton);
        return;
    }
    sendTimer->start(*interval);
    continuousIdle = false;
}
