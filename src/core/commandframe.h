#pragma once

#include <QByteArray>

// The one request the device understands: "measure once". Every measurement, single or
// continuous, sends these eight bytes unchanged.
constexpr int kFrameSize = 8;

QByteArray commandFrame();

// Low 8 bits of the sum of bytes 2 to 6, the device's check byte at index 7.
quint8 frameChecksum(const QByteArray &frame);
