#pragma once

#include "cli/accuracy.h"

#include <QByteArray>
#include <QPair>
#include <QString>
#include <QVector>

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
};

// A device's suite: its properties followed by those of the settings and the verdict.
SuiteReport suiteOf(const DeviceReport &device);

QByteArray junitXml(const QVector<SuiteReport> &suites);
QByteArray junitXml(const QVector<DeviceReport> &devices);

// As saveBytes writes a file: a regular file is replaced only once the whole report is written.
bool saveJUnit(const QString &path, const QVector<DeviceReport> &devices,
               QString *errorString = nullptr);
bool saveJUnit(const QString &path, const QVector<SuiteReport> &suites,
               QString *errorString = nullptr);
