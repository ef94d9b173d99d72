#include "cli/linearityreport.h"

#include <QStringList>

#include <cmath>
#include <optional>

namespace rangefinder {

namespace {

// A row of the tables: a reference's mean bias, or a coefficient of the line.
struct TableRow
{
    QString kind; // reference, intercept or slope
    std::optional<double> reference;
    int n = 0;
    std::optional<int> failed;
    Tested estimate;
    double sd = 0; // of the readings; for the line, s about it
    double ciLow = 0, ciHigh = 0;
    double percentOfTolerance = std::nan("");
};

QString tText(double t)
{
    if (std::isinf(t))
        return QLatin1String(t > 0 ? "inf" : "-inf");
    return QString::number(t, 'f', 3);
}

QString optionalFigure(double value)
{
    return std::isnan(value) ? QString() : QString::number(value, 'f', 1);
}

// Text, CSV and JSONL take their columns from here: a name for CSV and JSON, a heading and a
// width for text (0: not in the text table).
struct Column
{
    const char *name;
    const char *heading;
    int width;
    QString (*value)(const TableRow &);
};

const Column kColumns[] = {
    {"kind", "", 10, [](const TableRow &r) { return r.kind; }},
    {"reference", "reference", 10,
     [](const TableRow &r) { return r.reference ? figureText(*r.reference) : QString(); }},
    {"n", "n", 4, [](const TableRow &r) { return QString::number(r.n); }},
    {"failed", "failed", 7,
     [](const TableRow &r) { return r.failed ? QString::number(*r.failed) : QString(); }},
    {"estimate", "bias/coef", 11, [](const TableRow &r) { return figureText(r.estimate.value); }},
    {"sd", "sd", 11, [](const TableRow &r) { return figureText(r.sd); }},
    {"se", "SE", 11, [](const TableRow &r) { return figureText(r.estimate.se); }},
    {"t", "t", 9, [](const TableRow &r) { return tText(r.estimate.t); }},
    {"p", "p", 7, [](const TableRow &r) { return QString::number(r.estimate.p, 'f', 3); }},
    {"ci_low", "95% CI from", 12, [](const TableRow &r) { return figureText(r.ciLow); }},
    {"ci_high", "to", 11, [](const TableRow &r) { return figureText(r.ciHigh); }},
    {"percent_of_tolerance", "% of 2T", 8,
     [](const TableRow &r) { return optionalFigure(r.percentOfTolerance); }},
};

QVector<TableRow> rowsOf(const LinearityStudy &study)
{
    QVector<TableRow> rows;
    for (const ReferenceBias &r : study.references) {
        TableRow row{QStringLiteral("reference"), r.reference, r.n, r.unsuccessful, r.bias, r.sd};
        const double margin = tQuantile95(r.n - 1) * r.bias.se;
        row.ciLow = r.bias.value - margin;
        row.ciHigh = r.bias.value + margin;
        row.percentOfTolerance = study.percentOfTolerance(r);
        rows << row;
    }
    const LinearityFit &fit = study.fit;
    for (const auto &[kind, x] : {std::make_pair(QStringLiteral("intercept"), fit.intercept),
                                  std::make_pair(QStringLiteral("slope"), fit.slope)}) {
        TableRow row{kind, std::nullopt, fit.n, std::nullopt, x, fit.s};
        row.ciLow = fit.ciLow(x);
        row.ciHigh = fit.ciHigh(x);
        rows << row;
    }
    return rows;
}

QString csvOf(const QVector<TableRow> &rows)
{
    QStringList header;
    for (const Column &c : kColumns)
        header << QLatin1String(c.name);
    QString text = header.join(QLatin1Char(',')) + QLatin1Char('\n');
    for (const TableRow &row : rows) {
        QStringList fields;
        for (const Column &c : kColumns)
            fields << c.value(row);
        text += fields.join(QLatin1Char(',')) + QLatin1Char('\n');
    }
    return text;
}

// Figures stay numbers in JSON; inf and a missing figure, which JSON has no number for, null.
QString jsonValue(const Column &c, const QString &value)
{
    if (qstrcmp(c.name, "kind") == 0)
        return QLatin1Char('"') + value + QLatin1Char('"');
    if (value.isEmpty() || value.endsWith(QLatin1String("inf")))
        return QStringLiteral("null");
    return value;
}

QString jsonlOf(const QVector<TableRow> &rows)
{
    QString text;
    for (const TableRow &row : rows) {
        QStringList fields;
        for (const Column &c : kColumns)
            fields << QStringLiteral("\"%1\":%2")
                          .arg(QLatin1String(c.name), jsonValue(c, c.value(row)));
        text += QLatin1Char('{') + fields.join(QLatin1Char(',')) + QLatin1String("}\n");
    }
    return text;
}

// The kind to the left, the figures to the right of their columns.
QString textLine(const TableRow *row, bool withTolerance)
{
    QString line;
    for (const Column &c : kColumns) {
        if (!withTolerance && qstrcmp(c.name, "percent_of_tolerance") == 0)
            continue;
        const QString value = row ? c.value(*row) : QString::fromLatin1(c.heading);
        // A figure wider than its column still keeps a space before it.
        line += &c == kColumns ? value.leftJustified(c.width)
                               : QLatin1Char(' ') + value.rightJustified(c.width - 1);
    }
    while (line.endsWith(QLatin1Char(' ')))
        line.chop(1);
    return line;
}

} // namespace

QString linearityTables(const LinearityStudy &study, RecordFormat format)
{
    const QVector<TableRow> rows = rowsOf(study);
    return format == RecordFormat::Jsonl ? jsonlOf(rows) : csvOf(rows);
}

QString linearityTablesText(const LinearityStudy &study, const QString &unit)
{
    const QVector<TableRow> rows = rowsOf(study);
    const bool withTolerance = study.settings.tolerance.has_value();
    QString text = QStringLiteral("linearity and bias study (%1): %2 references, %3 readings\n")
                       .arg(unit)
                       .arg(study.references.size())
                       .arg(study.fit.n);
    text += textLine(nullptr, withTolerance) + QLatin1Char('\n');
    for (const TableRow &row : rows)
        text += textLine(&row, withTolerance) + QLatin1Char('\n');
    return text;
}

QString linearitySummary(const LinearityStudy &study)
{
    const LinearityFit &fit = study.fit;
    QString text =
        QStringLiteral("line: bias = %1 %2 %3 x reference; s %4, R-sq %5\n")
            .arg(figureText(fit.intercept.value), fit.slope.value < 0 ? "-" : "+",
                 figureText(std::abs(fit.slope.value)), figureText(fit.s),
                 std::isnan(fit.rSquared) ? QStringLiteral("n/a")
                                          : QString::number(100 * fit.rSquared, 'f', 1) + " %");
    text += QStringLiteral("%linearity %1").arg(QString::number(*study.percentLinearity, 'f', 1));
    if (study.linearity)
        text +=
            QStringLiteral(", linearity %1 (|slope| x 6S, 6S = %2)")
                .arg(figureText(*study.linearity), figureText(6 * *study.settings.processSigma));
    text += QLatin1Char('\n');
    if (study.references.size() < kRecommendedReferences)
        text += QStringLiteral("note: %1 references; a linearity study wants %2 or more across "
                               "the range\n")
                    .arg(study.references.size())
                    .arg(kRecommendedReferences);
    return text + verdictLine(study.criteria);
}

} // namespace rangefinder
