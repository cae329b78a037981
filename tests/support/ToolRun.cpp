#include "ToolRun.h"

#include "TestEnv.h"

#include <QProcess>

#include <gtest/gtest.h>

namespace cvtest {

ToolResult RunCvtool(const QStringList& args) {
  QProcess p;
  p.start(BinDir() + "/cvtool", args);
  ToolResult r;
  if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit) {
    ADD_FAILURE() << "cvtool did not finish: " << qPrintable(args.join(' '));
    return r;
  }
  r.exitCode = p.exitCode();
  r.out = QString::fromUtf8(p.readAllStandardOutput());
  r.err = QString::fromUtf8(p.readAllStandardError());
  return r;
}

}  // namespace cvtest
