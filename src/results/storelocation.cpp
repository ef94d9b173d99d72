#include "results/storelocation.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QUrl>
#include <QUrlQuery>

namespace rangefinder {

namespace {

const char kPasswordAdvice[] =
    "a password on the command line or in the environment's URL is visible to every user of "
    "the machine; give it in PGPASSWORD or in ~/.pgpass (as psql reads them) instead";

bool parseSqlite(const QString &text, StoreLocation &location, QString *error)
{
    location.kind = StoreLocation::Kind::Sqlite;
    location.path = text.mid(int(qstrlen("sqlite:")));
    if (location.path.startsWith(QLatin1String("//")))
        location.path = QUrl(text).toLocalFile(); // sqlite:///abs/path as a URL writes it
    if (location.path.isEmpty()) {
        *error = QStringLiteral("sqlite: needs a file, as in sqlite:/var/lib/station/runs.sqlite");
        return false;
    }
    return true;
}

bool parsePostgres(const QString &text, StoreLocation &location, QString *error)
{
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid()) {
        *error = QStringLiteral("%1 is no URL: %2").arg(text, url.errorString());
        return false;
    }
    const QUrlQuery query(url);
    if (!url.password().isEmpty() || query.hasQueryItem(QStringLiteral("password"))) {
        *error = QLatin1String(kPasswordAdvice);
        return false;
    }
    location.kind = StoreLocation::Kind::Postgres;
    location.user = url.userName(QUrl::FullyDecoded);
    location.host = url.host(QUrl::FullyDecoded);
    location.port = url.port(-1);
    location.database = url.path(QUrl::FullyDecoded).mid(1);
    const QString socketHost = query.queryItemValue(QStringLiteral("host"), QUrl::FullyDecoded);
    if (!socketHost.isEmpty())
        location.host = socketHost;
    const QString port = query.queryItemValue(QStringLiteral("port"));
    if (!port.isEmpty())
        location.port = port.toInt();
    if (location.database.isEmpty()) {
        *error = QStringLiteral("%1 names no database, as in postgresql://station@db1/results")
                     .arg(text);
        return false;
    }
    return true;
}

} // namespace

bool parseStoreLocation(const QString &text, StoreLocation &location, QString *error)
{
    location = StoreLocation();
    location.text = text;
    if (text == QLatin1String("none"))
        return true;
    if (text.startsWith(QLatin1String("sqlite:")))
        return parseSqlite(text, location, error);
    if (text.startsWith(QLatin1String("postgresql://")) ||
        text.startsWith(QLatin1String("postgres://")))
        return parsePostgres(text, location, error);
    *error = QStringLiteral("\"%1\" is no results store: give sqlite:PATH, "
                            "postgresql://[user@]host[:port]/dbname or none")
                 .arg(text);
    return false;
}

QString defaultStorePath()
{
    const QString base = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    return QDir(base).filePath(QStringLiteral("rangefinder-assistant/results.sqlite"));
}

QString outboxPath()
{
    return QFileInfo(defaultStorePath()).dir().filePath(QStringLiteral("outbox.sqlite"));
}

} // namespace rangefinder
