#pragma once

#include "devicesimulator.h"

#include <QThread>

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
