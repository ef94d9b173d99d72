#include "cli/junitreport.h"

#include "core/logtextfile.h"

#include <QXmlStreamWriter>

#include <algorithm>

namespace {

int failuresOf(const QVector<Criterion> &criteria)
{
    return int(std::count_if(criteria.cbegin(), criteria.cend(),
                             [](const Criterion &c) { return !c.passed(); }));
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

void writeSuite(QXmlStreamWriter &xml, const SuiteReport &suite)
{
    xml.writeStartElement(QStringLiteral("testsuite"));
    xml.writeAttribute(QStringLiteral("name"), suite.name);
    xml.writeAttribute(QStringLiteral("tests"), QString::number(suite.criteria.size()));
    xml.writeAttribute(QStringLiteral("failures"), QString::number(failuresOf(suite.criteria)));
    xml.writeAttribute(QStringLiteral("errors"), QStringLiteral("0"));
    xml.writeAttribute(QStringLiteral("skipped"), QStringLiteral("0"));
    xml.writeAttribute(QStringLiteral("timestamp"), suite.start);
    writeProperties(xml, suite.properties);
    for (const Criterion &c : suite.criteria) {
        xml.writeStartElement(QStringLiteral("testcase"));
        xml.writeAttribute(QStringLiteral("classname"), suite.name);
        xml.writeAttribute(QStringLiteral("name"), c.name);
        if (!c.passed()) {
            xml.writeStartElement(QStringLiteral("failure"));
            xml.writeAttribute(QStringLiteral("message"), c.failure);
            xml.writeCharacters(c.failure);
            xml.writeEndElement();
        }
        xml.writeEndElement();
    }
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
                      formatVerdict(v, s)};
    suite.properties += {{QStringLiteral("reference"), QString::number(s.reference, 'g', 6)},
                         {QStringLiteral("tolerance"), QString::number(s.tolerance, 'g', 6)},
                         {QStringLiteral("unit"), unitName(s.unit)},
                         {QStringLiteral("count"), QString::number(v.valid + v.unsuccessful)},
                         {QStringLiteral("valid"), QString::number(v.valid)},
                         {QStringLiteral("start"), device.start},
                         {QStringLiteral("Cg"), indexText(v.cg)},
                         {QStringLiteral("Cgk"), indexText(v.cgk)}};
    return suite;
}

QByteArray junitXml(const QVector<SuiteReport> &suites)
{
    int tests = 0;
    int failures = 0;
    for (const SuiteReport &suite : suites) {
        tests += suite.criteria.size();
        failures += failuresOf(suite.criteria);
    }
    QByteArray bytes;
    QXmlStreamWriter xml(&bytes);
    xml.setAutoFormatting(true);
    xml.writeStartDocument();
    xml.writeStartElement(QStringLiteral("testsuites"));
    xml.writeAttribute(QStringLiteral("tests"), QString::number(tests));
    xml.writeAttribute(QStringLiteral("failures"), QString::number(failures));
    xml.writeAttribute(QStringLiteral("errors"), QStringLiteral("0"));
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

bool saveJUnit(const QString &path, const QVector<DeviceReport> &devices, QString *errorString)
{
    return saveBytes(path, junitXml(devices), errorString);
}

bool saveJUnit(const QString &path, const QVector<SuiteReport> &suites, QString *errorString)
{
    return saveBytes(path, junitXml(suites), errorString);
}
