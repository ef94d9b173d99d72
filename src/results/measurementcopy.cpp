#include "results/measurementcopy.h"

#include <QSqlDriver>
#include <QVariant>

#ifdef RANGEFINDER_HAVE_LIBPQ
#include <libpq-fe.h>
#endif

#include <algorithm>

namespace rangefinder {

namespace {

// Data goes to the server in pieces of about this size: large enough that a piece costs little,
// small enough that a million rows never sit in memory twice.
constexpr int kPieceBytes = 256 * 1024;

bool needsEscape(char c)
{
    return c == '\\' || c == '\t' || c == '\n' || c == '\r';
}

void appendText(QByteArray &out, const QByteArray &text)
{
    if (std::none_of(text.cbegin(), text.cend(), needsEscape)) {
        out += text;
        return;
    }
    for (const char c : text) {
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        default:
            out += c;
        }
    }
}

#ifdef RANGEFINDER_HAVE_LIBPQ

const char kCopySql[] = "COPY measurements (run_id, seq, time_utc, status, distance_m, latency_ms)"
                        " FROM STDIN";
// The server's code for a key stored already.
const char kUniqueViolation[] = "23505";

PGconn *connectionOf(const QSqlDatabase &db)
{
    if (!db.driver())
        return nullptr;
    const QVariant handle = db.driver()->handle();
    if (!handle.isValid() || qstrcmp(handle.typeName(), "PGconn*") != 0)
        return nullptr;
    return *static_cast<PGconn *const *>(handle.constData());
}

QString serverMessage(PGconn *connection, const PGresult *result)
{
    const char *message = result ? PQresultErrorMessage(result) : "";
    if (!*message)
        message = PQerrorMessage(connection);
    return QString::fromUtf8(message).trimmed();
}

bool sendRows(PGconn *connection, const QString &runId, const QVector<MeasurementRow> &rows)
{
    const QByteArray id = runId.toUtf8();
    QByteArray piece;
    piece.reserve(kPieceBytes + 1024);
    for (const MeasurementRow &row : rows) {
        MeasurementCopy::appendLine(piece, id, row);
        if (piece.size() >= kPieceBytes) {
            if (PQputCopyData(connection, piece.constData(), piece.size()) != 1)
                return false;
            piece.clear();
        }
    }
    return piece.isEmpty() || PQputCopyData(connection, piece.constData(), piece.size()) == 1;
}

// Reads every result the COPY left, so that the connection is ready for the next statement.
MeasurementCopy::Result finishCopy(PGconn *connection, bool sent, QString *error)
{
    PQputCopyEnd(connection, sent ? nullptr : "the rows could not be sent");
    MeasurementCopy::Result outcome = MeasurementCopy::Result::Copied;
    while (PGresult *result = PQgetResult(connection)) {
        // Still copying: the end could not be sent, and asking again would only repeat this.
        const bool stuck = PQresultStatus(result) == PGRES_COPY_IN;
        if (stuck) {
            *error = serverMessage(connection, nullptr);
            outcome = MeasurementCopy::Result::Failed;
        }
        if (PQresultStatus(result) != PGRES_COMMAND_OK &&
            outcome == MeasurementCopy::Result::Copied) {
            const char *state = PQresultErrorField(result, PG_DIAG_SQLSTATE);
            outcome = qstrcmp(state, kUniqueViolation) == 0 ? MeasurementCopy::Result::Duplicate
                                                            : MeasurementCopy::Result::Failed;
            *error = serverMessage(connection, result);
        }
        PQclear(result);
        if (stuck || PQstatus(connection) == CONNECTION_BAD)
            break;
    }
    return outcome;
}

#endif

} // namespace

namespace MeasurementCopy {

void appendLine(QByteArray &out, const QByteArray &runId, const MeasurementRow &row)
{
    appendText(out, runId);
    out += '\t';
    out += QByteArray::number(row.seq);
    out += '\t';
    appendText(out, storedTime(row.time).toUtf8());
    out += '\t';
    appendText(out, row.status.toUtf8());
    out += '\t';
    out += row.metres ? QByteArray::number(*row.metres, 'g', 17) : QByteArray("\\N");
    out += '\t';
    out += row.latencyMs ? QByteArray::number(*row.latencyMs) : QByteArray("\\N");
    out += '\n';
}

#ifdef RANGEFINDER_HAVE_LIBPQ

bool available(const QSqlDatabase &db)
{
    return connectionOf(db) != nullptr;
}

Result copy(const QSqlDatabase &db, const QString &runId, const QVector<MeasurementRow> &rows,
            QString *error)
{
    PGconn *connection = connectionOf(db);
    if (!connection) {
        *error = QStringLiteral("no PostgreSQL connection to copy through");
        return Result::Failed;
    }
    PGresult *started = PQexec(connection, kCopySql);
    const bool copying = PQresultStatus(started) == PGRES_COPY_IN;
    if (!copying)
        *error = serverMessage(connection, started);
    PQclear(started);
    if (!copying)
        return Result::Failed;
    const bool sent = sendRows(connection, runId, rows);
    const Result result = finishCopy(connection, sent, error);
    if (result == Result::Copied && !sent) {
        *error = serverMessage(connection, nullptr);
        return Result::Failed;
    }
    return result;
}

#else

bool available(const QSqlDatabase &)
{
    return false;
}

Result copy(const QSqlDatabase &, const QString &, const QVector<MeasurementRow> &, QString *error)
{
    *error = QStringLiteral("built without libpq");
    return Result::Failed;
}

#endif

} // namespace MeasurementCopy

} // namespace rangefinder
