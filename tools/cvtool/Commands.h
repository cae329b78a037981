#pragma once

#include <QStringList>

// A sub-command gets the arguments after its name and returns the exit code.
using CommandFunc = int (*)(const QStringList& args);

struct Command {
  const char* name;
  const char* usage;
  CommandFunc run;
};
