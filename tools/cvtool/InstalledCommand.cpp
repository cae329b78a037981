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
// another. Exit codes: 0 done, 2 an error (bad arguments, a store that cannot be read, a chart
// cache that cannot be written), told in one line on stderr.
#include "Commands.h"

#include "CvInstalledCharts.h"
#include "CvLib.h"
#include "LineOutput.h"

#include <cstdio>
#include <memory>

namespace {

constexpr int kExitOK = 0;
constexpr int kExitError = 2;

void Out(const QString& line) { WriteLine(stdout, line); }

int Fail(const QString& message) {
  WriteLine(stderr, QStringLiteral("cvtool installed: ") + message);
  return kExitError;
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
  QString cacheFile;
  for (qsizetype i = 0; i < args.size(); ++i) {
    if (args[i] == QLatin1String("--cache") && i + 1 < args.size() && !args[i + 1].isEmpty()) {
      cacheFile = args[++i];
    } else {
      return Fail(QStringLiteral("unexpected argument '%1' (usage: cvtool installed [--cache FILE])").arg(args[i]));
    }
  }
  if (cacheFile.isEmpty()) cacheFile = DefaultCacheFile();

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
