#pragma once

#include <QString>

#include <cstdio>

enum class Written { Whole, Failed, Interrupted };

// Whole and at once: a reader of the pipe never sees part of a record, and one that a full
// disk cut short is taken back (text may hold many records, each ending with a line feed), so
// that a file ends with the last whole record. A write
// blocked on a full pipe ends early when SIGINT or SIGTERM arrives (Interrupted). error says
// why a write failed.
Written writeWhole(FILE *stream, const QString &text, QString *error = nullptr);
// "rangefinder-cli: " and the message, one line on stderr.
void complain(const QString &message);
// Closed, standard output would be whatever file the program opens first.
bool standardOutputIsOpen();
