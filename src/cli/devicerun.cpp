#include "cli/devicerun.h"

#include "cli/options.h"
#include "cli/portaccess.h"

DeviceRun::DeviceRun(const SessionSettings &settings, QObject *parent)
    : QObject(parent), m_settings(settings), m_session(new MeasurementSession(settings, this))
{
    connect(m_session, &MeasurementSession::measured, this, &DeviceRun::measured);
    connect(m_session, &MeasurementSession::finished, this,
            [this] { end(exitCodeOf(m_statistics)); });
    connect(m_session, &MeasurementSession::deviceAway, this, &DeviceRun::away);
    connect(m_session, &MeasurementSession::deviceBack, this, &DeviceRun::back);
    connect(m_session, &MeasurementSession::deviceLost, this, [this](const QString &reason) {
        emit lost(reason);
        end(kExitDeviceLost);
    });
}

bool DeviceRun::open()
{
    if (m_session->open())
        return true;
    const QSerialPort::SerialPortError error = m_session->openError();
    // Line settings refused are no matter of access.
    m_openFailure = error == QSerialPort::NoError
                        ? m_session->errorString()
                        : accessAdvice(portAccess(port(), error, m_session->errorString()));
    end(kExitPortUnusable);
    return false;
}

void DeviceRun::start()
{
    m_session->start();
}

void DeviceRun::stop()
{
    if (hasEnded())
        return;
    m_session->stop();
    end(exitCodeOf(m_statistics));
}

void DeviceRun::end(int exitCode)
{
    if (hasEnded())
        return;
    m_statistics.ignoredReplies = m_session->ignoredReplies();
    m_exitCode = exitCode;
    emit ended();
}
