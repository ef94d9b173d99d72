#pragma once

#include <QString>
#include <QTemporaryDir>

namespace rangefinder {

// A PostgreSQL server of the test's own: initdb into a temporary folder, listening on a Unix
// socket in it and on no TCP port, trusting local connections, stopped and removed with this
// object. The server refuses to run as root, so under root it runs as nobody in a folder that
// nobody owns.
class PostgresServer
{
public:
    PostgresServer();
    ~PostgresServer();
    Q_DISABLE_COPY(PostgresServer)

    // With fsync, as a production server runs (for figures); the tests go without.
    void setDurable(bool durable) { m_durable = durable; }
    // Made and started, with a database of the given name; errorString() says why not.
    bool start(const QString &database = QStringLiteral("results"));
    bool stop();
    bool restart();
    QString errorString() const { return m_error; }

    QString socketDirectory() const;
    // postgresql:///DATABASE?host=SOCKET-DIRECTORY
    QString url(const QString &database = QStringLiteral("results")) const;
    // A role that logs in with a password only (SCRAM), as a station account would.
    bool addPasswordRole(const QString &role, const QString &password);
    // A statement through psql, its output (unaligned, no headers); empty on failure.
    QString query(const QString &sql, const QString &database = QStringLiteral("results"));

private:
    bool runServerTool(const QString &tool, const QStringList &arguments, int timeoutMs = 60000);
    bool runClientTool(const QString &tool, const QStringList &arguments, QString *out = nullptr);

    QTemporaryDir m_dir;
    QString m_error;
    bool m_running = false;
    bool m_durable = false;
};

} // namespace rangefinder
