#pragma once

#include "simulator/devicesimulator.h"

#include <QThread>
#include <QVector>

namespace rangefinder {

// The device on a thread of its own: its timing then does not depend on how busy the test's
// thread is, and it goes on writing while that thread works.
class DeviceThread
{
public:
    DeviceThread() : device(new DeviceSimulator)
    {
        device->moveToThread(&thread);
        thread.start();
    }
    ~DeviceThread()
    {
        QMetaObject::invokeMethod(
            device, [this] { delete device; }, Qt::BlockingQueuedConnection);
        thread.quit();
        thread.wait();
    }
    DeviceThread(const DeviceThread &) = delete;
    DeviceThread &operator=(const DeviceThread &) = delete;

    QThread thread;
    DeviceSimulator *device;
};

// What the device recorded of one kind, oldest first.
inline QVector<SimulatorEvent> eventsOf(const DeviceSimulator &device, SimulatorEvent::Kind kind)
{
    QVector<SimulatorEvent> found;
    for (const SimulatorEvent &event : device.events()) {
        if (event.kind == kind)
            found << event;
    }
    return found;
}

} // namespace rangefinder
