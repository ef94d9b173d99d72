#pragma once

#include <QByteArray>

namespace rangefinder {

// The one request the device understands: "measure once". Every measurement, single or
// continuous, sends these eight bytes unchanged.
constexpr int kFrameSize = 8;

QByteArray commandFrame();

// Low 8 bits of the sum of bytes 2 to 6, the device's check byte at index 7.
quint8 frameChecksum(const QByteArray &frame);

// Whether the reply's last byte (index 7) is the low 8 bits of the sum of bytes 2 to 6, as in
// the command frame. The window does not ask; a test bench may want to.
enum class CheckByte { Match, Mismatch, Absent };
CheckByte checkByteOf(const QByteArray &reply);

} // namespace rangefinder
