#pragma once

// What the sub-commands print: one record a line, in UTF-8.

#include <QString>

#include <cstdio>

// Backslashes, tabs and line breaks written as \\, \t, \n, \r, so that a text stays one line.
QString EscapeForLine(const QString& text);

// The line and a line break, in UTF-8.
void WriteLine(std::FILE* to, const QString& line);
