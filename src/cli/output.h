#pragma once

#include <QByteArray>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QVector>

#include <cstdio>

namespace rangefinder {

enum class Written { Whole, Failed, Interrupted };

// Whole and at once: a reader of the pipe never sees part of a record, and one that a full
// disk cut short is taken back (text may hold many records, each ending with a line feed), so
// that a file ends with the last whole record. A write
// blocked on a full pipe ends early when SIGINT or SIGTERM arrives (Interrupted). error says
// why a write failed.
Written writeWhole(FILE *stream, const QString &text, QString *error = nullptr);
// The same for bytes that are not text (a chart, a report).
Written writeBytes(FILE *stream, const QByteArray &bytes, QString *error = nullptr);
// A file that an option names (a chart, a report): one that is standard output's or standard
// error's file (the same device and inode) gets the bytes after what that stream wrote, as
// does anything that is not a regular file; a regular file is replaced only once the whole of
// it is written. False, and error says why, when it cannot be.
bool saveOutput(const QString &path, const QByteArray &bytes, QString *error = nullptr);
// "rangefinder-cli: " and the message, one line on stderr.
void complain(const QString &message);
// Closed, standard output would be whatever file the program opens first.
bool standardOutputIsOpen();

// A file that an option names, for fileClash: "--plot" and its path.
struct NamedFile
{
    QString option;
    QString path; // empty: not given; "-" for an input: stdin
};
// Why the files cannot all be used in one run, or empty: an output that is the input (stdout's
// file included) or another output would lose what it holds. Outputs that are standard output's
// or standard error's file are written after it, and devices and pipes are not replaced: those
// lose nothing.
QString fileClash(const NamedFile &input, const QVector<NamedFile> &outputs);
// The first two of paths that name one file (links, relative paths), or -1 and -1.
QPair<int, int> sameFiles(const QStringList &paths);

// Names as the system's bytes: a byte that is not part of UTF-8 is kept as a lone surrogate,
// U+DC80 to U+DCFF, and turned back into that byte, so that any file can be named (Qt's own
// decoding makes such bytes U+FFFD, and the file is lost).
QString nameFromBytes(const QByteArray &bytes);
QByteArray bytesOfName(const QString &name);
// The program's arguments so decoded (on Windows, as Qt gives them).
QStringList argumentsAsGiven(int argc, char *argv[]);
// A name that Qt can open: one with such bytes is resolved to the file it leads to.
QString openableName(const QString &name);

} // namespace rangefinder
