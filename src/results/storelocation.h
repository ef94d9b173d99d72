#pragma once

#include <QString>

namespace rangefinder {

// Where runs are kept, read from what a user writes after --results or in RANGEFINDER_RESULTS:
//   sqlite:PATH
//   postgresql://[user@]host[:port]/dbname   (postgres:// too)
//   postgresql:///dbname?host=/run/postgresql (host= naming a Unix-socket directory)
//   none
struct StoreLocation
{
    enum class Kind { None, Sqlite, Postgres };
    Kind kind = Kind::None;
    QString path; // Sqlite: the database file
    // Postgres: empty fields are left to libpq (PGHOST, PGUSER, ..., the socket directory).
    QString host; // a name, an address, or a directory holding the server's socket
    int port = -1;
    QString user;
    QString database;
    QString text; // as the user wrote it; never holds a password

    bool isServer() const { return kind == Kind::Postgres; }
};

// Fills location, or returns false with the reason in *error. A password in the
// text is refused: a command line is visible to every user of the machine.
bool parseStoreLocation(const QString &text, StoreLocation &location, QString *error);

// The store that station runs go to when nothing else is named, and beside it the outbox that
// keeps runs for a server out of reach: $XDG_DATA_HOME/rangefinder-assistant/ (on Windows the
// user's application data folder).
QString defaultStorePath();
QString outboxPath();

} // namespace rangefinder
