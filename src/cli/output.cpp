#include "cli/output.h"

#include "core/logtextfile.h"
#include "toolsupport/signalwatcher.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QPair>
#include <QVector>

#include <cerrno>
#include <cstdlib>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace rangefinder {

namespace {

#ifdef Q_OS_UNIX
bool sameFile(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The standard stream whose file path is, if any.
FILE *standardStreamAt(const QString &path)
{
    struct stat target = {};
    if (::stat(bytesOfName(path).constData(), &target) != 0)
        return nullptr;
    for (FILE *stream : {stdout, stderr}) {
        struct stat own = {};
        if (::fstat(::fileno(stream), &own) == 0 && sameFile(own, target))
            return stream;
    }
    return nullptr;
}

// What tells two names of one file from names of two: the device and inode of a file that
// exists, the absolute path of one still to be made. regular: the file can be replaced, and so
// lost (a device or a pipe cannot).
QString identityOf(const QString &path, bool *regular, int fd = -1)
{
    struct stat status = {};
    const bool known =
        fd >= 0 ? ::fstat(fd, &status) == 0 : ::stat(bytesOfName(path).constData(), &status) == 0;
    if (known) {
        *regular = S_ISREG(status.st_mode);
        return QStringLiteral("%1:%2").arg(status.st_dev).arg(status.st_ino);
    }
    *regular = fd < 0;
    return QFileInfo(path).absoluteFilePath();
}
#else
FILE *standardStreamAt(const QString &)
{
    return nullptr;
}

QString identityOf(const QString &path, bool *regular, int fd = -1)
{
    *regular = fd < 0;
    const QFileInfo file(path);
    return file.exists() ? file.canonicalFilePath() : file.absoluteFilePath();
}
#endif

// The length of the UTF-8 sequence at bytes, 0 when none starts there.
int utf8Length(const uchar *bytes, int left)
{
    const uchar lead = bytes[0];
    const int length = lead < 0x80                   ? 1
                       : lead >= 0xC2 && lead < 0xE0 ? 2
                       : lead >= 0xE0 && lead < 0xF0 ? 3
                       : lead >= 0xF0 && lead < 0xF5 ? 4
                                                     : 0;
    if (length == 0 || length > left)
        return 0;
    for (int i = 1; i < length; ++i) {
        if ((bytes[i] & 0xC0) != 0x80)
            return 0;
    }
    // Overlong forms, surrogates and code points past U+10FFFF are not UTF-8.
    const bool invalid = (lead == 0xE0 && bytes[1] < 0xA0) || (lead == 0xED && bytes[1] >= 0xA0) ||
                         (lead == 0xF0 && bytes[1] < 0x90) || (lead == 0xF4 && bytes[1] >= 0x90);
    return invalid ? 0 : length;
}

constexpr ushort kEscapedByte = 0xDC00; // plus a byte of 0x80 or more

QString named(const NamedFile &file)
{
    return file.option + QLatin1Char(' ') + file.path;
}

} // namespace

Written writeWhole(FILE *stream, const QString &text, QString *error)
{
    return writeBytes(stream, text.toUtf8(), error);
}

Written writeBytes(FILE *stream, const QByteArray &bytes, QString *error)
{
#ifdef Q_OS_UNIX
    const int fd = ::fileno(stream);
    // -1 for a pipe or a terminal; a file opened to append is written at its end.
    const off_t start = ::lseek(fd, 0, (::fcntl(fd, F_GETFL) & O_APPEND) ? SEEK_END : SEEK_CUR);
    qint64 done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n > 0) {
            done += n;
            continue;
        }
        const int code = n < 0 ? errno : ENOSPC;
        if (code == EINTR && SignalWatcher::caughtSignal() == 0)
            continue;
        // Only a record cut short is taken back; whole ones before it stay.
        const off_t kept = start + bytes.lastIndexOf('\n', int(done) - 1) + 1;
        if (done > 0 && start >= 0 && ::ftruncate(fd, kept) == 0)
            ::lseek(fd, kept, SEEK_SET);
        if (error)
            *error = qt_error_string(code);
        return code == EINTR ? Written::Interrupted : Written::Failed;
    }
    return Written::Whole;
#else
    const bool whole = std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()),
                                   stream) == static_cast<size_t>(bytes.size()) &&
                       std::fflush(stream) == 0;
    if (!whole && error)
        *error = qt_error_string(errno);
    return whole ? Written::Whole : Written::Failed;
#endif
}

void complain(const QString &message)
{
    writeWhole(stderr, QStringLiteral("rangefinder-cli: %1\n").arg(message));
}

bool standardOutputIsOpen()
{
#ifdef Q_OS_UNIX
    return ::fcntl(STDOUT_FILENO, F_GETFD) != -1 || errno != EBADF;
#else
    return true;
#endif
}

bool saveOutput(const QString &path, const QByteArray &bytes, QString *error)
{
    // Replacing that file would take it from under the stream, and what it wrote with it.
    if (FILE *stream = standardStreamAt(path))
        return writeBytes(stream, bytes, error) == Written::Whole;
    return saveBytes(path, bytes, error);
}

QString fileClash(const NamedFile &input, const QVector<NamedFile> &outputs)
{
    QVector<QPair<QString, QString>> replaced; // identity, how it was named
    bool regular = false;
    for (const NamedFile &output : outputs) {
        if (output.path.isEmpty() || standardStreamAt(output.path))
            continue;
        const QString identity = identityOf(output.path, &regular);
        for (const auto &other : qAsConst(replaced)) {
            if (regular && other.first == identity)
                return QStringLiteral("%1 and %2 are one file: each output needs its own")
                    .arg(other.second, named(output));
        }
        if (regular)
            replaced.append({identity, named(output)});
    }
    if (input.path.isEmpty())
        return QString();
    const bool standardInput = input.path == QLatin1String("-");
    const QString read = identityOf(input.path, &regular, standardInput ? 0 : -1);
    if (!regular)
        return QString();
    replaced.append({identityOf(QString(), &regular, 1), QStringLiteral("stdout")});
    for (const auto &output : qAsConst(replaced)) {
        if (output.first == read)
            return QStringLiteral("%1 is the file that %2 reads: an output may not be an input")
                .arg(output.second, standardInput ? QStringLiteral("stdin") : named(input));
    }
    return QString();
}

QPair<int, int> sameFiles(const QStringList &paths)
{
    QStringList identities;
    bool regular = false;
    for (int i = 0; i < paths.size(); ++i) {
        const QString identity = identityOf(paths.at(i), &regular);
        const int earlier = int(identities.indexOf(identity));
        if (earlier >= 0)
            return {earlier, i};
        identities << identity;
    }
    return {-1, -1};
}

QString nameFromBytes(const QByteArray &bytes)
{
    QString name;
    const auto *data = reinterpret_cast<const uchar *>(bytes.constData());
    for (int i = 0; i < bytes.size();) {
        const int length = utf8Length(data + i, bytes.size() - i);
        if (length == 0) {
            name += QChar(ushort(kEscapedByte + data[i++]));
            continue;
        }
        name += QString::fromUtf8(bytes.constData() + i, length);
        i += length;
    }
    return name;
}

QByteArray bytesOfName(const QString &name)
{
    QByteArray bytes;
    int from = 0;
    for (int i = 0; i <= name.size(); ++i) {
        const bool escaped = i < name.size() && name.at(i).unicode() >= kEscapedByte + 0x80 &&
                             name.at(i).unicode() <= kEscapedByte + 0xFF &&
                             (i == 0 || !name.at(i - 1).isHighSurrogate());
        if (!escaped && i < name.size())
            continue;
        bytes += name.midRef(from, i - from).toUtf8();
        if (escaped)
            bytes += char(name.at(i).unicode() - kEscapedByte);
        from = i + 1;
    }
    return bytes;
}

QStringList argumentsAsGiven(int argc, char *argv[])
{
#ifdef Q_OS_UNIX
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << nameFromBytes(QByteArray(argv[i]));
    return arguments;
#else
    Q_UNUSED(argc)
    Q_UNUSED(argv)
    return QCoreApplication::arguments();
#endif
}

QString openableName(const QString &name)
{
#ifdef Q_OS_UNIX
    const QByteArray bytes = bytesOfName(name);
    if (bytes == name.toUtf8())
        return name;
    char *resolved = ::realpath(bytes.constData(), nullptr);
    if (!resolved)
        return name;
    const QString path = nameFromBytes(QByteArray(resolved));
    ::free(resolved);
    return path;
#else
    return name;
#endif
}

} // namespace rangefinder
