#include "cli/junitreport.h"

#include <QXmlStreamWriter>

#include <algorithm>

namespace {

int failuresOf(const Verdict &verdict)
{
    return int(std::count_if(verdict.criteria.cbegin(), verdict.criteria.cend(),
                             [](const Criterion &c) { return !c.passed(); }));
}

void writeProperties(QXmlStreamWriter &xml, const DeviceReport &device)
{
    const AccuracySettings &s = device.settings;
    const Verdict &v = device.verdict;
    QVector<QPair<QString, QString>> properties = device.properties;
    properties += {{QStringLiteral("reference"), givenText(s.reference)},
                   {QStringLiteral("tolerance"), givenText(s.tolerance)},
                   {QStringLiteral("unit"), unitName(s.unit)},
                   {QStringLiteral("count"), QString::number(v.valid + v.unsuccessful)},
                   {QStringLiteral("valid"), QString::number(v.valid)},
                   {QStringLiteral("start"), device.start}};
    // Fewer than two readings have no spread to compute them from.
    if (v.valid > 1)
        properties +=
            {{QStringLiteral("Cg"), indexText(v.cg)}, {QStringLiteral("Cgk"), indexText(v.cgk)}};
    xml.writeStartElement(QStringLiteral("properties"));
    for (const QPair<QString, QString> &property : qAsConst(properties)) {
        xml.writeStartElement(QStringLiteral("property"));
        xml.writeAttribute(QStringLiteral("name"), property.first);
        xml.writeAttribute(QStringLiteral("value"), property.second);
        xml.writeEndElement();
    }
    xml.writeEndElement();
}

int testsOf(const DeviceReport &device)
{
    return device.error.isEmpty() ? device.verdict.criteria.size() : 1;
}

int failuresOf(const DeviceReport &device)
{
    return device.error.isEmpty() ? failuresOf(device.verdict) : 0;
}

void writeError(QXmlStreamWriter &xml, const DeviceReport &device)
{
    xml.writeStartElement(QStringLiteral("testcase"));
    xml.writeAttribute(QStringLiteral("classname"), device.device);
    xml.writeAttribute(QStringLiteral("name"), QStringLiteral("run recorded"));
    xml.writeStartElement(QStringLiteral("error"));
    xml.writeAttribute(QStringLiteral("message"), device.error);
    xml.writeCharacters(device.error);
    xml.writeEndElement();
    xml.writeEndElement();
}

void writeSuite(QXmlStreamWriter &xml, const DeviceReport &device)
{
    const Verdict &v = device.verdict;
    xml.writeStartElement(QStringLiteral("testsuite"));
    xml.writeAttribute(QStringLiteral("name"), device.device);
    xml.writeAttribute(QStringLiteral("tests"), QString::number(testsOf(device)));
    xml.writeAttribute(QStringLiteral("failures"), QString::number(failuresOf(device)));
    xml.writeAttribute(QStringLiteral("errors"),
                       device.error.isEmpty() ? QStringLiteral("0") : QStringLiteral("1"));
    xml.writeAttribute(QStringLiteral("skipped"), QStringLiteral("0"));
    xml.writeAttribute(QStringLiteral("timestamp"), device.start);
    writeProperties(xml, device);
    if (!device.error.isEmpty()) {
        writeError(xml, device);
        xml.writeEndElement();
        return;
    }
    for (const Criterion &c : v.criteria) {
        xml.writeStartElement(QStringLiteral("testcase"));
        xml.writeAttribute(QStringLiteral("classname"), device.device);
        xml.writeAttribute(QStringLiteral("name"), c.name);
        if (!c.passed()) {
            xml.writeStartElement(QStringLiteral("failure"));
            xml.writeAttribute(QStringLiteral("message"), c.failure);
            xml.writeCharacters(c.failure);
            xml.writeEndElement();
        }
        xml.writeEndElement();
    }
    // The figures and the resolution warning as the summary gives them.
    xml.writeTextElement(QStringLiteral("system-out"), formatVerdict(v, device.settings));
    xml.writeEndElement();
}

} // namespace

QByteArray junitXml(const QVector<DeviceReport> &devices)
{
    int tests = 0;
    int failures = 0;
    int errors = 0;
    for (const DeviceReport &device : devices) {
        tests += testsOf(device);
        failures += failuresOf(device);
        errors += device.error.isEmpty() ? 0 : 1;
    }
    QByteArray bytes;
    QXmlStreamWriter xml(&bytes);
    xml.setAutoFormatting(true);
    xml.writeStartDocument();
    xml.writeStartElement(QStringLiteral("testsuites"));
    xml.writeAttribute(QStringLiteral("tests"), QString::number(tests));
    xml.writeAttribute(QStringLiteral("failures"), QString::number(failures));
    xml.writeAttribute(QStringLiteral("errors"), QString::number(errors));
    for (const DeviceReport &device : devices)
        writeSuite(xml, device);
    xml.writeEndDocument();
    return bytes;
}
