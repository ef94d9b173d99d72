#pragma once

#include "results/runrow.h"

#include <QSqlDatabase>
#include <QString>
#include <QVector>

namespace rangefinder {

// A run's measurements sent to PostgreSQL by COPY ... FROM STDIN, through libpq on the
// connection that QtSql holds. Qt 5's driver sends bound values as quoted literals inside an
// EXECUTE, which the server parses value by value, and it has no way to stream COPY data; COPY
// takes the rows as data and inserts them in batches. Built only where libpq is found: the
// store falls back to QtSql's statements elsewhere.
namespace MeasurementCopy {

enum class Result {
    Copied,
    Duplicate, // a row of the same run and seq is stored already: nothing was copied
    Failed,
};

// Whether this build can copy at all, and whether the connection is one it can copy through.
bool available(const QSqlDatabase &db);
// Inside the caller's transaction. On Duplicate and Failed the transaction is aborted (a
// savepoint taken before recovers it); error says what the server said.
Result copy(const QSqlDatabase &db, const QString &runId, const QVector<MeasurementRow> &rows,
            QString *error);

// Appends one line of COPY's text format for a row: tab-separated, \N for NULL, and backslash, tab,
// newline and carriage return escaped in every text value, so that no value ends a field or
// a row early.
void appendLine(QByteArray &out, const QByteArray &runId, const MeasurementRow &row);

} // namespace MeasurementCopy

} // namespace rangefinder
