#include "postgresserver.h"

#include <QDir>
#include <QFile>
#include <QProcess>

#include <algorithm>
#include <pwd.h>
#include <unistd.h>

namespace rangefinder {

namespace {

// Debian keeps the server's programs under a folder per major version, off PATH.
QString serverBinaries()
{
    QStringList versions =
        QDir(QStringLiteral("/usr/lib/postgresql")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    std::sort(versions.begin(), versions.end(),
              [](const QString &a, const QString &b) { return a.toInt() < b.toInt(); });
    return versions.isEmpty()
               ? QStringLiteral("/usr/lib/postgresql/15/bin/")
               : QStringLiteral("/usr/lib/postgresql/%1/bin/").arg(versions.constLast());
}
constexpr uid_t kNobody = 65534;

// libpq's default user: the login of the effective user, whatever USER says.
QString loginOfClient()
{
    const passwd *entry = ::getpwuid(::geteuid());
    return entry ? QString::fromLocal8Bit(entry->pw_name) : QStringLiteral("root");
}

} // namespace

PostgresServer::PostgresServer()
{
    // Nobody must reach the folder and its socket; so must the tests' user.
    if (::geteuid() == 0 && m_dir.isValid())
        ::chown(QFile::encodeName(m_dir.path()).constData(), kNobody, kNobody);
    QFile::setPermissions(m_dir.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                            QFileDevice::ExeOwner | QFileDevice::ReadOther |
                                            QFileDevice::ExeOther);
}

PostgresServer::~PostgresServer()
{
    if (m_running)
        stop();
}

QString PostgresServer::socketDirectory() const
{
    return m_dir.path();
}

QString PostgresServer::url(const QString &database) const
{
    return QStringLiteral("postgresql:///%1?host=%2").arg(database, socketDirectory());
}

bool PostgresServer::runServerTool(const QString &tool, const QStringList &arguments, int timeoutMs)
{
    QProcess process;
    process.setWorkingDirectory(m_dir.path());
    process.setProcessChannelMode(QProcess::MergedChannels);
    const QString program = serverBinaries() + tool;
    if (::geteuid() == 0) {
        process.start(QStringLiteral("setpriv"),
                      QStringList{QStringLiteral("--reuid=%1").arg(kNobody),
                                  QStringLiteral("--regid=%1").arg(kNobody),
                                  QStringLiteral("--clear-groups"), program} +
                          arguments);
    } else {
        process.start(program, arguments);
    }
    const bool ran = process.waitForFinished(timeoutMs) &&
                     process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    if (!ran)
        m_error = QStringLiteral("%1 failed: %2 %3")
                      .arg(tool, process.errorString(), QString::fromLocal8Bit(process.readAll()));
    return ran;
}

bool PostgresServer::runClientTool(const QString &tool, const QStringList &arguments, QString *out)
{
    QProcess process;
    process.start(serverBinaries() + tool,
                  QStringList{QStringLiteral("-h"), socketDirectory()} + arguments);
    const bool ran = process.waitForFinished(60000) && process.exitCode() == 0;
    if (out)
        *out = QString::fromUtf8(process.readAllStandardOutput());
    if (!ran)
        m_error = tool + QStringLiteral(" failed: ") +
                  QString::fromLocal8Bit(process.readAllStandardError());
    return ran;
}

bool PostgresServer::start(const QString &database)
{
    if (!m_dir.isValid())
        return false;
    const QString data = QDir(m_dir.path()).filePath(QStringLiteral("data"));
    // Durability is not under test; fsync would only slow the tests down.
    if (!runServerTool(QStringLiteral("initdb"),
                       {QStringLiteral("-D"), data, QStringLiteral("-U"), loginOfClient(),
                        QStringLiteral("--auth=trust"), QStringLiteral("-E"),
                        QStringLiteral("UTF8"), QStringLiteral("--no-sync")}))
        return false;
    return restart() && runClientTool(QStringLiteral("createdb"), {database});
}

bool PostgresServer::restart()
{
    const QString data = QDir(m_dir.path()).filePath(QStringLiteral("data"));
    const QString options = QStringLiteral("-k %1 -c listen_addresses=%2")
                                .arg(m_dir.path(), m_durable ? QString() : QStringLiteral(" -F"));
    m_running =
        runServerTool(QStringLiteral("pg_ctl"),
                      {QStringLiteral("-D"), data, QStringLiteral("-l"),
                       QDir(m_dir.path()).filePath(QStringLiteral("log")), QStringLiteral("-o"),
                       options, QStringLiteral("-w"), QStringLiteral("start")});
    return m_running;
}

bool PostgresServer::stop()
{
    const QString data = QDir(m_dir.path()).filePath(QStringLiteral("data"));
    m_running =
        !runServerTool(QStringLiteral("pg_ctl"),
                       {QStringLiteral("-D"), data, QStringLiteral("-m"), QStringLiteral("fast"),
                        QStringLiteral("-w"), QStringLiteral("stop")});
    return !m_running;
}

QString PostgresServer::query(const QString &sql, const QString &database)
{
    QString out;
    runClientTool(QStringLiteral("psql"),
                  {QStringLiteral("-XAtq"), QStringLiteral("-c"), sql, database}, &out);
    return out.trimmed();
}

bool PostgresServer::addPasswordRole(const QString &role, const QString &password)
{
    const QString data = QDir(m_dir.path()).filePath(QStringLiteral("data"));
    QFile hba(QDir(data).filePath(QStringLiteral("pg_hba.conf")));
    if (!hba.open(QIODevice::ReadOnly))
        return false;
    const QByteArray rules = "local all " + role.toUtf8() + " scram-sha-256\n" + hba.readAll();
    hba.close();
    if (!hba.open(QIODevice::WriteOnly | QIODevice::Truncate) || hba.write(rules) != rules.size())
        return false;
    hba.close();
    QString out;
    return runClientTool(QStringLiteral("psql"),
                         {QStringLiteral("-XAtq"), QStringLiteral("-c"),
                          QStringLiteral("CREATE ROLE %1 LOGIN PASSWORD '%2'; GRANT ALL ON "
                                         "SCHEMA public TO %1; GRANT ALL ON ALL TABLES IN "
                                         "SCHEMA public TO %1; ALTER DEFAULT PRIVILEGES GRANT "
                                         "ALL ON TABLES TO %1; SELECT pg_reload_conf()")
                              .arg(role, password),
                          QStringLiteral("results")},
                         &out);
}

} // namespace rangefinder
