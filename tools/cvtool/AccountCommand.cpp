// cvtool account: the chart-check engine on the command line, against the account and
// package service. One tab-separated line per product record, install item, file and event;
// the format is in docs/cvtool-account.md. Exit codes: 0 done, 1 the service, a download, the
// folder or its index failed, or a selected product was not found, 2 bad arguments.
#include "Args.h"
#include "Commands.h"
#include "ConsoleProgress.h"

#include "CvDeployRun.h"
#include "CvLib.h"
#include "CvMsgBoxPresenter.h"
#include "LineOutput.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>

#include <QHash>

#include <functional>
#include <optional>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

using cvtool::kExitFailed;
using cvtool::kExitOK;
using cvtool::kExitUsage;
using cvtool::TConsoleProgress;

const QString kWho = QStringLiteral("cvtool account");

// How the run talks: the progress display (a terminal line, or nothing) and whether the
// machine lines of progress (event) are wanted.
struct Console {
  std::unique_ptr<TConsoleProgress> progress;
  bool eventLines = true;
};
Console gConsole;
// Ctrl-C came during a download: it was cancelled, so that what arrived is on disk.
bool gInterrupted = false;
bool gInDownload = false;
constexpr int kExitInterrupted = 130;

void Print(const QString& line) {
  if (gConsole.progress) gConsole.progress->Print(stdout, line);
  else WriteLine(stdout, line);
  std::fflush(stdout);
}

// Each field escaped, so that a name from the service cannot break a line or fake one.
void Out(QStringList fields) {
  for (QString& field : fields) field = EscapeForLine(field);
  Print(fields.join(u'\t'));
}

int Fail(const QString& message, int code = kExitFailed) {
  if (gConsole.progress) gConsole.progress->Clear();
  return cvtool::Fail(kWho, message, code);
}

const QString kForms = QStringLiteral(
    "usage: cvtool account URL signin EMAIL PASSWORD [--remember]\n"
    "       cvtool account URL products [--table | --lines] [--email E --password P]\n"
    "       cvtool account URL files PRODUCTNUMBER:MODULEMASK... [--email E --password P]\n"
    "       cvtool account URL download FOLDER PRODUCTNUMBER:MODULEMASK... [--quiet] [--email E --password P]\n");

const QString kCommon = QStringLiteral(
    "URL is the service's base URL as it prints it (http://127.0.0.1:8080); '-' takes the\n"
    "configured one (CORVANE_SERVICE_URL, else the settings, else the built-in one).\n"
    "Without --email and --password a run signs in with the sign-in that 'signin ... --remember'\n"
    "stored. The lines on stdout are described in docs/cvtool-account.md.\n"
    "  --email E, --password P  sign in with these for this run\n"
    "  --remember               keep the sign-in (an e-mail address and a token, never the password)\n"
    "\n");

QString Help(const QString& sub) {
  QString text;
  if (sub == QLatin1String("signin")) {
    text = QStringLiteral("usage: cvtool account URL signin EMAIL PASSWORD [--remember]\n\n"
                          "Signs in; with --remember the next runs need no password.\n\n");
  } else if (sub == QLatin1String("products")) {
    text = QStringLiteral("usage: cvtool account URL products [--table | --lines] [--email E --password P]\n\n"
                          "Lists the account's products. On a terminal as a table for people (kind, group\n"
                          "and size by name and unit), elsewhere as 'product' lines.\n"
                          "  --table   the table, wherever the output goes\n"
                          "  --lines   the 'product' lines, also on a terminal\n\n");
  } else if (sub == QLatin1String("files")) {
    text = QStringLiteral("usage: cvtool account URL files PRODUCTNUMBER:MODULEMASK... [--email E --password P]\n\n"
                          "Lists the install items and their files of the selected products.\n"
                          "A selection that names no product of the account is an error (exit 1).\n\n");
  } else if (sub == QLatin1String("download")) {
    text = QStringLiteral(
        "usage: cvtool account URL download FOLDER PRODUCTNUMBER:MODULEMASK... [--quiet] [--email E --password P]\n\n"
        "Downloads the selected products into FOLDER (made when missing) in the layout of an\n"
        "installation backup and writes its index. Files already current are skipped; a\n"
        "download cut short (Ctrl-C, a broken connection) is resumed by the next run.\n"
        "Progress shows on a terminal as one line; elsewhere as 'event' lines.\n"
        "  --quiet, -q  prints only the results (download, current, index)\n\n");
  } else {
    text = kForms + QStringLiteral("\nThe customer account on the command line: sign in, list, download a backup.\n\n");
  }
  return text + kCommon + cvtool::ExitCodesHelp();
}

QString ErrorText(int error) {
  switch (error) {
    case 4:
    case 5:
    case 9:
    case 10: return cvtool::ServiceErrorText(error);
    case 6: return QStringLiteral("malformed request (6)");
    case 7: return QStringLiteral("no such resource (7)");
    case 8: return QStringLiteral("service fault (8)");
    default: return QStringLiteral("%1 (%2)").arg(ErrorToStr(error)).arg(error);
  }
}

// The engine ends a request after this long without data.
constexpr qint64 kIdleTimeoutMs = 60000;

QString VersionText(uint32_t v) {
  return QStringLiteral("%1.%2.%3.%4").arg(v >> 24).arg(v >> 16 & 0xFF).arg(v >> 8 & 0xFF).arg(v & 0xFF);
}

// The engine and a loop that waits for its completion events, printing every event.
class Session {
 public:
  Session() : fEnv(NavEnvCreate()) {
    fEnv->EventSource().Subscribe(&Session::OnEvent, this);
    fCheck = QMRChartCheckCreate(fEnv->EventSource(), QStringLiteral("CSI"), GetProgInfo().Version);
  }
  ~Session() {
    fCheck.reset();
    fEnv->EventSource().Unsubscribe(&Session::OnEvent, this);
  }

  ChartCheck& Check() { return *fCheck; }
  // An operation runs and its event 130 has not come yet.
  bool Busy() const { return (fWaiting && !fDone) || (fRun && fRun->Operation() != 0); }

  // Waits for the event 130 of an operation that started; returns LastError.
  int Wait(int started) {
    if (started == cvlib::ceChkBusy) return started;
    fLastData.start();
    fWaiting = true;
    while (!fDone) fLoop.exec();
    fWaiting = false;
    fDone = false;
    return fCheck->LastError();
  }

  // While a run works, its events go to it (the progress still shows here).
  void SetRun(TDeployRun* run) { fRun = run; }
  TDeployRun* Run() const { return fRun; }
  // Runs the event loop until done() holds.
  void WaitUntil(const std::function<bool()>& done) {
    while (!done()) fLoop.processEvents(QEventLoop::WaitForMoreEvents);
  }

  QString ErrorText(int error) const {
    if (TimedOut(error)) return QStringLiteral("the server did not answer within 60 s (%1)").arg(error);
    if (error == 10) return cvtool::ServiceErrorText(10, fCheck->RetryAfter());
    return ::ErrorText(error);
  }

  // The last operation failed on the network after a minute without data: the engine's idle
  // timeout, not a refused or broken connection.
  bool TimedOut(int error) const { return error == cvlib::ceChkNetwork && fLastData.elapsed() >= kIdleTimeoutMs - 500; }

 private:
  static void OnEvent(void* data, const TNavEvent& event) {
    auto* self = static_cast<Session*>(data);
    if (event.code == necDownloadProgress) {
      self->fLastData.start();
      if (gConsole.progress) gConsole.progress->Update(static_cast<qint64>(event.value));
      if (gConsole.eventLines)
        Out({QStringLiteral("event"), QStringLiteral("131"), QString::number(static_cast<qint64>(event.value))});
    } else if (event.code == necOperationDone) {
      if (gConsole.eventLines)
        Out({QStringLiteral("event"), QStringLiteral("130"), QString::number(self->fCheck->LastError())});
      if (!self->fRun || self->fRun->Operation() == 0) {
        self->fDone = true;
        self->fLoop.quit();
      }
    }
    if (self->fRun && self->fRun->Operation() != 0) self->fRun->HandleEvent(event);
  }

  std::unique_ptr<TNavEnv> fEnv;
  std::unique_ptr<ChartCheck> fCheck;
  QEventLoop fLoop;
  QElapsedTimer fLastData;
  bool fWaiting = false;
  bool fDone = false;
  TDeployRun* fRun = nullptr;
};

void PrintProduct(const ProductRecord& p) {
  Out({QStringLiteral("product"), QString::number(p.ProductNumber()), QString::number(p.ModuleMask()),
       QString::number(p.Kind()), QString::number(p.Group()), QString::number(p.Revision()),
       VersionText(p.LatestVersion()), QString::number(p.Size()), p.Checked() ? "1" : "0", p.RegistryKey(),
       p.InstallFolder(), p.DisplayName(), p.ItemTitle()});
}

void PrintItem(const InstallItem& item) {
  Out({QStringLiteral("item"), QString::number(item.ProductNumber()), QString::number(item.ModuleMask()),
       QString::number(item.Status()), QString::number(item.Revision()), item.ProductCode(), item.ModuleCode(),
       QString::number(item.FileCount()), item.SourceFolder(), item.InstallFolder(), item.ProductName(),
       item.ModuleName()});
  for (int i = 0; i < item.FileCount(); ++i)
    Out({QStringLiteral("file"), QString::number(item.ProductNumber()), QString::number(item.ModuleMask()),
         QString::number(i), QString::number(item.FileSize(i)), QString::number(item.FileTime(i)),
         item.IsAddOn(i) ? "1" : "0", item.FileSha256(i), item.FileFolder(i), item.FileName(i)});
}

struct Options {
  QString email, password;
  bool remember = false;
};

struct Selection {
  int number = 0;
  int mask = 0;
  QString text;
};

// PRODUCTNUMBER:MODULEMASK, both whole numbers; nullopt (reported) otherwise.
std::optional<QList<Selection>> ParseSelection(const cvtool::TArgs& parsed, const QStringList& texts) {
  QList<Selection> out;
  for (const QString& text : texts) {
    const QStringList parts = text.split(u':');
    const auto number = parts.size() == 2 ? cvtool::ParseNumber(parts[0], 0, INT32_MAX) : std::nullopt;
    const auto mask = parts.size() == 2 ? cvtool::ParseNumber(parts[1], INT32_MIN, INT32_MAX) : std::nullopt;
    if (!number || !mask) {
      parsed.Usage(QStringLiteral("'%1' is not PRODUCTNUMBER:MODULEMASK (e.g. 1001:3)").arg(text));
      return std::nullopt;
    }
    out << Selection{static_cast<int>(*number), static_cast<int>(*mask), text};
  }
  return out;
}

// Signs in (with --email/--password, else with the remembered pair) and lists the products.
int SignInAndList(Session& s, const Options& o) {
  if (!o.email.isEmpty() || !o.password.isEmpty()) {
    // Without --remember this run alone signs in: a sign-in stored earlier stays as it is.
    if (o.remember) s.Check().SignIn(o.email + u';' + o.password, true);
    else s.Check().SignInOnce(o.email + u';' + o.password);
  } else {
    // A remembered token stays valid only while it is used with "remember".
    s.Check().SignIn(QString(), true);
  }
  const int error = s.Wait(s.Check().RequestProducts());
  if (error) return Fail(s.ErrorText(error));
  return kExitOK;
}

// Every selection must name a product of the account: one that names none would fetch
// nothing and still look like success.
int CheckOwned(Session& s, const QList<Selection>& selection) {
  QStringList missing;
  for (const Selection& sel : selection) {
    bool found = false;
    for (int i = 0; i < s.Check().ProductCount() && !found; ++i) {
      const ProductRecord* p = s.Check().Product(i);
      found = p->ProductNumber() == sel.number && (p->ModuleMask() & sel.mask) != 0;
    }
    if (!found) missing << sel.text;
  }
  if (missing.isEmpty()) return kExitOK;
  return Fail(QStringLiteral("the account has no product of number and module mask %1; nothing was done")
                  .arg(missing.join(QStringLiteral(", "))));
}

int FileList(Session& s, const QList<Selection>& selection, bool print = true) {
  auto list = s.Check().NewSelectionList();
  for (const Selection& sel : selection) {
    auto entry = s.Check().NewSelectionEntry();
    entry->SetProductNumber(sel.number);
    entry->SetModuleMask(sel.mask);
    if (const ProductRecord* p = s.Check().FindProductRecord(sel.number, sel.mask)) entry->SetKind(p->Kind());
    list->Add(std::move(entry));
  }
  const int error = s.Wait(s.Check().RequestFileList(*list));
  if (error) return Fail(s.ErrorText(error));
  if (print)
    for (int i = 0; i < s.Check().ItemCount(); ++i) PrintItem(*s.Check().Item(i));
  return kExitOK;
}

QString KindName(int kind) {
  switch (kind) {
    case 0: return QStringLiteral("Program");
    case 1: return QStringLiteral("Chart set");
    case 2: return QStringLiteral("Add-on");
    case 99: return QStringLiteral("Companion");
    default: return QStringLiteral("Kind %1").arg(kind);
  }
}

// The products for people: kinds and groups by name, sizes with units, one row a product.
void PrintProductTable(ChartCheck& c) {
  QList<QStringList> rows{{QStringLiteral("Product"), QStringLiteral("Modules"), QStringLiteral("Kind"),
                           QStringLiteral("Group"), QStringLiteral("Version"), QStringLiteral("Size"),
                           QStringLiteral("Name")}};
  for (int i = 0; i < c.ProductCount(); ++i) {
    const ProductRecord& p = *c.Product(i);
    QString name = p.DisplayName();
    if (!p.ItemTitle().isEmpty()) name += QStringLiteral(" – ") + p.ItemTitle();
    rows << QStringList{QString::number(p.ProductNumber()), QString::number(p.ModuleMask()), KindName(p.Kind()),
                        p.Group() == 9999 ? QStringLiteral("General") : QString::number(p.Group()),
                        p.LatestVersion() ? VersionText(p.LatestVersion()) : QStringLiteral("-"),
                        TConsoleProgress::FormatBytes(p.Size()),
                        // Names come from the service: no control characters reach the terminal.
                        EscapeForLine(name)};
  }
  QList<qsizetype> widths(rows.first().size(), 0);
  for (const QStringList& row : rows)
    for (qsizetype col = 0; col < row.size(); ++col) widths[col] = std::max(widths[col], row[col].size());
  for (const QStringList& row : rows) {
    QString line;
    for (qsizetype col = 0; col < row.size(); ++col) {
      const bool number = col == 0 || col == 1 || col == 5;
      const bool last = col == row.size() - 1;
      line += number ? row[col].rightJustified(widths[col]) : last ? row[col] : row[col].leftJustified(widths[col]);
      if (!last) line += QStringLiteral("  ");
    }
    Print(line);
  }
}

// What the backup run shows, as this command's lines: "current" and "download" a file, the
// progress line on a terminal. Each path is found back as (product, mask, file index).
class TAccountRunOutput final : public TRunProgress {
 public:
  TAccountRunOutput(const ChartCheck& check, const QString& folder) : fCheck(check), fFolder(folder) {}

  void SetSingleHeader(const QString&) override {}
  void SetSingleText(const QString&) override {}
  void SetSingleMax(int) override {}
  void SetSinglePosition(int) override {}
  void SetTotalText(const QString&) override {}
  void SetTotalMax(int value) override { fTotalMax = value; }
  void SetTotalPosition(int value) override { fTotal = value; }
  int TotalPosition() const override { return fTotal; }

  void FileNotice(TRunFileAction action, const QString& path, std::int64_t size, const QString&) override {
    if (fFiles.isEmpty()) MapFiles();
    const QStringList where = fFiles.value(path);
    switch (action) {
      case TRunFileAction::Current:
        Out(QStringList{QStringLiteral("current")} + where + QStringList{path});
        break;
      case TRunFileAction::Fetch:
        Out(QStringList{QStringLiteral("download")} + where + QStringList{path});
        // The engine keeps in the part what reached the disk (whole write chunks).
        interrupted = QStringLiteral("%1: interrupted; the part of '%2' already written was kept and the next "
                                     "download into '%3' resumes it")
                          .arg(kWho, path, fFolder);
        cvtool::SetInterruptMessage(interrupted);
        gInDownload = true;
        if (gConsole.progress)
          gConsole.progress->Start(QStringLiteral("%1 (%2/%3)").arg(QFileInfo(path).fileName()).arg(fTotal).arg(fTotalMax),
                                   size);
        break;
      case TRunFileAction::Done:
      case TRunFileAction::Failed:
        gInDownload = false;
        if (gConsole.progress) gConsole.progress->Finish();
        cvtool::SetInterruptMessage(QStringLiteral("%1: interrupted").arg(kWho));
        break;
      case TRunFileAction::Copy:
        break;
    }
  }

 private:
  void MapFiles() {
    for (int i = 0; i < fCheck.ItemCount(); ++i) {
      const InstallItem& item = *fCheck.Item(i);
      const ProductRecord* record = fCheck.FindProductRecord(item.ProductNumber(), item.ModuleMask());
      const bool chart = record ? record->Kind() == pkChartSet : F12(item.ProductNumber());
      for (int f = 0; f < item.FileCount(); ++f)
        fFiles.insert(fFolder + u'/' + BackupFilePath(item, f, chart),
                      {QString::number(item.ProductNumber()), QString::number(item.ModuleMask()), QString::number(f)});
    }
  }

  const ChartCheck& fCheck;
  const QString fFolder;
  QHash<QString, QStringList> fFiles;

 public:
  QString interrupted;  // what to say when Ctrl-C ends the download under way
  int fTotal = 0, fTotalMax = 0;
};

// Downloads into FOLDER in the layout of an installation backup and writes its index, through
// the backup run of the wizard (files and index only: no installer copy, no autorun files).
int Download(Session& s, const QString& folder) {
  TAccountRunOutput output(s.Check(), folder);
  TRunSettings settings;
  settings.setupType = CreateBackup;
  settings.destination = folder + u'/';
  settings.indexOnly = true;
  // The run's messages become this command's error lines; its summary is this command's exit code.
  const TMsgBoxPresenter previous = SetMsgBoxPresenter([](const TMsgBoxRequest& r) {
    if (r.kind == mtError && r.buttons == mbOKOnly) Fail(QString(r.text).replace(QLatin1String("\r\n"), QLatin1String(" ")));
    return MsgButtonResult(MsgCancelButton(r.buttons));
  });
  TDeployRun run(s.Check(), nullptr, output, settings);
  std::optional<TRunResult> result;
  run.SetOnFinished([&](const TRunResult& r) { result = r; });
  s.SetRun(&run);
  run.RunFileList();
  s.WaitUntil([&] { return result.has_value(); });
  s.SetRun(nullptr);
  SetMsgBoxPresenter(previous);
  gInDownload = false;
  if (gInterrupted) {
    cvtool::WriteText(stderr, output.interrupted.isEmpty() ? QStringLiteral("%1: interrupted").arg(kWho)
                                                           : output.interrupted);
    return kExitInterrupted;
  }
  for (const QString& line : run.Failures()) Fail(line);
  if (!run.IndexWritten()) return kExitFailed;
  Out({QStringLiteral("index"), folder + QStringLiteral("/cvbackup.idx")});
  return result->outcome == TRunOutcome::Success ? kExitOK : kExitFailed;
}

// FOLDER is a folder, or can be made: its nearest existing ancestor is a folder.
bool FolderUsable(const QString& folder, QString& why) {
  QString path = folder;
  while (!QFileInfo::exists(path) && !QFileInfo(path).isSymLink()) {
    const QString parent = QFileInfo(path).path();
    if (parent == path) break;
    path = parent;
  }
  if (QFileInfo(path).isDir()) return true;
  why = path == folder ? QStringLiteral("'%1' is not a folder").arg(folder)
                       : QStringLiteral("'%1' cannot be made: '%2' is not a folder").arg(folder, path);
  return false;
}

}  // namespace

int AccountCommand(const QStringList& args) {
  cvtool::TArgs parsed(kWho);
  parsed.Value(QStringLiteral("--email"), QStringLiteral("E"));
  parsed.Value(QStringLiteral("--password"), QStringLiteral("P"));
  parsed.Flag(QStringLiteral("--remember"));
  parsed.Flag(QStringLiteral("--quiet"), QStringLiteral("-q"));
  parsed.Flag(QStringLiteral("--table"));
  parsed.Flag(QStringLiteral("--lines"));
  const auto result = parsed.Parse(args);
  QStringList rest = parsed.Positional();
  static const QStringList subs = {QStringLiteral("signin"), QStringLiteral("products"), QStringLiteral("files"),
                                   QStringLiteral("download")};
  // The sub-command follows URL; for help it may stand alone.
  const QString what = result == cvtool::TArgs::kHelp && subs.contains(rest.value(0)) ? rest.value(0) : rest.value(1);
  if (result != cvtool::TArgs::kRun) return parsed.Finish(result, Help(what));
  if (rest.size() < 2)
    return parsed.Usage(rest.isEmpty() ? QStringLiteral("URL and sub-command missing")
                                       : QStringLiteral("sub-command missing (signin, products, files, download)"));
  if (!subs.contains(what))
    return parsed.Usage(QStringLiteral("unknown sub-command '%1' (signin, products, files, download)").arg(what));

  // Every argument is checked before anything goes over the network.
  const QString urlText = rest.takeFirst();
  rest.removeFirst();
  QString url;
  if (urlText != QLatin1String("-")) {
    QUrl parsedUrl;
    QString error;
    if (!cvtool::ParseServiceURL(urlText, parsedUrl, error)) return parsed.Usage(error);
    url = parsedUrl.toString();
  }
  Options o;
  o.email = parsed.Get(QStringLiteral("--email"));
  o.password = parsed.Get(QStringLiteral("--password"));
  o.remember = parsed.Has(QStringLiteral("--remember"));
  if (parsed.Has(QStringLiteral("--email")) != parsed.Has(QStringLiteral("--password")))
    return parsed.Usage(QStringLiteral("--email and --password go together"));
  const bool quiet = parsed.Has(QStringLiteral("--quiet"));
  if (quiet && what != QLatin1String("download")) return parsed.Usage(QStringLiteral("--quiet belongs to download"));
  if ((parsed.Has(QStringLiteral("--table")) || parsed.Has(QStringLiteral("--lines"))) && what != QLatin1String("products"))
    return parsed.Usage(QStringLiteral("--table and --lines belong to products"));
  if (parsed.Has(QStringLiteral("--table")) && parsed.Has(QStringLiteral("--lines")))
    return parsed.Usage(QStringLiteral("--table or --lines, not both"));

  std::optional<QList<Selection>> selection;
  QString folder;
  if (what == QLatin1String("signin")) {
    if (rest.size() != 2) return parsed.Usage(QStringLiteral("signin needs EMAIL and PASSWORD"));
    if (parsed.Has(QStringLiteral("--email"))) return parsed.Usage(QStringLiteral("signin takes EMAIL and PASSWORD, not --email"));
    o.email = rest[0];
    o.password = rest[1];
  } else if (what == QLatin1String("products")) {
    if (!rest.isEmpty()) return parsed.Usage(QStringLiteral("unexpected argument '%1'").arg(rest.first()));
  } else if (what == QLatin1String("files")) {
    if (rest.isEmpty()) return parsed.Usage(QStringLiteral("files needs PRODUCTNUMBER:MODULEMASK"));
    if (!(selection = ParseSelection(parsed, rest))) return kExitUsage;
  } else {
    if (rest.size() < 2) return parsed.Usage(QStringLiteral("download needs FOLDER and PRODUCTNUMBER:MODULEMASK"));
    folder = cvtool::AbsolutePath(rest.takeFirst());
    if (!(selection = ParseSelection(parsed, rest))) return kExitUsage;
    QString why;
    if (!FolderUsable(folder, why)) return Fail(why);
  }

  // People at a terminal get a progress line instead of the event lines.
  const bool terminal = isatty(STDOUT_FILENO);
  const bool table = what == QLatin1String("products") &&
                     (parsed.Has(QStringLiteral("--table")) || (terminal && !parsed.Has(QStringLiteral("--lines"))));
  gConsole.eventLines = !terminal && !quiet && !table;
  // The progress display goes where people look: stdout on a terminal, else stderr when that
  // is one (output piped on), else plain lines on stderr now and then (for a log).
  if (what == QLatin1String("download") && !quiet) {
    std::FILE* stream = terminal ? stdout : stderr;
    gConsole.progress = std::make_unique<TConsoleProgress>(stream, TConsoleProgress::ModeFor(stream, false));
  }
  cvtool::CatchInterrupt(QStringLiteral("%1: interrupted").arg(kWho));

  Session s;
  if (!url.isEmpty()) s.Check().SetServiceURL(url);
  // Ctrl-C in a download cancels it, so that what arrived reaches the disk and is resumed by the
  // next run; anywhere else it ends the run at once.
  cvtool::CatchInterruptInLoop([&s] {
    if (!gInDownload || !s.Busy()) {
      cvtool::WriteText(stderr, QStringLiteral("%1: interrupted").arg(kWho));
      std::_Exit(kExitInterrupted);
    }
    gInterrupted = true;
    // The run stops: the download under way is cancelled, nothing after it starts, and the
    // index stays as it was.
    if (s.Run()) s.Run()->RequestStop();
    else s.Check().CancelDownload();
  });
  if (const int r = SignInAndList(s, o)) return r;

  if (what == QLatin1String("signin")) {
    Out({QStringLiteral("signedin"), o.email, o.remember ? QStringLiteral("remembered") : QStringLiteral("once")});
    return kExitOK;
  }
  if (what == QLatin1String("products")) {
    if (table) {
      PrintProductTable(s.Check());
    } else {
      for (int i = 0; i < s.Check().ProductCount(); ++i) PrintProduct(*s.Check().Product(i));
    }
    return kExitOK;
  }
  if (const int r = CheckOwned(s, *selection)) return r;
  if (what == QLatin1String("files")) return FileList(s, *selection);

  if (const int error = DirCreate(folder)) return Fail(QStringLiteral("%1: %2").arg(folder, ErrorText(error)));
  // An earlier backup in the folder keeps the items this run does not bring anew. An index
  // that cannot be read would lose its items when replaced: the run stops instead.
  const QString index = folder + QStringLiteral("/cvbackup.idx");
  const int read = s.Check().ReadBackupIndex(index);
  if (read && read != cvlib::ceBackupIndexMissing) return Fail(QStringLiteral("%1: %2").arg(index, ErrorText(read)));
  // The item and file lines are records for programs; people see the files as they come.
  if (const int r = FileList(s, *selection, gConsole.eventLines)) return r;
  const int r = Download(s, folder);
  gConsole.progress.reset();
  return r;
}
