#pragma once

#include <QString>
#include <QStringList>

namespace cvtest {

struct ToolResult {
  int exitCode = -1;
  QString out;
  QString err;
};

// Runs the built cvtool with the arguments and waits for it (a minute at most). A run that
// does not end normally is a test failure; its result then keeps exit code -1.
ToolResult RunCvtool(const QStringList& args);

}  // namespace cvtest
