// cvtool install, backup, restore, verify: the wizard's runs unattended, through the very same
// run code (src/runs). Questions are answered without a person and printed to stderr; progress
// goes to stdout (one redrawn line on a terminal, else one line per file); the last line is
// "summary success|partial|failed SUCCEEDED SELECTED". Exit codes: 0 success, 1 partial or
// failed, 2 bad arguments. Documented in docs/cvtool-runs.md.
#include "Commands.h"

#include "RunConsole.h"
#include "CvDeployRun.h"
#include "CvInstalledCharts.h"
#include "CvProgramBundle.h"
#include "CvLib.h"
#include "CvRunFiles.h"
#include "Args.h"
#include "LineOutput.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>

#include <cstdio>
#include <memory>
#include <optional>

#include <sys/stat.h>

namespace {

constexpr int kExitOK = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

QString gCommand;

int Fail(const QString& message, int code = kExitFailed) {
  std::fflush(stdout);
  WriteLine(stderr, QStringLiteral("cvtool %1: %2").arg(gCommand, message));
  return code;
}

QString ErrorText(int error) {
  switch (error) {
    case 4:
    case 5:
    case 9:
    case 10: return cvtool::ServiceErrorText(error);
    default: return QStringLiteral("%1 (%2)").arg(ErrorToStr(error)).arg(error);
  }
}

void Summary(const char* outcome, int succeeded, int selected) {
  WriteLine(stdout, QStringLiteral("summary %1 %2 %3").arg(QLatin1String(outcome)).arg(succeeded).arg(selected));
  std::fflush(stdout);
}

// Ctrl-C is the wizard's Abort: the download under way is cancelled with its part kept, and
// the run ends with its summary. A second Ctrl-C ends at once.
void AbortOnInterrupt(TDeployRun& run) {
  cvtool::SetInterruptMessage(QStringLiteral("cvtool %1: interrupted").arg(gCommand));
  cvtool::CatchInterruptInLoop([&run] {
    WriteLine(stderr, QStringLiteral("cvtool %1: interrupted: stopping after the current step; a partly downloaded "
                                     "file is kept and the next run resumes it (Ctrl-C again ends at once)")
                          .arg(gCommand));
    run.RequestAbort();
  });
}

int SummaryExit(const TRunResult& r) {
  const char* word = r.outcome == TRunOutcome::Success ? "success"
                     : r.outcome == TRunOutcome::Partial ? "partial"
                                                         : "failed";
  Summary(word, r.succeeded, r.selected);
  return r.outcome == TRunOutcome::Success ? kExitOK : kExitFailed;
}

struct TOptions {
  QString email, password;
  int language = 0;
  int connections = 0;  // 0: the setting's
  bool dryRun = false;
  bool quiet = false;
  QString installer;
  QStringList rest;
};

const char* const kInstallHelp =
    "usage: cvtool install URL DESTINATION PRODUCT:MASK... [--email E --password P] [--lang N] [--connections N]\n"
    "                      [--dry-run] [--quiet]\n\n"
    "Installs the account's products from the internet, as the wizard does: chart sets into\n"
    "DESTINATION/QMR2/<code>/<module>/ (recorded as installed), programs by running their setups\n"
    "silently into DESTINATION, add-ons beside them. Files already current are not fetched again.\n"
    "URL is the package service ('-' for the configured one). Without --email and --password the\n"
    "remembered sign-in is used.\n\n"
    "  --lang N         language of this run and of the setups (1 English, 2 Dutch, 3 German, ... 8)\n"
    "  --connections N  small files fetched over up to N connections at once, 1 to 16 (default: the\n"
    "                   setting Servers/Connections, else 4)\n"
    "  --dry-run        prints what would be fetched and changes nothing\n"
    "  --quiet, -q      no progress; only the questions, failures and the summary\n\n"
    "The last line is 'summary success|partial|failed SUCCEEDED SELECTED' (docs/cvtool-runs.md).\n";
const char* const kBackupHelp =
    "usage: cvtool backup URL FOLDER PRODUCT:MASK... [--email E --password P] [--dry-run] [--installer DIR]\n"
    "                     [--connections N] [--quiet]\n\n"
    "Creates or updates an installation backup in FOLDER, as the wizard does: the products' files,\n"
    "a copy of the installer and its library, the autorun files on a removable drive's root, and\n"
    "the index. A backup already there is updated and expanded; current files are not fetched.\n\n"
    "  --installer DIR  where Deployer and libCvLibNav5.so are (default: beside cvtool, else\n"
    "                   /usr/lib/corvane-deployer/)\n"
    "  --connections N  small files fetched over up to N connections at once, 1 to 16 (default: the\n"
    "                   setting Servers/Connections, else 4)\n"
    "  --dry-run        prints what would be fetched and changes nothing\n"
    "  --quiet, -q      no progress; only the questions, failures and the summary\n\n"
    "The last line is 'summary success|partial|failed SUCCEEDED SELECTED' (docs/cvtool-runs.md).\n";
const char* const kRestoreHelp =
    "usage: cvtool restore BACKUPFOLDER DESTINATION [PRODUCT:MASK...] [--lang N] [--quiet]\n\n"
    "Installs from an installation backup without the service: the named products (a mask of -1\n"
    "names every module) or all of them, chart sets first. Every item is checked against the\n"
    "vendor's signature and every file against its signed size and SHA-256 while it is copied; a\n"
    "damaged file fails its item, and a setup not covered by a valid signature is never started.\n\n"
    "  --lang N     language of this run and of the setups (1 English, 2 Dutch, 3 German, ... 8)\n"
    "  --quiet, -q  no progress; only the questions, failures and the summary\n\n"
    "The last line is 'summary success|partial|failed SUCCEEDED SELECTED' (docs/cvtool-runs.md).\n";
const char* const kVerifyHelp =
    "usage: cvtool verify BACKUPFOLDER\n\n"
    "Checks every item of the backup's index against the vendor's signature and every file against\n"
    "its signed size and SHA-256: 'untrusted ITEM' for an item whose signature does not verify (or a\n"
    "program without one; its files count as damaged), 'unsigned ITEM' for a chart set of an older\n"
    "backup without signatures, one line per missing or damaged file, then\n"
    "'verified FILES MISSING DAMAGED' (the index's files). The installer's copy is checked against\n"
    "the vendor's manifest beside it: 'untrusted Deployer' and its damaged files when it does not\n"
    "hold, 'unsigned Deployer' for a copy without one. Exit code 1 when any file is missing or\n"
    "damaged, the copy is untrusted or the index cannot be read.\n";

// Parses the command line with the shared rules (help, version, usage errors). Returns -1 to
// go on, else the exit code.
int ParseCommand(const QStringList& args, const QStringList& values, const QStringList& flags, const char* help,
                 TOptions& o) {
  cvtool::TArgs parsed(QStringLiteral("cvtool ") + gCommand);
  for (const QString& v : values) parsed.Value(v, v.mid(2).toUpper());
  for (const QString& f : flags) parsed.Flag(f, f == QLatin1String("--quiet") ? QStringLiteral("-q") : QString());
  const auto result = parsed.Parse(args);
  if (result != cvtool::TArgs::kRun) return parsed.Finish(result, QString::fromUtf8(help) + u'\n' + cvtool::ExitCodesHelp());
  o.email = parsed.Get(QStringLiteral("--email"));
  o.password = parsed.Get(QStringLiteral("--password"));
  o.installer = parsed.Get(QStringLiteral("--installer"));
  o.dryRun = parsed.Has(QStringLiteral("--dry-run"));
  o.quiet = parsed.Has(QStringLiteral("--quiet"));
  o.rest = parsed.Positional();
  if (parsed.Has(QStringLiteral("--email")) != parsed.Has(QStringLiteral("--password")))
    return parsed.Usage(QStringLiteral("--email and --password go together"));
  if (parsed.Has(QStringLiteral("--lang"))) {
    const auto n = cvtool::ParseNumber(parsed.Get(QStringLiteral("--lang")), 1, 8);
    if (!n) return parsed.Usage(QStringLiteral("--lang takes a language number 1 to 8"));
    o.language = static_cast<int>(*n);
  }
  if (parsed.Has(QStringLiteral("--connections"))) {
    const auto n = cvtool::ParseNumber(parsed.Get(QStringLiteral("--connections")), 1, 16);
    if (!n) return parsed.Usage(QStringLiteral("--connections needs a number from 1 to 16"));
    o.connections = static_cast<int>(*n);
  }
  return -1;
}

struct TPick {
  int product = 0;
  int mask = 0;
};

bool ParsePicks(const QStringList& texts, std::vector<TPick>& picks, QString& error) {
  for (const QString& text : texts) {
    const QStringList parts = text.split(u':');
    bool okNumber = false, okMask = false;
    TPick p;
    p.product = parts.value(0).toInt(&okNumber);
    p.mask = parts.size() == 2 ? parts[1].toInt(&okMask) : 0;
    if (!okNumber || !okMask) {
      error = QStringLiteral("'%1' is not PRODUCT:MASK (two whole numbers)").arg(text);
      return false;
    }
    picks.push_back(p);
  }
  return true;
}

// An absolute folder with a trailing '/', made when missing.
bool PrepareFolder(const QString& text, bool create, QString& folder, QString& error) {
  if (text.isEmpty()) {
    error = QStringLiteral("empty folder name");
    return false;
  }
  folder = QDir::cleanPath(QDir(text).absolutePath());
  if (!folder.endsWith(u'/')) folder += u'/';
  if (create) {
    if (const int e = DirCreate(folder)) {
      error = QStringLiteral("%1: %2").arg(folder, ErrorText(e));
      return false;
    }
  } else if (!QFileInfo(folder).isDir()) {
    error = QStringLiteral("%1: no such folder").arg(folder);
    return false;
  }
  return true;
}

QString DefaultCacheFile() {
  QString appData;
  if (!ShlGetSpecialFolderPath(csfCommonAppData, appData)) return {};
  return appData + QStringLiteral("/Corvane/Deployer/Cache/ChartInfo.cif");
}

// Where the backup takes the installer from: --installer, else cvtool's own folder when the
// installer lies beside it, else the folder the package installs it to.
QString InstallerFolder(const QString& option) {
  if (!option.isEmpty()) return QDir(option).absolutePath() + u'/';
  const QString own = QCoreApplication::applicationDirPath() + u'/';
  if (QFileInfo(own + QStringLiteral("Deployer")).isFile()) return own;
  return QStringLiteral("/usr/lib/corvane-deployer/");
}

// The engine, its environment, the console face and a loop that waits for events.
class TSession {
 public:
  explicit TSession(bool quiet) : fEnv(NavEnvCreate()), fProgress(stdout, quiet) {
    fPrevious = SetMsgBoxPresenter([this](const TMsgBoxRequest& r) {
      fProgress.EndLine();
      return RunConsoleAnswers(r);
    });
    fEnv->EventSource().Subscribe(&TSession::OnEvent, this);
    fCheck = QMRChartCheckCreate(fEnv->EventSource(), QStringLiteral("CSI"), GetProgInfo().Version);
  }
  ~TSession() {
    fRun.reset();
    fCheck.reset();
    fEnv->EventSource().Unsubscribe(&TSession::OnEvent, this);
    SetMsgBoxPresenter(fPrevious);
  }

  ChartCheck& Check() { return *fCheck; }
  TNavEnv& Env() { return *fEnv; }
  TRunConsole& Progress() { return fProgress; }

  // Waits for the event 130 of an operation that started; returns LastError.
  // An event that came while other work pumped the loop counts too.
  int Wait(int started) {
    if (started == cvlib::ceChkBusy) return started;
    while (!fDone) fLoop.exec();
    fDone = false;
    return fCheck->LastError();
  }

  // Sends the sign-in with its product list; Wait(started) waits for it. An error of the
  // credentials themselves is returned, and nothing was sent.
  int StartSignIn(const TOptions& o, int& started) {
    if (!o.email.isEmpty() || !o.password.isEmpty()) {
      if (const int e = fCheck->SignIn(o.email + u';' + o.password, false)) return e;
    } else if (const int e = fCheck->SignIn(QString(), true)) {
      return e;
    }
    started = fCheck->RequestProducts();
    return 0;
  }

  TDeployRun& MakeRun(TInstalledCharts* installed, const TRunSettings& settings) {
    fRun = std::make_unique<TDeployRun>(*fCheck, installed, fProgress, settings);
    fRun->SetOnFinished([this](const TRunResult& r) {
      fResult = r;
      fLoop.quit();
    });
    return *fRun;
  }

  // Runs the event loop until the run has finished; the run's own events go to it.
  TRunResult WaitForRun() {
    while (!fResult) fLoop.exec();
    fProgress.EndLine();
    for (const QString& line : fRun->Failures()) WriteLine(stderr, QStringLiteral("cvtool %1: %2").arg(gCommand, line));
    return *fResult;
  }

 private:
  static void OnEvent(void* data, const TNavEvent& event) {
    auto* self = static_cast<TSession*>(data);
    if (self->fRun && self->fRun->Operation() != 0) {
      self->fRun->HandleEvent(event);
      return;
    }
    if (event.code == necOperationDone) {
      self->fDone = true;
      self->fLoop.quit();
    }
  }

  std::unique_ptr<TNavEnv> fEnv;
  std::unique_ptr<ChartCheck> fCheck;
  TRunConsole fProgress;
  std::unique_ptr<TDeployRun> fRun;
  std::optional<TRunResult> fResult;
  TMsgBoxPresenter fPrevious;
  QEventLoop fLoop;
  bool fDone = false;
};

void PrintPlan(const std::vector<TItemPlan>& plan) {
  std::int64_t fetchBytes = 0;
  int fetch = 0, current = 0;
  for (const TItemPlan& p : plan) {
    const InstallItem& item = *p.item;
    QStringList fields{QStringLiteral("plan"), QString::number(item.ProductNumber()), QString::number(item.ModuleMask())};
    if (p.skipped) {
      fields << QStringLiteral("skipped") << EscapeForLine(item.ProductName());
    } else {
      fields << QString::number(p.fetch) << QString::number(p.fetchBytes) << QString::number(p.current)
             << QString::number(p.currentBytes) << EscapeForLine(p.folder) << EscapeForLine(item.ProductName()) +
                                                                                 (item.ModuleName() != item.ProductName()
                                                                                      ? QStringLiteral(" - ") + EscapeForLine(item.ModuleName())
                                                                                      : QString());
      fetch += p.fetch;
      current += p.current;
      fetchBytes += p.fetchBytes;
    }
    WriteLine(stdout, fields.join(u'\t'));
  }
  WriteLine(stdout, QStringLiteral("plan-total\t%1\t%2\t%3").arg(fetch).arg(fetchBytes).arg(current));
}

// install and backup: sign in, the file list, the download run.
int DownloadRun(const QStringList& args, TSetupType type) {
  TOptions o;
  QString error;
  const int parsed = type == InstallOnline
                         ? ParseCommand(args, {"--email", "--password", "--lang", "--connections"}, {"--dry-run", "--quiet"}, kInstallHelp, o)
                         : ParseCommand(args, {"--email", "--password", "--installer", "--connections"}, {"--dry-run", "--quiet"},
                                        kBackupHelp, o);
  if (parsed >= 0) return parsed;
  if (o.rest.size() < 3)
    return cvtool::UsageError(QStringLiteral("cvtool ") + gCommand,
                              o.rest.size() < 2 ? QStringLiteral("URL and folder missing")
                                                : QStringLiteral("PRODUCT:MASK missing"));
  const QString urlText = o.rest.takeFirst();
  QString url;
  if (urlText != QLatin1String("-")) {
    QUrl parsedUrl;
    if (!cvtool::ParseServiceURL(urlText, parsedUrl, error)) return cvtool::UsageError(QStringLiteral("cvtool ") + gCommand, error);
    url = parsedUrl.toString();
  }
  const QString folderText = o.rest.takeFirst();
  std::vector<TPick> picks;
  if (!ParsePicks(o.rest, picks, error)) return Fail(error, kExitUsage);
  QString folder;
  if (!PrepareFolder(folderText, !o.dryRun, folder, error)) {
    if (!o.dryRun) return Fail(error);
    folder = QDir::cleanPath(QDir(folderText).absolutePath()) + u'/';
  }
  if (o.language) SetCurrentLanguage(o.language);

  TSession s(o.quiet);
  if (!url.isEmpty()) s.Check().SetServiceURL(url);
  if (o.connections) s.Check().SetConnections(o.connections);
  int started = 0;
  int signedIn = s.StartSignIn(o, started);
  // An earlier backup's index is read while the service checks the sign-in (a large one takes
  // about as long); the sign-in's outcome still comes first.
  const QString index = folder + QStringLiteral("cvbackup.idx");
  if (signedIn == 0 && type == CreateBackup) s.Check().PrefetchBackupIndex(index);
  if (signedIn == 0) signedIn = s.Wait(started);
  if (const int e = signedIn) {
    Fail(e == 10 ? cvtool::ServiceErrorText(10, s.Check().RetryAfter()) : ErrorText(e));
    Summary("failed", 0, static_cast<int>(picks.size()));
    return kExitFailed;
  }
  // The selection as the product page makes it: known records only, companions follow their program.
  auto list = s.Check().NewSelectionList();
  for (const TPick& p : picks) {
    const ProductRecord* record = s.Check().FindProductRecord(p.product, p.mask);
    if (!record) return Fail(QStringLiteral("%1:%2 is not a product of the account").arg(p.product).arg(p.mask), kExitUsage);
    if (record->Kind() == pkCompanion) {
      Fail(QStringLiteral("%1:%2 comes with its program and is not selected on its own").arg(p.product).arg(p.mask), 0);
      continue;
    }
    auto entry = s.Check().NewSelectionEntry();
    entry->SetProductNumber(p.product);
    entry->SetModuleMask(p.mask);
    entry->SetKind(record->Kind());
    list->Add(std::move(entry));
  }

  if (type == CreateBackup) {
    // An earlier backup in the folder is updated (its other products stay in the index). An
    // index that cannot be read would lose its items when replaced: the run stops instead.
    int read = 0;
    const TBackupTarget target = ReadBackupTarget(s.Check(), folder, read);
    if (target == TBackupTarget::Update) {
      WriteLine(stderr, QStringLiteral("cvtool backup: %1 holds a backup; it is updated and expanded").arg(folder));
    } else if (target == TBackupTarget::Unreadable) {
      Fail(QStringLiteral("%1cvbackup.idx: %2").arg(folder, ErrorText(read)));
      Summary("failed", 0, list->Count());
      return kExitFailed;
    }
  }

  std::unique_ptr<TInstalledCharts> installed;
  if (type == InstallOnline && !o.dryRun) {
    try {
      installed = std::make_unique<TInstalledCharts>(DefaultCacheFile());
    } catch (const std::exception& e) {
      Fail(QString::fromLocal8Bit(e.what()));
      Summary("failed", 0, list->Count());
      return kExitFailed;
    }
  }
  TRunSettings settings;
  settings.setupType = type;
  settings.destination = folder;
  settings.installerFolder = InstallerFolder(o.installer);

  if (o.dryRun) {
    if (const int e = s.Wait(s.Check().RequestFileList(*list))) {
      Fail(ErrorText(e));
      return kExitFailed;
    }
    TDeployRun& run = s.MakeRun(nullptr, settings);
    PrintPlan(run.Plan());
    return kExitOK;
  }
  TDeployRun& run = s.MakeRun(installed.get(), settings);
  AbortOnInterrupt(run);
  run.RequestRun(*list);
  return SummaryExit(s.WaitForRun());
}

int InstallCommand(const QStringList& args) {
  gCommand = QStringLiteral("install");
  return DownloadRun(args, InstallOnline);
}

int BackupCommand(const QStringList& args) {
  gCommand = QStringLiteral("backup");
  return DownloadRun(args, CreateBackup);
}

int RestoreCommand(const QStringList& args) {
  gCommand = QStringLiteral("restore");
  TOptions o;
  QString error;
  if (const int parsed = ParseCommand(args, {"--lang"}, {"--quiet"}, kRestoreHelp, o); parsed >= 0) return parsed;
  if (o.rest.size() < 2)
    return cvtool::UsageError(QStringLiteral("cvtool restore"), QStringLiteral("BACKUPFOLDER and DESTINATION missing"));
  QString backup, destination;
  if (!PrepareFolder(o.rest.takeFirst(), false, backup, error)) return Fail(error, kExitUsage);
  const QString destinationText = o.rest.takeFirst();
  std::vector<TPick> picks;
  if (!ParsePicks(o.rest, picks, error)) return Fail(error, kExitUsage);
  if (!PrepareFolder(destinationText, true, destination, error)) return Fail(error);
  if (o.language) SetCurrentLanguage(o.language);

  TSession s(o.quiet);
  ChartCheck& c = s.Check();
  if (const int e = c.ReadBackupIndex(backup + QStringLiteral("cvbackup.idx"))) {
    Fail(QStringLiteral("Error reading backup files, please try again... (%1)").arg(ErrorText(e)));
    Summary("failed", 0, static_cast<int>(picks.size()));
    return kExitFailed;
  }
  // The products of the backup, as the wizard builds them for its selection page.
  c.ClearProducts();
  for (int i = 0; i < c.ItemCount(); ++i) c.AddItemProduct(c.Item(i));
  c.FinishProducts();
  std::vector<bool> used(picks.size(), false);
  for (int i = 0; i < c.ItemCount(); ++i) {
    InstallItem* item = c.Item(i);
    bool selected = picks.empty();
    for (size_t p = 0; p < picks.size(); ++p) {
      if (picks[p].product != item->ProductNumber()) continue;
      const ProductRecord* record = c.FindProductRecord(item->ProductNumber(), item->ModuleMask());
      const bool companion = record && record->Kind() == pkCompanion;
      if (picks[p].mask == -1 || (picks[p].mask & item->ModuleMask()) != 0 || companion) {
        selected = true;
        used[p] = true;
      }
    }
    item->SetSelected(selected);
  }
  for (size_t p = 0; p < picks.size(); ++p)
    if (!used[p])
      return Fail(QStringLiteral("%1:%2 is not in the backup").arg(picks[p].product).arg(picks[p].mask), kExitUsage);

  std::unique_ptr<TInstalledCharts> installed;
  try {
    installed = std::make_unique<TInstalledCharts>(DefaultCacheFile());
  } catch (const std::exception& e) {
    Fail(QString::fromLocal8Bit(e.what()));
    Summary("failed", 0, c.ItemCount());
    return kExitFailed;
  }
  TRunSettings settings;
  settings.setupType = InstallFromBackup;
  settings.destination = destination;
  settings.backupFolder = backup;
  TDeployRun& run = s.MakeRun(installed.get(), settings);
  AbortOnInterrupt(run);
  run.RunBackupInstallation();
  return SummaryExit(s.WaitForRun());
}

int VerifyCommand(const QStringList& args) {
  gCommand = QStringLiteral("verify");
  TOptions o;
  QString error;
  if (const int parsed = ParseCommand(args, {}, {}, kVerifyHelp, o); parsed >= 0) return parsed;
  if (o.rest.size() != 1)
    return cvtool::UsageError(QStringLiteral("cvtool verify"),
                              o.rest.isEmpty() ? QStringLiteral("BACKUPFOLDER missing") : QStringLiteral("one BACKUPFOLDER only"));
  QString backup;
  if (!PrepareFolder(o.rest[0], false, backup, error)) return Fail(error, kExitUsage);
  auto env = NavEnvCreate();
  auto check = QMRChartCheckCreate(env->EventSource(), QStringLiteral("CSI"), GetProgInfo().Version);
  if (const int e = check->ReadBackupIndex(backup + QStringLiteral("cvbackup.idx")))
    return Fail(QStringLiteral("%1cvbackup.idx: %2").arg(backup, ErrorText(e)));
  int files = 0, missing = 0, damaged = 0;
  for (int i = 0; i < check->ItemCount(); ++i) {
    const InstallItem& item = *check->Item(i);
    const bool chart = F12(item.ProductNumber());
    // The index is a cache; the vendor's signature is the authority. A forged item, or a
    // program without a signature, is untrusted and every file of it counts as damaged; a
    // chart set of an older, unsigned backup is told and checked against the index alone.
    const bool signedOk = cvlib::ItemSignatureValid(item.Data());
    const bool untrusted = !signedOk && (!chart || !item.Data().signature.isEmpty());
    if (!signedOk)
      WriteLine(stdout, QStringLiteral("%1\t%2")
                            .arg(untrusted ? QStringLiteral("untrusted") : QStringLiteral("unsigned"),
                                 EscapeForLine(item.SourceFolder())));
    for (int f = 0; f < item.FileCount(); ++f) {
      ++files;
      const QString relative = BackupFilePath(item, f, chart);
      if (untrusted) {
        ++damaged;
        WriteLine(stdout, QStringLiteral("damaged\t%1").arg(EscapeForLine(relative)));
        continue;
      }
      QString sha;
      std::int64_t size = 0;
      const int e = cvruns::HashFile(backup + relative, sha, size);
      if (e == cvlib::ceFileNotFound) {
        ++missing;
        WriteLine(stdout, QStringLiteral("missing\t%1").arg(EscapeForLine(relative)));
      } else if (e || size != item.FileSize(f) || item.FileSha256(f).isEmpty() ||
                 sha.compare(item.FileSha256(f), Qt::CaseInsensitive) != 0) {
        ++damaged;
        WriteLine(stdout, QStringLiteral("damaged\t%1").arg(EscapeForLine(relative)));
      }
    }
  }
  // The installer's copy, which autorun.sh starts: our own two files against the vendor's
  // manifest beside them, the files the backup writes itself against what it writes.
  bool copyDamaged = false;
  struct stat st {};
  if (::lstat(QFile::encodeName(backup + QStringLiteral("Deployer")).constData(), &st) == 0) {
    QStringList changed;
    const cvruns::TCopyTrust copy = cvruns::CheckProgramCopy(backup, changed);
    if (copy == cvruns::ctUnsigned) {
      WriteLine(stdout, QStringLiteral("unsigned\tDeployer"));
    } else if (copy != cvruns::ctSigned) {
      copyDamaged = true;
      WriteLine(stdout, QStringLiteral("untrusted\tDeployer"));
      if (changed.isEmpty()) changed << QString::fromLatin1(cvruns::kCopySignatureName);
      for (const QString& name : changed) WriteLine(stdout, QStringLiteral("damaged\t%1").arg(name));
    }
    for (const QString& name : cvruns::ChangedBundleTexts(backup)) {
      copyDamaged = true;
      WriteLine(stdout, QStringLiteral("damaged\t%1").arg(name));
    }
  }
  WriteLine(stdout, QStringLiteral("verified %1 %2 %3").arg(files).arg(missing).arg(damaged));
  return missing || damaged || copyDamaged ? kExitFailed : kExitOK;
}

}  // namespace

int RunInstallCommand(const QStringList& args) { return InstallCommand(args); }
int RunBackupCommand(const QStringList& args) { return BackupCommand(args); }
int RunRestoreCommand(const QStringList& args) { return RestoreCommand(args); }
int RunVerifyCommand(const QStringList& args) { return VerifyCommand(args); }
