#pragma once

#include <QString>

// Writes the log text to path as it is: no header, no byte-order mark, no line feed added, line
// ends untranslated. The text is encoded in the locale's encoding when that can represent all of
// it, in UTF-8 otherwise. A regular file is replaced only once every byte has been written; on
// failure it keeps its old content, false is returned and errorString (if given) says why.
bool saveLogText(const QString &path, const QString &text, QString *errorString = nullptr);
