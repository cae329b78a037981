// cvtool: the installer's engine on the command line, for product setups, support staff,
// benchmarks and tests.
#include "Args.h"
#include "Commands.h"

#include "CvAppExceptions.h"
#include "CvMsgBoxPresenter.h"

#include <cstdio>

int RegCommand(const QStringList& args);
int RunPusCommand(const QStringList& args);
int InstalledCommand(const QStringList& args);
int AccountCommand(const QStringList& args);
int RunInstallCommand(const QStringList& args);
int RunBackupCommand(const QStringList& args);
int RunRestoreCommand(const QStringList& args);
int RunVerifyCommand(const QStringList& args);

namespace {

using namespace cvtool;

const Command kCommands[] = {
    {"reg", "the settings store: get, set, keys, values, delete", RegCommand},
    {"pus", "the update server: version, history, download, error-text", RunPusCommand},
    {"installed", "the installed products as the wizard sees them", InstalledCommand},
    {"account", "the customer account: signin, products, files, download (a backup)", AccountCommand},
    {"install", "install from the internet, unattended (docs/cvtool-runs.md)", RunInstallCommand},
    {"backup", "create or update an installation backup, unattended", RunBackupCommand},
    {"restore", "install from an installation backup, unattended", RunRestoreCommand},
    {"verify", "check a backup's files against its index", RunVerifyCommand},
};

QString MainHelp() {
  QString text = QStringLiteral(
      "usage: cvtool COMMAND [ARGUMENTS...]\n"
      "       cvtool COMMAND --help\n"
      "       cvtool --version\n"
      "\n"
      "The installer's engine on the command line.\n"
      "\n"
      "Commands:\n");
  for (const Command& c : kCommands)
    text += QStringLiteral("  %1%2\n").arg(QString::fromLatin1(c.name).leftJustified(11), QLatin1String(c.summary));
  text += QStringLiteral("  help [COMMAND]  this text, or the help of a command\n\n");
  return text + ExitCodesHelp();
}

const Command* FindCommand(const QString& name) {
  for (const Command& c : kCommands)
    if (name == QLatin1String(c.name)) return &c;
  return nullptr;
}

// The first argument whose bytes are not UTF-8: such a path or key would land under another
// name (each bad byte replaced), so it is refused instead.
int NotText(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const QByteArray raw(argv[i]);
    if (QString::fromUtf8(raw).toUtf8() != raw) return i;
  }
  return 0;
}

// Qt's own warnings are for developers ("QIODevice::read: device not open"); the commands
// report what went wrong in their own words. CVTOOL_DEBUG=1 shows them.
void QuietQtMessages(QtMsgType type, const QMessageLogContext&, const QString& message) {
  if (type == QtFatalMsg || qEnvironmentVariableIsSet("CVTOOL_DEBUG")) WriteText(stderr, message);
}

}  // namespace

int main(int argc, char** argv) {
  qInstallMessageHandler(QuietQtMessages);
  TCvCoreApplication app(argc, argv);
  if (const int bad = NotText(argc, argv))
    return UsageError(QStringLiteral("cvtool"),
                      QStringLiteral("argument %1 ('%2') is not valid UTF-8 text, which file names, keys and "
                                     "values must be")
                          .arg(bad)
                          .arg(QString::fromLatin1(QByteArray(argv[bad]).toPercentEncoding("/ .-_~"))));
  QStringList args = app.arguments().mid(1);
  if (args.isEmpty()) return UsageError(QStringLiteral("cvtool"), QStringLiteral("no command given"));
  const QString name = args.takeFirst();
  if (name == QLatin1String("--help") || name == QLatin1String("-h")) return PrintHelp(MainHelp());
  if (name == QLatin1String("--version")) {
    WriteText(stdout, VersionLine());
    return kExitOK;
  }
  if (name == QLatin1String("help")) {
    if (args.isEmpty() || args[0].startsWith(u'-')) return PrintHelp(MainHelp());
    const Command* c = FindCommand(args[0]);
    if (!c) return UsageError(QStringLiteral("cvtool"), QStringLiteral("unknown command '%1'").arg(args[0]));
    return c->run(args.mid(1) << QStringLiteral("--help"));
  }
  if (const Command* c = FindCommand(name)) return c->run(args);
  return UsageError(QStringLiteral("cvtool"), QStringLiteral("unknown command '%1'").arg(name));
}
