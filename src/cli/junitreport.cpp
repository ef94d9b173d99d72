#include "cli/junitreport.h"

#include "cli/output.h"

#include <QXmlStreamWriter>

#include <algorithm>

namespace rangefinder {

namespace {

int failuresOf(const QVector<Criterion> &criteria)
{
    return int(std::count_if(criteria.cbegin(), criteria.cend(),
                             [](const Criterion &c) { return !c.passed(); }));
}

int testsOf(const SuiteReport &suite)
{
    return suite.error.isEmpty() ? suite.criteria.size() : 1;
}

int failuresOf(const SuiteReport &suite)
{
    return suite.error.isEmpty() ? failuresOf(suite.criteria) : 0;
}

void writeProperties(QXmlStreamWriter &xml, const QVector<QPair<QString, QString>> &properties)
{
    xml.writeStartElement(QStringLiteral("properties"));
    for (const QPair<QString, QString> &property : properties) {
        xml.writeStartElement(QStringLiteral("property"));
        xml.writeAttribute(QStringLiteral("name"), property.first);
        xml.writeAttribute(QStringLiteral("value"), property.second);
        xml.writeEndElement();
    }
    xml.writeEndElement();
}

void writeTestcase(QXmlStreamWriter &xml, const QString &suite, const QString &name,
                   const QString &kind, const QString &message)
{
    xml.writeStartElement(QStringLiteral("testcase"));
    xml.writeAttribute(QStringLiteral("classname"), suite);
    xml.writeAttribute(QStringLiteral("name"), name);
    if (!message.isEmpty()) {
        xml.writeStartElement(kind);
        xml.writeAttribute(QStringLiteral("message"), message);
        xml.writeCharacters(message);
        xml.writeEndElement();
    }
    xml.writeEndElement();
}

void writeSuite(QXmlStreamWriter &xml, const SuiteReport &suite)
{
    xml.writeStartElement(QStringLiteral("testsuite"));
    xml.writeAttribute(QStringLiteral("name"), suite.name);
    xml.writeAttribute(QStringLiteral("tests"), QString::number(testsOf(suite)));
    xml.writeAttribute(QStringLiteral("failures"), QString::number(failuresOf(suite)));
    xml.writeAttribute(QStringLiteral("errors"),
                       suite.error.isEmpty() ? QStringLiteral("0") : QStringLiteral("1"));
    xml.writeAttribute(QStringLiteral("skipped"), QStringLiteral("0"));
    xml.writeAttribute(QStringLiteral("timestamp"), suite.start);
    writeProperties(xml, suite.properties);
    if (!suite.error.isEmpty()) {
        writeTestcase(xml, suite.name, QStringLiteral("run recorded"), QStringLiteral("error"),
                      suite.error);
        xml.writeEndElement();
        return;
    }
    for (const Criterion &c : suite.criteria)
        writeTestcase(xml, suite.name, c.name, QStringLiteral("failure"),
                      c.passed() ? QString() : c.failure);
    xml.writeTextElement(QStringLiteral("system-out"), suite.output);
    xml.writeEndElement();
}

} // namespace

SuiteReport suiteOf(const DeviceReport &device)
{
    const AccuracySettings &s = device.settings;
    const Verdict &v = device.verdict;
    SuiteReport suite{device.device, device.start, device.properties, v.criteria,
                      // The figures and the resolution warning as the summary gives them.
                      formatVerdict(v, s), device.error};
    suite.properties += {{QStringLiteral("reference"), givenText(s.reference)},
                         {QStringLiteral("tolerance"), givenText(s.tolerance)},
                         {QStringLiteral("unit"), unitName(s.unit)},
                         {QStringLiteral("count"), QString::number(v.valid + v.unsuccessful)},
                         {QStringLiteral("valid"), QString::number(v.valid)},
                         {QStringLiteral("start"), device.start}};
    // Fewer than two readings have no spread to compute them from.
    if (v.valid > 1)
        suite.properties +=
            {{QStringLiteral("Cg"), indexText(v.cg)}, {QStringLiteral("Cgk"), indexText(v.cgk)}};
    return suite;
}

QByteArray junitXml(const QVector<SuiteReport> &suites)
{
    int tests = 0;
    int failures = 0;
    int errors = 0;
    for (const SuiteReport &suite : suites) {
        tests += testsOf(suite);
        failures += failuresOf(suite);
        errors += suite.error.isEmpty() ? 0 : 1;
    }
    QByteArray bytes;
    QXmlStreamWriter xml(&bytes);
    xml.setAutoFormatting(true);
    xml.writeStartDocument();
    xml.writeStartElement(QStringLiteral("testsuites"));
    xml.writeAttribute(QStringLiteral("tests"), QString::number(tests));
    xml.writeAttribute(QStringLiteral("failures"), QString::number(failures));
    xml.writeAttribute(QStringLiteral("errors"), QString::number(errors));
    for (const SuiteReport &suite : suites)
        writeSuite(xml, suite);
    xml.writeEndDocument();
    return bytes;
}

QByteArray junitXml(const QVector<DeviceReport> &devices)
{
    QVector<SuiteReport> suites;
    for (const DeviceReport &device : devices)
        suites << suiteOf(device);
    return junitXml(suites);
}

bool saveJUnit(const QString &path, const QVector<SuiteReport> &suites, QString *errorString)
{
    return saveOutput(path, junitXml(suites), errorString);
}

} // namespace rangefinder
