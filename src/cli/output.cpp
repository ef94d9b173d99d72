#include "cli/output.h"

#include "toolsupport/signalwatcher.h"

#include <QByteArray>

#include <cerrno>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <unistd.h>
#endif

Written writeWhole(FILE *stream, const QString &text, QString *error)
{
    const QByteArray bytes = text.toUtf8();
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
