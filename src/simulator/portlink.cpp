#include "simulator/portlink.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace rangefinder {

namespace {

// The link's own target, or a null string when `path` is not a symbolic link.
QByteArray linkTarget(const QByteArray &path)
{
    QByteArray buffer(4096, '\0');
    const ssize_t n =
        ::readlink(path.constData(), buffer.data(), static_cast<size_t>(buffer.size()));
    if (n < 0)
        return QByteArray();
    buffer.truncate(static_cast<int>(n));
    return buffer;
}

QString reason()
{
    return QString::fromLocal8Bit(strerror(errno));
}

} // namespace

bool createPortLink(const QString &path, const QString &target, QString *error)
{
    const QByteArray link = QFile::encodeName(path);
    const QByteArray to = QFile::encodeName(target);
    auto refuse = [&](const QString &message) {
        if (error)
            *error = QStringLiteral("%1: %2").arg(path, message);
        return false;
    };

    struct stat st;
    if (::lstat(link.constData(), &st) == 0) {
        if (!S_ISLNK(st.st_mode))
            return refuse(QStringLiteral("exists and is not a symbolic link; not replaced"));
        const QByteArray current = linkTarget(link);
        struct stat pointed;
        const bool dangling = ::stat(link.constData(), &pointed) != 0 && errno == ENOENT;
        if (current != to && !dangling)
            return refuse(QStringLiteral("is a symbolic link to %1, which exists; not replaced")
                              .arg(QFile::decodeName(current)));
        if (::unlink(link.constData()) != 0 && errno != ENOENT)
            return refuse(QStringLiteral("cannot remove the old link: %1").arg(reason()));
    } else if (errno != ENOENT) {
        return refuse(reason());
    }
    if (::symlink(to.constData(), link.constData()) != 0)
        return refuse(QStringLiteral("cannot create the link: %1").arg(reason()));
    return true;
}

bool removePortLink(const QString &path, const QString &target)
{
    const QByteArray link = QFile::encodeName(path);
    if (linkTarget(link) != QFile::encodeName(target))
        return false;
    return ::unlink(link.constData()) == 0;
}

} // namespace rangefinder
