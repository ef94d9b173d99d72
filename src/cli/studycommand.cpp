#include "cli/studycommand.h"

#include "cli/options.h"
#include "cli/output.h"
#include "core/interval.h"
#include "core/linesettings.h"
#include "core/replyframe.h"

#include <QCommandLineParser>

#include <algorithm>
#include <iterator>

namespace {

QString quoted(const QString &text)
{
    return QLatin1Char('"') + text + QLatin1Char('"');
}

const std::vector<OptionRow> kStudyRows = {
    {"run", "REF=FILE",
     "A saved run of the target at the reference distance REF (in --unit): a log saved by the "
     "window, or CSV or JSONL of this program, read as `read` reads it. Give one per "
     "reference; not with --port."},
    {"port", "name-or-path",
     "Measure live on this serial port instead, each of --references "
     "in turn."},
    {"references", "list",
     "The reference distances to measure live, in --unit, separated by commas (2,4,6,8,10)."},
    {"count", "n", "Measurements at each reference (default %1).", QStringLiteral("10")},
    {"interval", "ms", "From one command's write to the next (default %1).",
     QStringLiteral("1000")},
    {"timeout", "ms", "How long to wait for a reply after the write (default %1).",
     QStringLiteral("1000")},
    {"baud", "rate", "The line's baud rate (default %1).", QStringLiteral("9600")},
    {"strict", nullptr, "A reply whose check byte is wrong or missing is a failed measurement."},
    {"unit", "unit", "Unit of references, readings and figures: m, ft or yd (default %1).",
     QStringLiteral("m")},
    {"process-sigma", "S",
     "The process's standard deviation, in --unit: linearity = |slope| x 6S is reported."},
    {"tolerance", "T", "Each reference's bias is also shown as a percentage of the band 2T."},
    {"max-bias", "B", "Every reference's mean bias must lie within +/- B to pass."},
    {"format", "format", "The tables as text, csv or jsonl (default %1).", QStringLiteral("text")},
    {"junit", "file", "Write the verdict as JUnit XML, one testcase per criterion."},
    {"plot", "file",
     "Write a chart of bias against reference: PNG or SVG by the extension .png or .svg."},
    {"plot-size", "WxH", "The chart's size in pixels (default %1).", QStringLiteral("1200x600")},
};

std::optional<double> positive(OptionReader &read, const char *name)
{
    if (!read.isSet(name))
        return std::nullopt;
    const std::optional<double> value = numberIn(read.text(name), 0, 1e9);
    if (!value || *value <= 0)
        read.fail(QStringLiteral("--%1 takes a length above 0, not %2")
                      .arg(QLatin1String(name), quoted(read.text(name))));
    return value;
}

} // namespace

QString StudyLinearityCommand::summary() const
{
    return QStringLiteral("a gauge linearity and bias study across the range");
}

QString StudyLinearityCommand::description() const
{
    return QStringLiteral(
        "Measures, or reads saved runs of, targets at several known distances across the range\n"
        "and asks whether the device's bias changes with the distance: per reference the mean\n"
        "bias with its t test, the least-squares line bias = a + b x reference with its 95 %\n"
        "confidence band, and the verdict: PASS when neither slope nor intercept is significant\n"
        "(p >= 0.05), every mean bias is within --max-bias and no measurement failed. Live, each\n"
        "reference is measured in turn; when stdin is a terminal the operator is asked to place\n"
        "the target and press Enter. Exit code 0 for PASS, 1 for FAIL, 2 when no study can be\n"
        "made (fewer than two references, a reference twice, fewer than two valid readings at\n"
        "one).\n");
}

const std::vector<OptionRow> &StudyLinearityCommand::optionRows() const
{
    return kStudyRows;
}

void StudyLinearityCommand::read(OptionReader &read)
{
    readSource(read);
    readStudy(read);
    readOutput(read);
}

void StudyLinearityCommand::readSource(OptionReader &read)
{
    const bool live = read.isSet("port");
    if (live == read.isSet("run"))
        return read.fail(QStringLiteral("give either --run REF=FILE for each reference, or "
                                        "--port with --references"));
    QString error;
    for (const QString &run : read.texts("run")) {
        const std::optional<QPair<double, QString>> saved = savedRunFrom(run, &error);
        if (!saved)
            return read.fail(error);
        m_settings.savedRuns << *saved;
    }
    if (live)
        readLive(read);
    else if (read.isSet("references"))
        read.fail(QStringLiteral("--references is for a live study, with --port"));
}

void StudyLinearityCommand::readLive(OptionReader &read)
{
    SessionSettings &session = m_settings.session;
    session.portName = read.text("port");
    QString error;
    const std::optional<QVector<double>> references =
        read.isSet("references") ? referencesFrom(read.text("references"), &error) : std::nullopt;
    if (!references)
        return read.fail(error.isEmpty() ? QStringLiteral("--port needs --references") : error);
    m_settings.references = *references;
    read.whole("count", 1, 1000000, [&](qint64 v) { session.count = int(v); });
    read.whole("interval", 1, 2147483647, [&](qint64 v) { session.intervalMs = int(v); });
    read.whole("timeout", session.burstSilenceMs + 1, 2147483647,
               [&](qint64 v) { session.timeoutMs = int(v); });
    const auto *rate = std::find_if(std::begin(kBaudRates), std::end(kBaudRates), [&](qint32 r) {
        return read.text("baud") == QString::number(r);
    });
    if (rate == std::end(kBaudRates))
        return read.fail(QStringLiteral("--baud takes a rate the device knows, not %1")
                             .arg(quoted(read.text("baud"))));
    session.baudRate = *rate;
    session.strict = read.isSet("strict");
}

void StudyLinearityCommand::readStudy(OptionReader &read)
{
    const std::optional<LengthUnit> unit = unitFromName(read.text("unit"));
    if (!unit)
        return read.fail(
            QStringLiteral("--unit takes m, ft or yd, not %1").arg(quoted(read.text("unit"))));
    m_settings.unit = *unit;
    m_settings.session.unit = *unit;
    m_settings.study.processSigma = positive(read, "process-sigma");
    m_settings.study.tolerance = positive(read, "tolerance");
    m_settings.study.maxBias = positive(read, "max-bias");
}

void StudyLinearityCommand::readOutput(OptionReader &read)
{
    const std::optional<RecordFormat> format = formatFromName(read.text("format"));
    if (!format)
        return read.fail(QStringLiteral("--format takes text, csv or jsonl, not %1")
                             .arg(quoted(read.text("format"))));
    m_settings.format = *format;
    m_settings.junitPath = read.text("junit");
    if (read.isSet("plot")) {
        m_settings.plotPath = read.text("plot");
        const std::optional<RunChart::FileType> type = RunChart::fileTypeOf(m_settings.plotPath);
        if (!type)
            return read.fail(QStringLiteral("--plot takes a file name ending in .png or .svg, "
                                            "not %1")
                                 .arg(quoted(m_settings.plotPath)));
        m_settings.plotType = *type;
    }
    const QStringList sides = read.text("plot-size").split(QLatin1Char('x'));
    const std::optional<qint64> width = wholeNumberIn(sides.value(0), 300, 10000);
    const std::optional<qint64> height = wholeNumberIn(sides.value(1), 200, 10000);
    if (sides.size() != 2 || !width || !height)
        return read.fail(QStringLiteral("--plot-size takes WxH in pixels, from 300x200 to "
                                        "10000x10000, not %1")
                             .arg(quoted(read.text("plot-size"))));
    m_settings.plotSize = QSize(int(*width), int(*height));
}

StudyOutcome StudyLinearityCommand::run(SignalWatcher *watcher)
{
    return m_settings.savedRuns.isEmpty() ? studyLive(m_settings, watcher)
                                          : studySavedRuns(m_settings);
}

int exitCodeOf(const StudyOutcome &outcome)
{
    if (outcome.signal != 0)
        return kExitSignalBase + outcome.signal;
    if (outcome.outputLost)
        return kExitOutputLost;
    switch (outcome.kind) {
    case StudyOutcome::Kind::Judged:
        return outcome.passed ? kExitAllMeasured : kExitSomeFailed;
    case StudyOutcome::Kind::NoStudy:
        return kExitBadOptions;
    case StudyOutcome::Kind::NotOpened:
        return kExitPortUnusable;
    case StudyOutcome::Kind::Lost:
        return kExitDeviceLost;
    }
    return kExitBadOptions;
}

StudyInvocation parseStudyInvocation(const QStringList &arguments)
{
    StudyInvocation invocation;
    QCommandLineParser parser;
    parser.setApplicationDescription(invocation.command.description());
    parser.addHelpOption();
    addOptions(parser, invocation.command.optionRows());
    if (!parser.parse(arguments)) {
        invocation.text = parser.errorText();
        return invocation;
    }
    if (parser.isSet(QStringLiteral("help"))) {
        invocation.kind = StudyInvocation::Kind::Help;
        invocation.text = parser.helpText().replace(QStringLiteral("[options]"),
                                                    QStringLiteral("study linearity [options]"));
        return invocation;
    }
    if (!parser.positionalArguments().isEmpty()) {
        invocation.text = QStringLiteral("unexpected argument %1")
                              .arg(quoted(parser.positionalArguments().constFirst()));
        return invocation;
    }
    OptionReader read(parser);
    invocation.command.read(read);
    invocation.text = read.error();
    invocation.kind =
        read.error().isEmpty() ? StudyInvocation::Kind::Run : StudyInvocation::Kind::Error;
    return invocation;
}

int runStudyCommand(const QStringList &arguments, SignalWatcher *watcher)
{
    if (arguments.value(2) != QLatin1String("linearity")) {
        complain(QStringLiteral("study takes the kind of study: linearity (see study linearity "
                                "--help)"));
        return kExitBadOptions;
    }
    StudyInvocation invocation =
        parseStudyInvocation(QStringList{arguments.constFirst()} + arguments.mid(3));
    switch (invocation.kind) {
    case StudyInvocation::Kind::Help:
        return writeWhole(stdout, invocation.text) == Written::Whole ? kExitAllMeasured
                                                                     : kExitOutputLost;
    case StudyInvocation::Kind::Error:
        complain(invocation.text + QStringLiteral(" (see study linearity --help)"));
        return kExitBadOptions;
    case StudyInvocation::Kind::Run:
        break;
    }
    return exitCodeOf(invocation.command.run(watcher));
}
