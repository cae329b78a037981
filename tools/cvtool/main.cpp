// cvtool: the installer's engine on the command line, for product setups, support staff,
// benchmarks and tests.
#include "Commands.h"

#include "CvAppExceptions.h"
#include "CvMsgBoxPresenter.h"

#include <cstdio>
#include <cstring>
#include <iterator>

int RegCommand(const QStringList& args);
int RunPusCommand(const QStringList& args);
int InstalledCommand(const QStringList& args);
int AccountCommand(const QStringList& args);
int RunInstallCommand(const QStringList& args);
int RunBackupCommand(const QStringList& args);
int RunRestoreCommand(const QStringList& args);
int RunVerifyCommand(const QStringList& args);

namespace {

const Command kCommands[] = {
    {"help", "help", nullptr},
    {"reg", "reg get|set|keys|values|delete ROOT KEY ...", RegCommand},
    {"pus", "pus [--lang N] URL version|history|download ... | pus error-text RESULT [SOCKETERROR]",
     RunPusCommand},
    {"installed", "installed [--cache FILE]", InstalledCommand},
    {"account", "account URL signin|products|files|download ... (docs/cvtool-account.md)", AccountCommand},
    {"install", "install URL DESTINATION PRODUCT:MASK... [--email E --password P] [--lang N] [--dry-run]",
     RunInstallCommand},
    {"backup", "backup URL FOLDER PRODUCT:MASK... [--email E --password P] [--dry-run] [--installer DIR]",
     RunBackupCommand},
    {"restore", "restore BACKUPFOLDER DESTINATION [PRODUCT:MASK...] [--lang N] (docs/cvtool-runs.md)",
     RunRestoreCommand},
    {"verify", "verify BACKUPFOLDER", RunVerifyCommand},
};

void PrintUsage(FILE* out) {
  std::fprintf(out, "usage: cvtool COMMAND ...\n");
  for (const Command& c : kCommands) std::fprintf(out, "  cvtool %s\n", c.usage);
}

}  // namespace

int main(int argc, char** argv) {
  TCvCoreApplication app(argc, argv);
  QStringList args = app.arguments().mid(1);
  if (args.isEmpty()) {
    PrintUsage(stderr);
    return 2;
  }
  const QString name = args.takeFirst();
  for (const Command& c : kCommands) {
    if (name != QLatin1String(c.name)) continue;
    if (!c.run) {
      PrintUsage(stdout);
      return 0;
    }
    return c.run(args);
  }
  std::fprintf(stderr, "cvtool: unknown command '%s'\n", qPrintable(name));
  PrintUsage(stderr);
  return 2;
}
