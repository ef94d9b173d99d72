#pragma once

#include "cli/accuracy.h"

#include <QByteArray>
#include <QPair>
#include <QString>
#include <QVector>

namespace rangefinder {

// One device's part of a JUnit report: a testsuite named after the device, with one testcase
// per criterion of its verdict.
struct DeviceReport
{
    QString device; // the port's name, or the file its run was read from
    QString start;  // when the run began, ISO 8601
    AccuracySettings settings;
    Verdict verdict;
    // The port and the line, or the file; the program's version: the report adds those of the
    // settings and the verdict.
    QVector<QPair<QString, QString>> properties;
    // Why the run could not be recorded, if so: the suite is then in error, not judged, so that
    // a server reading the report does not blame the device for what the records lost.
    QString error;
};

// A testsuite of any check: one testcase per criterion, the properties given, and output as
// its system-out.
struct SuiteReport
{
    QString name;
    QString start; // ISO 8601
    QVector<QPair<QString, QString>> properties;
    QVector<Criterion> criteria;
    QString output;
    // Why the check could not be recorded, if so: the suite is then in error, not judged, so
    // that a server reading the report does not blame the device for what the records lost.
    QString error;
};

// A device's suite: its properties followed by those of the settings and the verdict.
SuiteReport suiteOf(const DeviceReport &device);

QByteArray junitXml(const QVector<SuiteReport> &suites);
QByteArray junitXml(const QVector<DeviceReport> &devices);

// As saveOutput writes an output: a regular file is replaced only once the whole report is
// written.
bool saveJUnit(const QString &path, const QVector<SuiteReport> &suites,
               QString *errorString = nullptr);

} // namespace rangefinder
