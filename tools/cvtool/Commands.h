#pragma once

#include <QStringList>

// A command gets the arguments after its name and returns the exit code (Args.h). Each answers
// --help and -h with its usage on stdout and --version with the program's version.
using CommandFunc = int (*)(const QStringList& args);

struct Command {
  const char* name;
  const char* summary;  // one line for `cvtool --help`
  CommandFunc run;
};
