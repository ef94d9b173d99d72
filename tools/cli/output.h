#pragma once

#include <QString>

#include <cstdio>

// Whole and at once: a reader of the pipe never sees part of a record.
void writeWhole(FILE *stream, const QString &text);
// "rangefinder-cli: " and the message, one line on stderr.
void complain(const QString &message);
