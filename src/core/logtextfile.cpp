#include "core/logtextfile.h"

#include <QByteArray>
#include <QFile>
#include <QFileDevice>
#include <QFileInfo>
#include <QSaveFile>
#include <QTextCodec>

namespace rangefinder {

namespace {

QByteArray encode(const QString &text)
{
    // A log that the locale cannot represent (Chinese on a Western machine) would otherwise
    // turn into question marks, or into best-fit look-alikes (n for ñ) on Windows.
    QTextCodec *codec = QTextCodec::codecForLocale();
    if (encodesWithoutLoss(codec, text))
        return codec->fromUnicode(text);
    return text.toUtf8();
}

// A write can be cut short without an error being set (a file size limit does that); writing
// the rest then fails with the real reason.
bool writeAll(QFileDevice &file, const QByteArray &bytes)
{
    qint64 done = 0;
    while (done < bytes.size()) {
        const qint64 written = file.write(bytes.constData() + done, bytes.size() - done);
        if (written <= 0)
            return false;
        done += written;
    }
    return file.flush();
}

bool fail(const QFileDevice &file, QString *errorString)
{
    if (errorString)
        *errorString = file.errorString();
    return false;
}

// A device or a pipe cannot be replaced: QSaveFile would put a regular file in its place and
// report success. It is written to directly instead.
bool writeInPlace(const QString &path, const QByteArray &bytes, QString *errorString)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered) || !writeAll(file, bytes))
        return fail(file, errorString);
    file.close();
    if (file.error() != QFileDevice::NoError)
        return fail(file, errorString);
    return true;
}

} // namespace

bool encodesWithoutLoss(const QTextCodec *codec, const QString &text)
{
    return codec && codec->toUnicode(codec->fromUnicode(text)) == text;
}

bool saveBytes(const QString &path, const QByteArray &bytes, QString *errorString)
{
    const QFileInfo target(path);
    if (target.exists() && !target.isFile() && !target.isDir())
        return writeInPlace(path, bytes, errorString);

    QSaveFile file(path);
    // A directory that allows no temporary file may still hold a writable file.
    file.setDirectWriteFallback(true);
    // Unbuffered: a buffered tail is written by commit(), which in Qt 5.15 does not fail when
    // that write does, and would put the cut file in place of the old one.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return fail(file, errorString);
    if (!writeAll(file, bytes)) {
        fail(file, errorString);
        file.cancelWriting();
        return false;
    }
    if (!file.commit())
        return fail(file, errorString);
    return true;
}

bool saveLogText(const QString &path, const QString &text, QString *errorString)
{
    return saveBytes(path, encode(text), errorString);
}

} // namespace rangefinder
