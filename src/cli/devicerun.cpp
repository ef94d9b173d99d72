#include "cli/devicerun.h"

#include "cli/portaccess.h"
#include "cli/runend.h"

namespace rangefinder {

DeviceRun::DeviceRun(const SessionSettings &settings, QObject *parent)
    : QObject(parent), m_settings(settings), m_session(new MeasurementSession(settings, this))
{
    connect(m_session, &MeasurementSession::measured, this, &DeviceRun::measured);
    connect(m_session, &MeasurementSession::finished, this,
            [this] { end(DeviceEnding::Kind::Measured); });
    connect(m_session, &MeasurementSession::deviceAway, this, &DeviceRun::away);
    connect(m_session, &MeasurementSession::deviceBack, this, &DeviceRun::back);
    connect(m_session, &MeasurementSession::deviceLost, this, [this](const QString &reason) {
        emit lost(reason);
        end(DeviceEnding::Kind::Lost);
    });
}

bool DeviceRun::open()
{
    if (m_session->open())
        return true;
    m_openFailure = accessAdvice(portAccess(port(), m_session->openFailure()));
    end(DeviceEnding::Kind::NotOpened);
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
    end(DeviceEnding::Kind::Measured);
}

DeviceEnding DeviceRun::ending() const
{
    return endingOf(m_statistics, m_endingKind);
}

void DeviceRun::end(DeviceEnding::Kind kind)
{
    if (hasEnded())
        return;
    m_statistics.ignoredReplies = m_session->ignoredReplies();
    m_endingKind = kind;
    m_ended = true;
    emit ended();
}

} // namespace rangefinder
