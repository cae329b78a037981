// cvtool installed: the installed-products model as the wizard loads it, one line a record,
// for support staff to see what the navigation software will see:
//   product CODE PRODUCTNUMBER NAME
//   module CODE PRODUCTNUMBER MODULENUMBER MASK PATH        (MASK hexadecimal, 0x...)
//   chart FILENAME INFOERROR MODULENUMBER PRODUCTNUMBER
//   database FILENAME
//   dependency FILENAME
// Each module's lines follow its product's, its files follow the module. Backslashes, tabs and
// line breaks in texts are written \\, \t, \n, \r so that a record stays one line. The chart
// cache is the wizard's (Cache/ChartInfo.cif in the data folder) unless --cache FILE names
// another. Exit codes: 0 done, 1 a store that cannot be read, a chart cache that cannot be
// written or a --cache file that is not a chart cache, 2 bad arguments; told in one line on
// stderr.
#include "Args.h"
#include "Commands.h"

#include "CvInstalledCharts.h"
#include "CvLib.h"
#include "LineOutput.h"

#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>

namespace {

using cvtool::kExitFailed;
using cvtool::kExitOK;

const QString kWho = QStringLiteral("cvtool installed");

void Out(const QString& line) { WriteLine(stdout, line); }

int Fail(const QString& message) { return cvtool::Fail(kWho, message, kExitFailed); }

const QString kHelp = QStringLiteral(
    "usage: cvtool installed [--cache FILE]\n"
    "\n"
    "Prints the installed products as the wizard loads them, one record a line:\n"
    "  product CODE PRODUCTNUMBER NAME\n"
    "  module CODE PRODUCTNUMBER MODULENUMBER MASK PATH   (MASK hexadecimal, 0x...)\n"
    "  chart FILENAME INFOERROR MODULENUMBER PRODUCTNUMBER\n"
    "  database FILENAME\n"
    "  dependency FILENAME\n"
    "\n"
    "  --cache FILE  the chart cache to read and update (default: the wizard's, in the data\n"
    "                folder). FILE is made when missing; an existing FILE that is not a chart\n"
    "                cache is refused and left as it is.\n"
    "\n");

// A --cache file the user named: missing (it is made), or a chart cache this program wrote.
// Anything else there (a document, a folder, a device) is not overwritten. Opened without
// blocking, so that a pipe in its place cannot stall the check.
bool IsUsableCacheFile(const QString& path, QString& why) {
  const QFileInfo info(path);
  if (!info.exists() && !info.isSymLink()) return true;
  if (!info.isFile()) {
    why = QStringLiteral("'%1' exists and is not a chart cache file (not a regular file); it was left as it is").arg(path);
    return false;
  }
  const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  char magic[4] = {};
  const bool read = fd >= 0 && ::read(fd, magic, 4) == 4;
  if (fd >= 0) ::close(fd);
  if (fd < 0) {
    why = QStringLiteral("'%1' cannot be read: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
    return false;
  }
  if (!read || std::memcmp(magic, "CVCI", 4) != 0) {
    why = QStringLiteral("'%1' exists and is not a chart cache file; it was left as it is").arg(path);
    return false;
  }
  return true;
}

// The wizard's chart cache: <data folder>Cache/ChartInfo.cif.
QString DefaultCacheFile() {
  QString appData;
  if (!ShlGetSpecialFolderPath(csfCommonAppData, appData)) return {};
  return appData + QStringLiteral("/Corvane/Deployer/Cache/ChartInfo.cif");
}

void Print(const TInstalledCharts& model) {
  for (const auto& product : model.Products()) {
    Out(QStringLiteral("product %1 %2 %3").arg(EscapeForLine(product->Code())).arg(product->ProductNumber()).arg(EscapeForLine(product->Name())));
    for (const auto& module : product->Modules()) {
      Out(QStringLiteral("module %1 %2 %3 0x%4 %5")
              .arg(EscapeForLine(module->Code()))
              .arg(module->ProductNumber())
              .arg(module->ModuleNumber())
              .arg(module->ModuleMask(), 0, 16)
              .arg(EscapeForLine(module->Path())));
      for (const auto& chart : module->Charts())
        Out(QStringLiteral("chart %1 %2 %3 %4")
                .arg(EscapeForLine(chart->FileName()))
                .arg(chart->InfoError())
                .arg(chart->ModuleNumber())
                .arg(chart->ProductNumber()));
      for (const auto& database : module->Databases()) Out(QStringLiteral("database ") + EscapeForLine(database->FileName()));
      for (const auto& dependency : module->Dependencies())
        Out(QStringLiteral("dependency ") + EscapeForLine(dependency->FileName()));
    }
  }
}

}  // namespace

int InstalledCommand(const QStringList& args) {
  cvtool::TArgs parsed(kWho);
  parsed.Value(QStringLiteral("--cache"), QStringLiteral("FILE"));
  const auto result = parsed.Parse(args);
  if (result != cvtool::TArgs::kRun) return parsed.Finish(result, kHelp + cvtool::ExitCodesHelp());
  if (!parsed.Positional().isEmpty())
    return parsed.Usage(QStringLiteral("unexpected argument '%1'").arg(parsed.Positional().first()));
  QString cacheFile = parsed.Get(QStringLiteral("--cache"));
  if (parsed.Has(QStringLiteral("--cache"))) {
    if (cacheFile.isEmpty()) return parsed.Usage(QStringLiteral("--cache needs a file name"));
    cacheFile = cvtool::AbsolutePath(cacheFile);
    QString why;
    if (!IsUsableCacheFile(cacheFile, why)) return Fail(why);
  } else {
    cacheFile = DefaultCacheFile();
  }

  std::unique_ptr<TInstalledCharts> model;
  try {
    model = std::make_unique<TInstalledCharts>(cacheFile);
  } catch (const EInstalledChartsError& e) {
    return Fail(e.Message());
  }
  if (const int error = model->LoadError())
    return Fail(QStringLiteral("%1 (%2)").arg(ErrorToStr(error), TAppReg::RootFileName(rrProducts)));
  Print(*model);
  std::fflush(stdout);
  return kExitOK;
}
