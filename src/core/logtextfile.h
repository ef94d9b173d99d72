#pragma once

#include <QByteArray>
#include <QString>

class QTextCodec;

namespace rangefinder {

// True if codec turns text into bytes that read back as the same text. Unlike canEncode() it
// holds for Windows' locale codec, which reports no unmappable characters.
bool encodesWithoutLoss(const QTextCodec *codec, const QString &text);

// Writes bytes to path. A regular file is replaced only once every byte has been written; on
// failure it keeps its old content, false is returned and errorString (if given) says why. A
// device or a pipe is written to in place.
bool saveBytes(const QString &path, const QByteArray &bytes, QString *errorString = nullptr);

// Writes the log text to path as it is, with saveBytes: no header, no byte-order mark, no line
// feed added, line ends untranslated. The text is encoded in the locale's encoding when that can
// represent all of it, in UTF-8 otherwise.
bool saveLogText(const QString &path, const QString &text, QString *errorString = nullptr);

} // namespace rangefinder
