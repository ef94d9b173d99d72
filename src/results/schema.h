#pragma once

#include <QStringList>
#include <QVector>

namespace rangefinder {

// A numbered step of the store's schema. A store records the steps it has taken in
// schema_version; a program applies the ones it lacks, in order, each in one transaction. A
// step once released never changes: a change to the schema is a step of its own.
struct Migration
{
    int version;
    QStringList statements; // SQL that SQLite and PostgreSQL both take
};

const QVector<Migration> &migrations();
int latestSchemaVersion();

} // namespace rangefinder
