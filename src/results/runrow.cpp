#include "results/runrow.h"

#include <cstdio>
#include <iterator>

namespace rangefinder {

const char kPlainRun[] = "plain";
const char kCheckRun[] = "type-1";
const char kLinearityRun[] = "linearity";
const char kLinearityReferenceRun[] = "linearity-reference";

namespace {

const struct
{
    StoredOutcome outcome;
    const char *name;
} kOutcomeNames[] = {
    {StoredOutcome::Pass, "PASS"},       {StoredOutcome::Fail, "FAIL"},
    {StoredOutcome::Done, "DONE"},       {StoredOutcome::Error, "ERROR"},
    {StoredOutcome::Aborted, "ABORTED"},
};

QVariant nullable(const std::optional<double> &value)
{
    return value ? QVariant(*value) : QVariant();
}

template <QString RunRow::*member> QVariant getText(const RunRow &row)
{
    return row.*member;
}
template <QString RunRow::*member> void setText(RunRow &row, const QVariant &value)
{
    row.*member = value.toString();
}
template <std::optional<double> RunRow::*member> QVariant getNumber(const RunRow &row)
{
    return nullable(row.*member);
}
template <std::optional<double> RunRow::*member> void setNumber(RunRow &row, const QVariant &value)
{
    row.*member = value.isNull() ? std::nullopt : std::optional<double>(value.toDouble());
}
template <int RunRow::*member> QVariant getWhole(const RunRow &row)
{
    return row.*member;
}
template <int RunRow::*member> void setWhole(RunRow &row, const QVariant &value)
{
    row.*member = value.toInt();
}
template <std::optional<int> RunRow::*member> QVariant getCount(const RunRow &row)
{
    return row.*member ? QVariant(*(row.*member)) : QVariant();
}
template <std::optional<int> RunRow::*member> void setCount(RunRow &row, const QVariant &value)
{
    row.*member = value.isNull() ? std::nullopt : std::optional<int>(value.toInt());
}
// An empty text kept as NULL, as a key that refers to nothing.
template <QString RunRow::*member> QVariant getKey(const RunRow &row)
{
    return (row.*member).isEmpty() ? QVariant() : QVariant(row.*member);
}
QVariant getOutcome(const RunRow &row)
{
    return outcomeName(row.outcome);
}
void setOutcome(RunRow &row, const QVariant &value)
{
    row.outcome = outcomeFromName(value.toString()).value_or(StoredOutcome::Error);
}
template <QDateTime RunRow::*member> QVariant getTime(const RunRow &row)
{
    return (row.*member).isValid() ? QVariant(storedTime(row.*member)) : QVariant();
}
template <QDateTime RunRow::*member> void setTime(RunRow &row, const QVariant &value)
{
    row.*member = timeFromStored(value.toString());
}

const QVector<RunColumn> kRunColumns = {
    {"run_id", getText<&RunRow::runId>, setText<&RunRow::runId>},
    {"kind", getText<&RunRow::kind>, setText<&RunRow::kind>},
    {"schema_version", getWhole<&RunRow::schemaVersion>, setWhole<&RunRow::schemaVersion>},
    {"station", getText<&RunRow::station>, setText<&RunRow::station>},
    {"operator", getText<&RunRow::operatorName>, setText<&RunRow::operatorName>},
    {"serial", getText<&RunRow::serial>, setText<&RunRow::serial>},
    {"port", getText<&RunRow::port>, setText<&RunRow::port>},
    {"program_version", getText<&RunRow::programVersion>, setText<&RunRow::programVersion>},
    {"started_utc", getTime<&RunRow::started>, setTime<&RunRow::started>},
    {"ended_utc", getTime<&RunRow::ended>, setTime<&RunRow::ended>},
    {"outcome", getOutcome, setOutcome},
    {"reference", getNumber<&RunRow::reference>, setNumber<&RunRow::reference>},
    {"tolerance", getNumber<&RunRow::tolerance>, setNumber<&RunRow::tolerance>},
    {"unit", getText<&RunRow::unit>, setText<&RunRow::unit>},
    {"n", getCount<&RunRow::n>, setCount<&RunRow::n>},
    {"mean", getNumber<&RunRow::mean>, setNumber<&RunRow::mean>},
    {"bias", getNumber<&RunRow::bias>, setNumber<&RunRow::bias>},
    {"sd", getNumber<&RunRow::sd>, setNumber<&RunRow::sd>},
    {"cg", getNumber<&RunRow::cg>, setNumber<&RunRow::cg>},
    {"cgk", getNumber<&RunRow::cgk>, setNumber<&RunRow::cgk>},
    {"reasons", getText<&RunRow::reasons>, setText<&RunRow::reasons>},
    {"parent_run_id", getKey<&RunRow::parentRunId>, setText<&RunRow::parentRunId>},
    {"slope", getNumber<&RunRow::slope>, setNumber<&RunRow::slope>},
    {"slope_p", getNumber<&RunRow::slopeP>, setNumber<&RunRow::slopeP>},
    {"intercept", getNumber<&RunRow::intercept>, setNumber<&RunRow::intercept>},
    {"intercept_p", getNumber<&RunRow::interceptP>, setNumber<&RunRow::interceptP>},
    {"r_squared", getNumber<&RunRow::rSquared>, setNumber<&RunRow::rSquared>},
};

} // namespace

QString outcomeName(StoredOutcome outcome)
{
    for (const auto &row : kOutcomeNames) {
        if (row.outcome == outcome)
            return QLatin1String(row.name);
    }
    return QString();
}

std::optional<StoredOutcome> outcomeFromName(const QString &name)
{
    for (const auto &row : kOutcomeNames) {
        if (name == QLatin1String(row.name))
            return row.outcome;
    }
    return std::nullopt;
}

const QVector<RunColumn> &runColumns()
{
    return kRunColumns;
}

const char *const kMeasurementColumns[6] = {"run_id", "seq",        "time_utc",
                                            "status", "distance_m", "latency_ms"};

std::array<QVariant, 6> measurementValues(const QString &runId, const MeasurementRow &row)
{
    return {runId,
            row.seq,
            storedTime(row.time),
            row.status,
            nullable(row.metres),
            row.latencyMs ? QVariant(*row.latencyMs) : QVariant()};
}

MeasurementRow measurementFromValues(const QVector<QVariant> &values)
{
    MeasurementRow row;
    row.seq = values.value(0).toInt();
    row.time = timeFromStored(values.value(1).toString());
    row.status = values.value(2).toString();
    if (!values.value(3).isNull())
        row.metres = values.value(3).toDouble();
    if (!values.value(4).isNull())
        row.latencyMs = values.value(4).toLongLong();
    return row;
}

// A run of a million measurements formats a million times: QDateTime::toString would cost
// more than the database.
QString storedTime(const QDateTime &time)
{
    constexpr qint64 kMsPerDay = 86400000;
    const qint64 ms = time.toMSecsSinceEpoch();
    const qint64 day = ms >= 0 ? ms / kMsPerDay : -((-ms + kMsPerDay - 1) / kMsPerDay);
    const QDate date = QDate(1970, 1, 1).addDays(day);
    if (!time.isValid() || date.year() < 1 || date.year() > 9999)
        return time.toUTC().toString(Qt::ISODateWithMs);
    const int inDay = int(ms - day * kMsPerDay);
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", date.year(),
                  date.month(), date.day(), inDay / 3600000, inDay / 60000 % 60, inDay / 1000 % 60,
                  inDay % 1000);
    return QString::fromLatin1(text);
}

QDateTime timeFromStored(const QString &text)
{
    return QDateTime::fromString(text, Qt::ISODateWithMs).toUTC();
}

} // namespace rangefinder
