// cvtool pus: the update-server client on the command line. One line per event on stdout;
// errors for people on stderr.
#include "Args.h"
#include "Commands.h"
#include "ConsoleProgress.h"

#include "CvLib.h"
#include "CvPUSClient.h"
#include "CvUpdateSignature.h"
#include "LineOutput.h"

#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QSaveFile>

#include <unistd.h>

#include <cstdio>
#include <optional>

namespace {

using namespace cvtool;

const QString kWho = QStringLiteral("cvtool pus");

const QString kForms = QStringLiteral(
    "usage: cvtool pus [--lang N] URL version GUID...\n"
    "       cvtool pus [--lang N] URL history GUID [--out FILE]\n"
    "       cvtool pus [--lang N] [--quiet] URL download FOLDER GUID...\n"
    "       cvtool pus [--lang N] error-text RESULT [SOCKETERROR]\n");

const QString kCommon = QStringLiteral(
    "URL is the service's base URL as it prints it (http://127.0.0.1:8080); when its path is\n"
    "empty, /pus/pus.php is added. '-' takes the configured update server (CORVANE_PUS_URL,\n"
    "else the settings, else the built-in one).\n"
    "  --lang N   the language of the messages: 1 English ... 8 Swedish\n"
    "\n"
    "Lines on stdout:\n"
    "  version INDEX COUNT GUID VERSION\n"
    "  history BYTES\n"
    "  file RECEIVED SIZE INDEX COUNT GUID PATH\n"
    "  done COMMAND RESULT\n"
    "  error MESSAGE   (line breaks written as \\n; on stderr the message as it is)\n"
    "\n");

QString Help(const QString& sub) {
  QString text;
  if (sub == QLatin1String("version")) {
    text = QStringLiteral("usage: cvtool pus [--lang N] URL version GUID...\n\n"
                          "Asks the update server for the latest version of each product GUID.\n\n");
  } else if (sub == QLatin1String("history")) {
    text = QStringLiteral("usage: cvtool pus [--lang N] URL history GUID [--out FILE]\n\n"
                          "Fetches the release history (HTML) of a product.\n"
                          "  --out FILE  writes it to FILE (replaced only once the history arrived)\n\n");
  } else if (sub == QLatin1String("download")) {
    text = QStringLiteral("usage: cvtool pus [--lang N] [--quiet] URL download FOLDER GUID...\n\n"
                          "Downloads the update files of the products into FOLDER (made when missing).\n"
                          "A file that comes with a signed manifest (<file>.sig) is kept only when the\n"
                          "manifest is signed with the built-in key for its product, for a version newer\n"
                          "than this program's, and for the file's SHA-256; else both are deleted (exit 1).\n"
                          "Progress shows on a terminal as one line; elsewhere as file lines.\n"
                          "  --quiet, -q  prints only the finished files and the result\n\n");
  } else if (sub == QLatin1String("error-text")) {
    text = QStringLiteral("usage: cvtool pus [--lang N] error-text RESULT [SOCKETERROR]\n\n"
                          "Prints the message of a result code of the update-server client.\n\n");
  } else {
    text = kForms + QStringLiteral("\nThe update-server client on the command line.\n\n");
  }
  return text + kCommon + ExitCodesHelp();
}

// A message on one line: its line breaks as the two characters \n.
QString OneLine(QString text) {
  text.replace(QLatin1String("\r\n"), QLatin1String("\\n"));
  text.replace(QLatin1Char('\n'), QLatin1String("\\n"));
  text.replace(QLatin1Char('\r'), QLatin1String("\\n"));
  return text;
}

// The same message for people: real line breaks.
QString ForPeople(QString text) {
  text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
  text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  return text;
}

std::optional<TGUIDsArray> ParseGuids(const TArgs& parsed, const QStringList& texts) {
  TGUIDsArray guids;
  for (const QString& text : texts) {
    TGUID guid;
    if (text.isEmpty() || !TryStrToGUID(text, guid)) {
      parsed.Usage(QStringLiteral("'%1' is not a GUID ({XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX})").arg(text));
      return std::nullopt;
    }
    guids.push_back(guid);
  }
  return guids;
}

int ErrorText(const TArgs& parsed, const QStringList& args) {
  if (args.isEmpty() || args.size() > 2)
    return parsed.Usage(QStringLiteral("error-text needs RESULT and optionally SOCKETERROR"));
  const auto result = ParseNumber(args[0], INT32_MIN, INT32_MAX);
  if (!result) return parsed.Usage(QStringLiteral("RESULT '%1' is not a whole number").arg(args[0]));
  std::optional<qint64> socketError = 0;
  if (args.size() == 2) socketError = ParseNumber(args[1], INT32_MIN, INT32_MAX);
  if (!socketError) return parsed.Usage(QStringLiteral("SOCKETERROR '%1' is not a whole number").arg(args[1]));
  WriteLine(stdout, OneLine(PUSErrorText(static_cast<int>(*result), static_cast<int>(*socketError))));
  return kExitOK;
}

// FILE can be written (or made) without touching it now.
bool CanWrite(const QString& file, QString& why) {
  const QFileInfo info(file);
  if (info.isDir()) {
    why = QStringLiteral("cannot write '%1': it is a folder").arg(file);
    return false;
  }
  if (info.exists() ? !info.isWritable() : !QFileInfo(info.absolutePath()).isDir() ||
                                               !QFileInfo(info.absolutePath()).isWritable()) {
    why = QStringLiteral("cannot write '%1'").arg(file);
    return false;
  }
  return true;
}

}  // namespace

int RunPusCommand(const QStringList& arguments) {
  TArgs parsed(kWho);
  parsed.Value(QStringLiteral("--lang"), QStringLiteral("N"));
  parsed.Value(QStringLiteral("--out"), QStringLiteral("FILE"));
  parsed.Flag(QStringLiteral("--quiet"), QStringLiteral("-q"));
  const auto parse = parsed.Parse(arguments);
  const QStringList& args = parsed.Positional();
  // The sub-command: after URL, or named alone for its help.
  QString sub = args.value(0) == QLatin1String("error-text") ? args.value(0) : args.value(1);
  if (parse == TArgs::kHelp && sub.isEmpty()) sub = args.value(0);
  if (parse != TArgs::kRun) return parsed.Finish(parse, Help(sub));

  if (parsed.Has(QStringLiteral("--lang"))) {
    const auto language = ParseNumber(parsed.Get(QStringLiteral("--lang")), 1, 8);
    if (!language) return parsed.Usage(QStringLiteral("--lang needs a number from 1 to 8"));
    SetCurrentLanguage(static_cast<int>(*language));
  }
  if (args.value(0) == QLatin1String("error-text")) return ErrorText(parsed, args.mid(1));
  if (args.isEmpty()) return parsed.Usage(QStringLiteral("URL and sub-command missing"));
  if (args.size() < 2) return parsed.Usage(QStringLiteral("sub-command missing (version, history, download)"));

  // Every argument is checked before anything goes over the network.
  QString url;
  if (args[0] == QLatin1String("-")) {
    url = DefaultPUSURL();
  } else {
    QUrl parsedUrl;
    QString error;
    if (!ParseServiceURL(args[0], parsedUrl, error)) return parsed.Usage(error);
    if (parsedUrl.path().isEmpty() || parsedUrl.path() == QLatin1String("/"))
      parsedUrl.setPath(QStringLiteral("/pus/pus.php"));
    url = parsedUrl.toString();
  }
  const bool quiet = parsed.Has(QStringLiteral("--quiet"));
  const QString outFile = parsed.Has(QStringLiteral("--out")) ? AbsolutePath(parsed.Get(QStringLiteral("--out"))) : QString();
  if (parsed.Has(QStringLiteral("--out")) && sub != QLatin1String("history"))
    return parsed.Usage(QStringLiteral("--out belongs to history"));
  if (quiet && sub != QLatin1String("download")) return parsed.Usage(QStringLiteral("--quiet belongs to download"));
  std::optional<TGUIDsArray> guids;
  QString folder;
  if (sub == QLatin1String("version")) {
    if (args.size() < 3) return parsed.Usage(QStringLiteral("version needs at least one GUID"));
    guids = ParseGuids(parsed, args.mid(2));
  } else if (sub == QLatin1String("history")) {
    if (args.size() != 3) return parsed.Usage(QStringLiteral("history needs exactly one GUID"));
    guids = ParseGuids(parsed, args.mid(2));
  } else if (sub == QLatin1String("download")) {
    if (args.size() < 4) return parsed.Usage(QStringLiteral("download needs FOLDER and at least one GUID"));
    guids = ParseGuids(parsed, args.mid(3));
    folder = AbsolutePath(args[2]);
  } else {
    return parsed.Usage(QStringLiteral("unknown sub-command '%1' (version, history, download, error-text)").arg(sub));
  }
  if (!guids) return kExitUsage;
  if (!outFile.isEmpty()) {
    QString why;
    if (!CanWrite(outFile, why)) return Fail(kWho, why);
  }
  if (!folder.isEmpty()) {
    // The client writes into the folder as it is; a new one is made first, as account
    // download does.
    if (QFileInfo(folder).exists() && !QFileInfo(folder).isDir())
      return Fail(kWho, QStringLiteral("'%1' is not a folder").arg(folder));
    if (!QDir().mkpath(folder)) return Fail(kWho, QStringLiteral("cannot make the folder '%1'").arg(folder));
  }

  TPUSClient client;
  client.SetURL(url);
  QEventLoop loop;
  bool done = false;
  int result = 0;
  bool outFailed = false;
  // Lines for people go to a terminal as a redrawn line; elsewhere the file lines are the record.
  const bool toTerminal = isatty(STDOUT_FILENO);
  // The display goes to stdout on a terminal, else to stderr (redrawn when that is a terminal,
  // plain lines now and then when not).
  std::FILE* progressStream = toTerminal ? stdout : stderr;
  TConsoleProgress progress(progressStream, TConsoleProgress::ModeFor(progressStream, quiet));
  auto print = [&](const QString& line) { progress.Print(stdout, line); };
  auto fail = [&](const QString& message) {
    progress.Clear();
    Fail(kWho, message);
  };

  client.OnCommandDone = [&](TPUSClient* sender, TPUSCommand command, int commandResult) {
    progress.Finish();
    print(QStringLiteral("done %1 %2").arg(PUSCommandName(command)).arg(commandResult));
    if (commandResult != 0) {
      const QString message = sender->GetErrorText(commandResult);
      print(QStringLiteral("error ") + OneLine(message));
      fail(ForPeople(message));
      // The message keeps the server's wording; what the number means is said apart.
      if (commandResult == prSocketError && sender->SocketError() == 10060)
        fail(QStringLiteral("the server did not answer within 60 s"));
    }
    result = commandResult;
    done = true;
    loop.quit();
  };
  client.OnRequestVersion = [&](TPUSClient*, int index, int count, const TPUSVersionInfo& info) {
    print(QStringLiteral("version %1 %2 %3 %4")
              .arg(index)
              .arg(count)
              .arg(GUIDToString(info.Guid), VersionToStr(info.ProductVersion, 4)));
  };
  client.OnRequestHistory = [&](TPUSClient*, const QString& history) {
    const QByteArray bytes = history.toUtf8();
    print(QStringLiteral("history %1").arg(bytes.size()));
    if (outFile.isEmpty()) return;
    QSaveFile out(outFile);
    if (!out.open(QIODevice::WriteOnly) || out.write(bytes) != bytes.size() || !out.commit()) {
      fail(QStringLiteral("cannot write '%1': %2").arg(outFile, out.errorString()));
      outFailed = true;
    }
  };
  QString currentPath;
  // Files that came just after their signed manifest, checked when the download has ended.
  QString lastSignature;
  QList<std::pair<QString, TGUID>> signedFiles;
  client.OnRequestUpdateFile = [&](TPUSClient*, int received, int size, int index, int count, const TGUID& guid,
                                   const QString& path) {
    const QString line =
        QStringLiteral("file %1 %2 %3 %4 %5 %6").arg(received).arg(size).arg(index).arg(count).arg(GUIDToString(guid), path);
    if (path != currentPath) {
      currentPath = path;
      progress.Start(QStringLiteral("%1 (%2/%3)").arg(QFileInfo(path).fileName()).arg(index).arg(count), size);
      // The update server's files are fetched whole each time; a cut one is not resumed.
      SetInterruptMessage(QStringLiteral("%1: interrupted; the partly downloaded file '%2' is incomplete and is "
                                         "fetched again by the next download")
                              .arg(kWho, path));
    }
    const bool finished = received >= size;
    if (finished) {
      if (!lastSignature.isEmpty() && lastSignature == path + QLatin1String(".sig")) signedFiles.append({path, guid});
      lastSignature = path.endsWith(QLatin1String(".sig")) ? path : QString();
    }
    if (finished) progress.Finish();
    else progress.Update(received);
    // Each step for a pipe or file; for people and with --quiet only the finished file.
    if (finished || (!toTerminal && !quiet)) print(line);
  };

  if (sub == QLatin1String("download")) {
    client.SetDownloadFolder(folder);
    CatchInterrupt(QStringLiteral("%1: interrupted").arg(kWho));
    client.RequestUpdateFile(*guids);
  } else if (sub == QLatin1String("history")) {
    client.RequestHistory(guids->front());
  } else {
    client.RequestVersion(*guids);
  }
  if (!done) loop.exec();
  ReleaseInterrupt();
  // As the wizard's self-update does: an installer signed for an older release, another
  // product or other bytes is not left lying around.
  bool refused = false;
  for (const auto& [path, guid] : std::as_const(signedFiles)) {
    if (result != 0) break;
    const TSignatureCheck check = VerifyUpdateFile(path, guid, GetProgInfo().Version);
    if (check == scValid) continue;
    FileDelete(path);
    FileDelete(UpdateSignaturePath(path));
    const QString message = QStringLiteral("'%1' was refused and deleted: %2").arg(path, SignatureCheckText(check));
    print(QStringLiteral("error ") + OneLine(message));
    fail(message);
    refused = true;
  }
  std::fflush(stdout);
  return result == 0 && !outFailed && !refused ? kExitOK : kExitFailed;
}
