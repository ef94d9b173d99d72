#include "cli/portaccess.h"

#include <QDir>
#include <QFileInfo>
#include <QSerialPortInfo>

#ifdef Q_OS_UNIX
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>
#endif

namespace rangefinder {

namespace {

#ifdef Q_OS_UNIX
QString userName(uid_t uid)
{
    const passwd *entry = ::getpwuid(uid);
    return entry ? QString::fromLocal8Bit(entry->pw_name) : QString::number(uid);
}

bool processHasGroup(gid_t gid)
{
    if (::getegid() == gid)
        return true;
    std::vector<gid_t> groups(size_t(std::max(::getgroups(0, nullptr), 0)));
    const int count = ::getgroups(int(groups.size()), groups.data());
    return std::find(groups.begin(), groups.begin() + std::max(count, 0), gid) !=
           groups.begin() + std::max(count, 0);
}

// The group database's members do not include those for whom it is the primary group.
bool userInGroup(const group &entry, gid_t gid)
{
    const passwd *user = ::getpwuid(::geteuid());
    if (!user)
        return false;
    if (user->pw_gid == gid)
        return true;
    for (char **member = entry.gr_mem; member && *member; ++member) {
        if (std::strcmp(*member, user->pw_name) == 0)
            return true;
    }
    return false;
}

void addOwnership(PortAccess &access)
{
    struct stat status = {};
    if (::stat(QFile::encodeName(access.path).constData(), &status) != 0)
        return;
    access.owner = userName(status.st_uid);
    access.groupMayUse = (status.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
    access.groupInEffect = processHasGroup(status.st_gid);
    const group *entry = ::getgrgid(status.st_gid);
    access.group = entry ? QString::fromLocal8Bit(entry->gr_name) : QString::number(status.st_gid);
    access.userInGroup = entry ? userInGroup(*entry, status.st_gid) : access.groupInEffect;
}
#endif

QString orDash(const QString &text)
{
    return text.isEmpty() ? QStringLiteral("-") : text;
}

QString usbIds(const QSerialPortInfo &info)
{
    if (!info.hasVendorIdentifier() || !info.hasProductIdentifier())
        return QStringLiteral("-");
    return QString::asprintf("%04x:%04x", info.vendorIdentifier(), info.productIdentifier());
}

QString code(const QString &command)
{
    return QLatin1Char('`') + command + QLatin1Char('`');
}

QString noAccessAdvice(const PortAccess &a)
{
    if (a.group.isEmpty() || !a.groupMayUse)
        return QStringLiteral("only its owner %1 may open %2; ask an administrator to give "
                              "its group read and write access")
            .arg(a.owner, a.path);
    if (a.userInGroup && !a.groupInEffect)
        return QStringLiteral("%1 was added to the group %2, which may open %3, after this "
                              "session began; log out and in again (or run %4)")
            .arg(a.user, a.group, a.path, code(QStringLiteral("newgrp ") + a.group));
    return QStringLiteral("%1 belongs to the group %2, which %3 is not in; run %4, then log "
                          "out and in again")
        .arg(a.path, a.group, a.user,
             code(QStringLiteral("sudo usermod -aG %1 %2").arg(a.group, a.user)));
}

} // namespace

QString portPath(const QString &name)
{
    const bool isPath = name.startsWith(QLatin1Char('/')) || name.startsWith(QLatin1String("./")) ||
                        name.startsWith(QLatin1String("../"));
    return isPath ? name : QStringLiteral("/dev/") + name;
}

OpenFailure serialOpenFailure(const QString &port, QSerialPort::SerialPortError error,
                              const QString &errorText, int systemError)
{
    OpenFailure failure{PortAccess::Kind::OtherFailure, systemError, errorText};
    if (error == QSerialPort::NoError) {
        failure.kind = PortAccess::Kind::Usable;
        return failure;
    }
#ifdef Q_OS_UNIX
    const QString path = portPath(port);
    if (!QFileInfo::exists(path))
        failure.kind = PortAccess::Kind::Missing;
    else if (::access(QFile::encodeName(path).constData(), R_OK | W_OK) != 0)
        failure.kind = PortAccess::Kind::NoAccess;
    else if (error == QSerialPort::PermissionError)
        failure.kind = PortAccess::Kind::Busy;
#else
    Q_UNUSED(port)
#endif
    return failure;
}

PortAccess portAccess(const QString &port, const OpenFailure &failure)
{
    PortAccess access;
    access.kind = failure.kind;
    access.path = portPath(port);
    access.systemText = failure.text;
#ifdef Q_OS_UNIX
    access.user = userName(::geteuid());
    addOwnership(access);
#endif
    return access;
}

PortAccess probePort(const QString &port)
{
    QSerialPort serial;
    serial.setPortName(port);
    const bool opened = serial.open(QIODevice::ReadWrite);
    const PortAccess access =
        portAccess(port, serialOpenFailure(port, opened ? QSerialPort::NoError : serial.error(),
                                           serial.errorString()));
    serial.close();
    return access;
}

QString accessAdvice(const PortAccess &access)
{
    switch (access.kind) {
    case PortAccess::Kind::Usable:
        return QString();
    case PortAccess::Kind::Missing:
        return QStringLiteral("there is no %1; is the device plugged in? %2 lists the ports")
            .arg(access.path, code(QStringLiteral("rangefinder-cli --list-ports")));
    case PortAccess::Kind::NoAccess:
        return noAccessAdvice(access);
    case PortAccess::Kind::Busy:
        return QStringLiteral("%1 is busy, another program has it open; close that program "
                              "and try again")
            .arg(access.path);
    case PortAccess::Kind::LineSettingsRefused:
    case PortAccess::Kind::OtherFailure:
        break;
    }
    return access.systemText;
}

QString stablePathOf(const QString &systemLocation, const QString &directory)
{
    const QString device = QFileInfo(systemLocation).canonicalFilePath();
    const QFileInfoList links = QDir(directory).entryInfoList(QDir::System | QDir::Files);
    for (const QFileInfo &link : links) {
        if (link.isSymLink() && !device.isEmpty() && link.canonicalFilePath() == device)
            return link.absoluteFilePath();
    }
    return QString();
}

QString portList()
{
    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    if (ports.isEmpty())
        return QStringLiteral("no serial port found\n");
    QString text;
    for (const QSerialPortInfo &info : ports) {
        const QString advice = accessAdvice(probePort(info.systemLocation()));
        text +=
            QStringLiteral("%1\n  description: %2\n  manufacturer: %3\n  serial number: %4\n"
                           "  USB vendor:product: %5\n  stable path: %6\n  can open: %7\n")
                .arg(info.systemLocation(), orDash(info.description()), orDash(info.manufacturer()),
                     orDash(info.serialNumber()), usbIds(info),
                     orDash(stablePathOf(info.systemLocation())),
                     advice.isEmpty() ? QStringLiteral("yes") : QStringLiteral("no, ") + advice);
    }
    return text;
}

} // namespace rangefinder
