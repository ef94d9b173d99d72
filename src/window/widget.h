#pragma once

#include "core/measurementtext.h"
#include "core/receivepath.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QSerialPort>
#include <QVector>
#include <QWidget>

class QTimer;

namespace rangefinder {
class LogPane;
}

namespace Ui {
class Widget;
}

// Outside the project's namespace: its meta-object names it "Widget", the name by which the
// benchmark, the tests and QMetaObject callers find the window and its slots.
class Widget : public QWidget
{
    Q_OBJECT

public:
    explicit Widget(QWidget *parent = nullptr);
    ~Widget() override;

private slots:
    void openSerialButtonClicked();
    void closeBtnClicked();
    void readData();
    void oneSendBtnClicked();
    void continueSendBtnClicked();
    void groupBoxClicked();
    void saveFile();
    void autoScroll();
    void sendData();
    void com_delay();
    void serialRead();
    void clearText();

private:
    void initWidget();

    // Plain helpers, not slots: the slots share work through these, never by calling each other.
    void scanPorts();
    void closeLink();
    void serialErrorOccurred(QSerialPort::SerialPortError error);
    QByteArray sendCommand();
    void decodeBurst(rangefinder::BurstEnd end);
    void awaitReply();
    rangefinder::LengthUnit selectedUnit() const;
    void appendLog(const QString &line);

    Ui::Widget *ui;
    QSerialPort *serial;
    bool continuousIdle;
    QTimer *sendTimer;
    QTimer *rxTimer;
    int rxFramePos;
    quint8 rxFrame[8];
    QByteArray rxBuffer;
    rangefinder::BurstCarry rxCarry;
    // When each command still waiting for its reply went out, on sendClock: a reply beyond
    // those is noise.
    QVector<qint64> awaitedSends;
    QElapsedTimer sendClock;
    // Found by its object name by the tests and the benchmark, which lower its limits.
    rangefinder::LogPane *logPane;
};
