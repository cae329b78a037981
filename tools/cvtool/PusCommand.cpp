// cvtool pus: the update-server client on the command line. One line per event on stdout.
#include "Commands.h"

#include "CvLib.h"
#include "CvPUSClient.h"
#include "LineOutput.h"

#include <QEventLoop>
#include <QFile>

#include <cstdio>
#include <optional>

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: cvtool pus [--lang N] URL version GUID...\n"
               "       cvtool pus [--lang N] URL history GUID [--out FILE]\n"
               "       cvtool pus [--lang N] URL download FOLDER GUID...\n"
               "       cvtool pus [--lang N] error-text RESULT [SOCKETERROR]\n");
  return 2;
}

// A message on one line: its line breaks as the two characters \n.
QString OneLine(QString text) {
  text.replace(QLatin1String("\r\n"), QLatin1String("\\n"));
  text.replace(QLatin1Char('\n'), QLatin1String("\\n"));
  text.replace(QLatin1Char('\r'), QLatin1String("\\n"));
  return text;
}

void Print(const QString& line) { WriteLine(stdout, line); }

std::optional<TGUIDsArray> ParseGuids(const QStringList& texts) {
  TGUIDsArray guids;
  for (const QString& text : texts) {
    TGUID guid;
    if (text.isEmpty() || !TryStrToGUID(text, guid)) {
      std::fprintf(stderr, "cvtool pus: '%s' is not a GUID\n", qPrintable(text));
      return std::nullopt;
    }
    guids.push_back(guid);
  }
  return guids;
}

int ErrorText(const QStringList& args) {
  if (args.isEmpty() || args.size() > 2) return Usage();
  bool ok = false;
  const int result = args[0].toInt(&ok);
  int socketError = 0;
  if (ok && args.size() == 2) socketError = args[1].toInt(&ok);
  if (!ok) return Usage();
  Print(OneLine(PUSErrorText(result, socketError)));
  return 0;
}

}  // namespace

int RunPusCommand(const QStringList& arguments) {
  QStringList args;
  QString outFile;
  for (int i = 0; i < arguments.size(); ++i) {
    const QString& a = arguments[i];
    if ((a == QLatin1String("--lang") || a == QLatin1String("--out")) && i + 1 < arguments.size()) {
      const QString value = arguments[++i];
      if (a == QLatin1String("--out")) {
        outFile = value;
        continue;
      }
      bool ok = false;
      const int language = value.toInt(&ok);
      if (!ok || language < 1 || language > 8) return Usage();
      SetCurrentLanguage(language);
      continue;
    }
    args << a;
  }
  if (args.size() >= 1 && args[0] == QLatin1String("error-text")) return ErrorText(args.mid(1));
  if (args.size() < 3) return Usage();

  const QString url = args[0];
  const QString sub = args[1];
  TPUSClient client;
  client.SetURL(url);
  QEventLoop loop;
  bool done = false;
  int result = 0;
  client.OnCommandDone = [&](TPUSClient* sender, TPUSCommand command, int commandResult) {
    Print(QStringLiteral("done %1 %2").arg(PUSCommandName(command)).arg(commandResult));
    if (commandResult != 0)
      Print(QStringLiteral("error ") + OneLine(sender->GetErrorText(commandResult)));
    result = commandResult;
    done = true;
    loop.quit();
  };
  client.OnRequestVersion = [](TPUSClient*, int index, int count, const TPUSVersionInfo& info) {
    Print(QStringLiteral("version %1 %2 %3 %4")
              .arg(index)
              .arg(count)
              .arg(GUIDToString(info.Guid), VersionToStr(info.ProductVersion, 4)));
  };
  client.OnRequestHistory = [&outFile](TPUSClient*, const QString& history) {
    const QByteArray bytes = history.toUtf8();
    Print(QStringLiteral("history %1").arg(bytes.size()));
    if (outFile.isEmpty()) return;
    QFile out(outFile);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) || out.write(bytes) != bytes.size())
      std::fprintf(stderr, "cvtool pus: cannot write '%s'\n", qPrintable(outFile));
  };
  client.OnRequestUpdateFile = [](TPUSClient*, int progress, int size, int index, int count,
                                  const TGUID& guid, const QString& path) {
    Print(QStringLiteral("file %1 %2 %3 %4 %5 %6")
              .arg(progress)
              .arg(size)
              .arg(index)
              .arg(count)
              .arg(GUIDToString(guid), path));
  };

  if (sub == QLatin1String("version")) {
    const auto guids = ParseGuids(args.mid(2));
    if (!guids) return Usage();
    client.RequestVersion(*guids);
  } else if (sub == QLatin1String("history")) {
    const auto guids = ParseGuids(args.mid(2));
    if (!guids || guids->size() != 1) return Usage();
    client.RequestHistory(guids->front());
  } else if (sub == QLatin1String("download")) {
    if (args.size() < 4) return Usage();
    const auto guids = ParseGuids(args.mid(3));
    if (!guids) return Usage();
    client.SetDownloadFolder(args[2]);
    client.RequestUpdateFile(*guids);
  } else {
    return Usage();
  }
  if (!done) loop.exec();
  std::fflush(stdout);
  return result == 0 ? 0 : 1;
}
