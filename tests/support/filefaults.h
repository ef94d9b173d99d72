#pragma once

#include <QByteArray>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileDevice>
#include <QFileInfo>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTextCodec>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/fsuid.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace rangefinder {

// Ways to make saving a file fail that also work when the tests run as root (Linux).

// Root passes every permission check. Dropping the file-system user of the calling thread to
// nobody takes the override with it, until this object goes.
class AsUnprivilegedUser
{
public:
    AsUnprivilegedUser()
    {
        if (geteuid() != 0)
            return;
        setfsgid(65534);
        setfsuid(65534);
        m_dropped = true;
    }
    ~AsUnprivilegedUser()
    {
        if (!m_dropped)
            return;
        setfsuid(0);
        setfsgid(0);
    }
    AsUnprivilegedUser(const AsUnprivilegedUser &) = delete;
    AsUnprivilegedUser &operator=(const AsUnprivilegedUser &) = delete;

private:
    bool m_dropped = false;
};

// While this lives, no regular file of the process grows past limit bytes: a write beyond
// fails with EFBIG, as on a disk that fills up after limit bytes. Keep it short, it also
// holds for a log file that the test output may be going to.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t limit)
    {
        getrlimit(RLIMIT_FSIZE, &m_old);
        m_oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit lowered = m_old;
        lowered.rlim_cur = limit;
        setrlimit(RLIMIT_FSIZE, &lowered);
    }
    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &m_old);
        std::signal(SIGXFSZ, m_oldHandler);
    }
    FileSizeLimit(const FileSizeLimit &) = delete;
    FileSizeLimit &operator=(const FileSizeLimit &) = delete;

private:
    rlimit m_old{};
    void (*m_oldHandler)(int) = nullptr;
};

// A device like /dev/full (every write fails with ENOSPC), made in dir where possible, so that
// a save that replaced the device by a regular file could never do that to /dev/full itself.
inline QString makeFullDevice(const QString &dir)
{
    const QString path = dir + QStringLiteral("/full");
    const QByteArray native = QFile::encodeName(path);
    if (mknod(native.constData(), S_IFCHR | 0666, makedev(1, 7)) == 0) {
        const int fd = ::open(native.constData(), O_WRONLY);
        const bool full = fd >= 0 && ::write(fd, "x", 1) < 0 && errno == ENOSPC;
        if (fd >= 0)
            ::close(fd);
        if (full)
            return path;
        ::unlink(native.constData());
    }
    return QStringLiteral("/dev/full");
}

inline bool isCharacterDevice(const QString &path)
{
    struct stat info
    {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 && S_ISCHR(info.st_mode);
}

inline ino_t inodeOf(const QString &path)
{
    struct stat info
    {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_ino : 0;
}

inline QByteArray readBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

inline bool writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.flush();
}

// Every entry below dir, hidden ones included, so that a temporary file left behind shows.
inline QStringList entriesBelow(const QString &dir)
{
    QStringList entries;
    QDirIterator it(dir, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        entries << QDir(dir).relativeFilePath(it.next());
    entries.sort();
    return entries;
}

// A test's own folder, opened to the unprivileged user that AsUnprivilegedUser switches to.
inline bool openToUnprivilegedUser(const QString &dir)
{
    return QFile::setPermissions(dir, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                          QFileDevice::ExeOwner | QFileDevice::ReadOther |
                                          QFileDevice::ExeOther);
}

// Read-only directories made by a test must become writable again for the cleanup.
inline void makeWritable(const QString &dir)
{
    QFile::setPermissions(dir, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                   QFileDevice::ExeOwner | QFileDevice::ReadGroup |
                                   QFileDevice::ExeGroup | QFileDevice::ReadOther |
                                   QFileDevice::ExeOther);
    QDirIterator it(dir, QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        QFile::setPermissions(it.next(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                             QFileDevice::ExeOwner);
}

// A folder "locked" in dir, holding log.txt with content and filePermissions, that takes no new
// file for anyone but root. The file's path, or an empty string where it cannot be made.
inline QString lockedFile(const QString &dir, const QByteArray &content,
                          QFileDevice::Permissions filePermissions)
{
    const QString folder = dir + QStringLiteral("/locked");
    const QString file = folder + QStringLiteral("/log.txt");
    const bool made =
        QDir(dir).mkdir(QStringLiteral("locked")) && writeBytes(file, content) &&
        QFile::setPermissions(file, filePermissions) &&
        QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::ExeOwner |
                                          QFileDevice::ReadOther | QFileDevice::ExeOther);
    return made ? file : QString();
}

// A test's own folder to save into, open to the unprivileged user that some tests switch to,
// with the locale's codec UTF-8 while it lives.
class SaveFolder
{
public:
    SaveFolder() : m_localeCodec(QTextCodec::codecForLocale())
    {
        QTextCodec::setCodecForLocale(QTextCodec::codecForName("UTF-8"));
        m_open = m_dir.isValid() && openToUnprivilegedUser(m_dir.path());
    }
    ~SaveFolder()
    {
        makeWritable(m_dir.path());
        QTextCodec::setCodecForLocale(m_localeCodec);
    }
    SaveFolder(const SaveFolder &) = delete;
    SaveFolder &operator=(const SaveFolder &) = delete;

    bool isValid() const { return m_open; }
    QString path() const { return m_dir.path(); }
    QString filePath(const QString &name) const { return m_dir.filePath(name); }

private:
    QTextCodec *m_localeCodec;
    QTemporaryDir m_dir;
    bool m_open = false;
};

} // namespace rangefinder
