#include "cli/resultscommands.h"

#include "cli/options.h"
#include "cli/output.h"
#include "cli/runrecording.h"
#include "results/history.h"
#include "results/outbox.h"
#include "results/sqlstore.h"
#include "toolsupport/optionvalues.h"

#include <QCommandLineParser>
#include <QFileInfo>

namespace {

const std::vector<OptionRow> kHistoryRows = {
    {"results", "url",
     "The store to read: sqlite:PATH or postgresql://[user@]host[:port]/dbname (default: "
     "RANGEFINDER_RESULTS, else the SQLite file that station runs are kept in)."},
    {"serial", "serial", "Only the runs of this device."},
    {"station", "name", "Only the runs made at this station."},
    {"since", "date", "Only the runs started on or after this day or time (ISO 8601, UTC)."},
    {"format", "format", "text, csv (every column of runs) or jsonl (default %1).",
     QStringLiteral("text")},
};

const char kHistoryDescription[] =
    "The runs kept in a results store, oldest first, with their outcome, n, bias, sd, Cg and\n"
    "Cgk. For each device with checks (runs with --reference), one line on stderr judges its\n"
    "latest check: against the control limits of an individuals chart of the bias over the\n"
    "checks before it (mean +- 2.66 mean moving ranges, once there are 8) and against its\n"
    "tolerance. Exit code 1 when a device's latest check lies outside either, 0 when none\n"
    "does, 2 for bad options or a store that cannot be read, 5 when the output is lost.";

struct HistoryRequest
{
    StoreLocation store;
    RunFilter filter;
    HistoryFormat format = HistoryFormat::Text;
};

QString requestError(const QCommandLineParser &parser, HistoryRequest &request)
{
    const QString storeText = parser.isSet(QStringLiteral("results"))
                                  ? parser.value(QStringLiteral("results"))
                                  : defaultStoreText();
    QString error;
    if (!parseStoreLocation(storeText, request.store, &error))
        return error;
    if (request.store.kind == StoreLocation::Kind::None)
        return QStringLiteral("history needs a store, not none");
    request.filter.serial = parser.value(QStringLiteral("serial"));
    request.filter.station = parser.value(QStringLiteral("station"));
    const QString since = parser.value(QStringLiteral("since"));
    if (!since.isEmpty()) {
        request.filter.since = QDateTime::fromString(since, Qt::ISODate);
        if (!request.filter.since.isValid())
            request.filter.since =
                QDateTime(QDate::fromString(since, Qt::ISODate), QTime(0, 0), Qt::UTC);
        if (!request.filter.since.isValid())
            return QStringLiteral("--since takes a date or time in ISO 8601 (2026-12-01), "
                                  "not \"%1\"")
                .arg(since);
    }
    const QStringList formats{QStringLiteral("text"), QStringLiteral("csv"),
                              QStringLiteral("jsonl")};
    const int format = formats.indexOf(parser.value(QStringLiteral("format")));
    if (format < 0)
        return QStringLiteral("--format takes text, csv or jsonl, not \"%1\"")
            .arg(parser.value(QStringLiteral("format")));
    request.format = HistoryFormat(format);
    return QString();
}

// The runs, or false with the reason said. A SQLite file that is not there yet holds none,
// and is not made by reading it.
bool readRuns(const HistoryRequest &request, QVector<RunRow> &runs)
{
    if (request.store.kind == StoreLocation::Kind::Sqlite && !QFileInfo::exists(request.store.path))
        return true;
    SqlStore store(request.store);
    if (store.open() && store.runs(request.filter, runs))
        return true;
    complain(QStringLiteral("cannot read %1: %2").arg(request.store.text, store.errorString()));
    return false;
}

// The judgement of each device's latest check, one line each; whether one drifts.
bool reportDrift(const QVector<RunRow> &runs, QString &text)
{
    bool drifting = false;
    for (const Drift &drift : judgeDrift(runs)) {
        text += drift.description() + QLatin1Char('\n');
        drifting = drifting || drift.drifting();
    }
    return drifting;
}

} // namespace

int runHistory(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromLatin1(kHistoryDescription));
    const QCommandLineOption help = parser.addHelpOption();
    addOptions(parser, kHistoryRows);
    if (!parser.parse(arguments)) {
        complain(parser.errorText() + QStringLiteral(" (see history --help)"));
        return kExitBadOptions;
    }
    if (parser.isSet(help))
        return writeWhole(stdout, parser.helpText()) == Written::Whole ? kExitAllMeasured
                                                                       : kExitOutputLost;
    HistoryRequest request;
    const QString error = requestError(parser, request);
    if (!error.isEmpty()) {
        complain(error + QStringLiteral(" (see history --help)"));
        return kExitBadOptions;
    }
    QVector<RunRow> runs;
    if (!readRuns(request, runs))
        return kExitBadOptions;
    QString judgement;
    const bool drifting = reportDrift(runs, judgement);
    if (writeWhole(stdout, formatHistory(runs, request.format)) != Written::Whole ||
        writeWhole(stderr, judgement) != Written::Whole)
        return kExitOutputLost;
    return drifting ? kExitSomeFailed : kExitAllMeasured;
}

namespace {

// The runs waiting for one server delivered; false when some still wait.
bool deliverTo(Outbox &outbox, const QString &target)
{
    StoreLocation location;
    QString error;
    if (!parseStoreLocation(target, location, &error)) {
        complain(QStringLiteral("cannot deliver to %1: %2").arg(target, error));
        return false;
    }
    SqlStore server(location);
    const int delivered = server.open() ? outbox.deliver(server) : -1;
    if (delivered < 0) {
        complain(QStringLiteral("cannot deliver to %1: %2")
                     .arg(target, server.errorString().isEmpty() ? outbox.errorString()
                                                                 : server.errorString()));
        return false;
    }
    complain(QStringLiteral("delivered %1 to %2")
                 .arg(delivered == 1 ? QStringLiteral("1 run")
                                     : QStringLiteral("%1 runs").arg(delivered),
                      target));
    return true;
}

} // namespace

int runResults(const QStringList &arguments)
{
    if (arguments.size() != 3 || arguments.at(2) != QLatin1String("sync")) {
        complain(QStringLiteral("results takes one command: sync (delivers the runs waiting in "
                                "the outbox %1 to their servers)")
                     .arg(outboxPath()));
        return kExitBadOptions;
    }
    const QString none = QStringLiteral("no runs wait in the outbox %1").arg(outboxPath());
    if (!QFileInfo::exists(outboxPath())) {
        complain(none);
        return kExitAllMeasured;
    }
    Outbox outbox(outboxPath());
    QStringList targets;
    if (!outbox.open() || !outbox.targets(targets)) {
        complain(QStringLiteral("cannot read the outbox %1: %2")
                     .arg(outboxPath(), outbox.errorString()));
        return kExitOutputLost;
    }
    if (targets.isEmpty())
        complain(none);
    bool all = true;
    for (const QString &target : qAsConst(targets))
        all = deliverTo(outbox, target) && all;
    return all ? kExitAllMeasured : kExitSomeFailed;
}
