#include "CvDeployRun.h"

#include "CvInstalledCharts.h"
#include "CvLibRegistry.h"
#include "CvLanguage.h"
#include "CvMsgBoxPresenter.h"
#include "CvProgramBundle.h"
#include "CvRunFiles.h"
#include "CvRunTexts.h"
#include "CvStrUtils.h"
#include "CvZipExtract.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace cvruns;

QString Size(std::int64_t bytes) { return SizeToStr(0, 1, false, bytes); }

QString WithSlash(const QString& folder) {
  return folder.isEmpty() || folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/');
}

bool SameFolder(const QString& a, const QString& b) {
  const QString ca = QFileInfo(a).canonicalFilePath();
  const QString cb = QFileInfo(b).canonicalFilePath();
  if (!ca.isEmpty() && ca == cb) return true;
  return QDir::cleanPath(QDir(a).absolutePath()) == QDir::cleanPath(QDir(b).absolutePath());
}

// A damaged or missing file of a backup, as against a copy that failed on the way.
bool IsBackupFault(int error) {
  return error == cvlib::ceChkChecksum || error == cvlib::ceFileNotFound || error == cvlib::ceFileRead;
}

QString Reason(int error) {
  if (error == cvlib::ceChkChecksum) return QStringLiteral("size or checksum does not match");
  return ErrorToStr(error);
}

bool IsSha256Text(const QString& text) {
  if (text.size() != 64) return false;
  for (const QChar c : text)
    if (!((c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F'))) return false;
  return true;
}

constexpr int kPumpMs = 20;
constexpr int kShowMs = 50;  // a scan of current files shows its total this often

// Whether files are current, looked up below their folder's descriptor (opened again only when
// the folder changes): the same rule as IsFileCurrent, without resolving the whole path for
// each file. Anything unusual (a folder that cannot be opened, a file whose time says it must
// be checked) goes the way of IsFileCurrent.
class TFolderScan {
 public:
  TFolderScan() = default;
  TFolderScan(const TFolderScan&) = delete;
  TFolderScan& operator=(const TFolderScan&) = delete;
  ~TFolderScan() { Close(); }

  bool IsCurrent(const QString& folder, const QString& path, const cvlib::TItemFile& file, bool byContent) {
    // A program's files are read whatever their size and time say: it is what gets started.
    if (byContent) return IsFileCurrent(path, file.size, file.time, file.sha256, true);
    if (folder != fFolder) {
      Close();
      fFolder = folder;
      fFd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    }
    if (fFd < 0) return IsFileCurrent(path, file.size, file.time, file.sha256);
    struct stat st {};
    if (::fstatat(fFd, QFile::encodeName(file.name).constData(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(st.st_mode))
      return false;
    if (st.st_size != file.size) return false;
    if (st.st_mtim.tv_sec < file.time)
      return file.time - st.st_mtim.tv_sec < kTimeStep && IsFileCurrent(path, file.size, file.time, file.sha256);
    if (st.st_mtim.tv_sec == file.time && st.st_mtim.tv_nsec == 0) return true;
    return IsFileCurrent(path, file.size, file.time, file.sha256);
  }

 private:
  void Close() {
    if (fFd >= 0) ::close(fFd);
    fFd = -1;
  }
  QString fFolder;
  int fFd = -1;
};

}  // namespace

QString BackupFilePath(const InstallItem& item, int file, bool chartSet) {
  QString folder;
  if (chartSet) {
    folder = WithSlash(item.SourceFolder());
  } else {
    const QString parent = QFileInfo(item.SourceFolder()).path();
    folder = parent == QLatin1String(".") ? QString() : WithSlash(parent);
  }
  if (item.IsAddOn(file)) folder += QStringLiteral("Addons%1/").arg(item.ProductNumber());
  return folder + item.FileName(file);
}

TBackupTarget ReadBackupTarget(ChartCheck& check, const QString& folder, int& error) {
  error = check.ReadBackupIndex(WithSlash(folder) + QStringLiteral("cvbackup.idx"));
  if (error == 0) return TBackupTarget::Update;
  if (error == cvlib::ceBackupIndexMissing) {
    error = 0;
    return TBackupTarget::New;
  }
  return TBackupTarget::Unreadable;
}

QString UnreadableBackupText(const QString& folder, int error) {
  return LangText(rtErrBackupUnreadable)
      .arg(QDir::toNativeSeparators(WithSlash(folder) + QStringLiteral("cvbackup.idx")), ErrorToStr(error));
}

TDeployRun::TDeployRun(ChartCheck& check, TInstalledCharts* installed, TRunProgress& progress, TRunSettings settings)
    : fCheck(check), fInstalled(installed), fProgress(progress), fSettings(std::move(settings)) {
  fSettings.destination = WithSlash(fSettings.destination);
  fSettings.backupFolder = WithSlash(fSettings.backupFolder);
  fSettings.installerFolder = WithSlash(fSettings.installerFolder);
  fSettings.setupsFolder = WithSlash(fSettings.setupsFolder);
  fClock.start();
  fPumpClock.start();
}

TDeployRun::~TDeployRun() {
  if (fEvents) fEvents->Unsubscribe(&TDeployRun::OnEvent, this);
}

void TDeployRun::AttachEvents(TNavEventSource& source) {
  if (fEvents) fEvents->Unsubscribe(&TDeployRun::OnEvent, this);
  fEvents = &source;
  fEvents->Subscribe(&TDeployRun::OnEvent, this);
}

void TDeployRun::OnEvent(void* data, const TNavEvent& event) { static_cast<TDeployRun*>(data)->HandleEvent(event); }

void TDeployRun::HandleEvent(const TNavEvent& event) {
  if (event.code == necDownloadProgress && fOperation == 2) {
    const double received = std::max(0.0, event.value);
    const int percent =
        fFileSize > 0 ? static_cast<int>(std::nearbyint(std::min(received / static_cast<double>(fFileSize), 1.0) * 100))
                      : 0;
    fProgress.SetSinglePosition(percent);
    fProgress.SetSingleText(LangText(rtDownloading) + QStringLiteral("... ") +
                            Size(static_cast<std::int64_t>(std::llround(received))) + QStringLiteral(" / ") +
                            Size(fFileSize) + QStringLiteral(" (%1%)").arg(percent));
    ShowRate(fSizeDone - fFileSize + static_cast<std::int64_t>(received));
    return;
  }
  if (event.code != necOperationDone) return;
  const int operation = std::exchange(fOperation, 0);
  if (operation == 1) OnFileList();
  else if (operation == 2) OnDownloadDone(fCheck.LastError());
}

void TDeployRun::RequestAbort() {
  if (fAbort.exchange(true)) return;
  if (fOperation != 0) fCheck.CancelDownload();
}

void TDeployRun::RequestStop() {
  fStopNow = true;
  RequestAbort();
}

// ---- Setup types 0 and 3: the download run -----------------------------------------------

bool TDeployRun::RequestRun(const SelectionList& selection) {
  fSelectionCount = selection.Count();
  fProgress.SetSingleHeader(QString());
  fProgress.SetSingleText(QString());
  fProgress.SetTotalText(LangText(rtRequestingFiles));
  fOperation = 1;
  const int error = fCheck.RequestFileList(selection);
  if (error == cvlib::ceChkBusy) {
    // No event follows a start refused as busy: the run ends here, through its summary.
    fOperation = 0;
    fFileListFailed = true;
    MsgBox(LangText(rtErrFileList).arg(ErrorToStr(error)), mtError, mbOKOnly);
    EndRun();
    return false;
  }
  return true;
}

void TDeployRun::RunFileList() {
  fOperation = 0;
  OnFileList();
}

void TDeployRun::OnFileList() {
  if (const int error = fCheck.LastError()) {
    // No items came: a summary built from them would report success.
    fFileListFailed = true;
    if (!(fAbort && error == cvlib::ceChkCancelled))
      MsgBox(LangText(rtErrFileList).arg(ErrorToStr(error)), mtError, mbOKOnly);
    EndRun();
    return;
  }
  if (fSettings.setupType == InstallOnline && fSettings.setupsFolder.isEmpty()) {
    QString folder;
    if (PrivateSetupsFolder(folder) == 0) fSettings.setupsFolder = folder;
  }
  fProgress.SetSingleText(QString());
  fProgress.SetSingleMax(100);
  fProgress.SetSinglePosition(0);
  fProgress.SetTotalPosition(0);
  fFileTotal = 0;
  fSizeTotal = 0;
  fSizeDone = 0;
  for (int i = 0; i < fCheck.ItemCount(); ++i) {
    const InstallItem* item = fCheck.Item(i);
    if (!item->Selected()) continue;
    fFileTotal += item->FileCount();
    for (int f = 0; f < item->FileCount(); ++f) fSizeTotal += item->FileSize(f);
  }
  fProgress.SetTotalMax(fFileTotal);
  fProgress.SetTotalText(LangText(rtTotal) + QStringLiteral(" 0 / ") + Size(fSizeTotal));
  fCurrentItem = -1;
  fCurrentFile = 0;
  fAheadItem = -1;
  WalkItems(false);
}

// Completes items until one needs a download (which starts) or none is left (the run ends).
void TDeployRun::WalkItems(bool fromDownload) {
  if (!fromDownload) {
    if (!NextItem()) return EndRun();
    fCurrentFile = 0;
  }
  for (;;) {
    if (fCurrentItem >= fCheck.ItemCount()) return EndRun();
    if (!fItemFailed && FindMissingFile(fCurrentFile)) return StartFileDownload();
    CompleteItem();
    if (!NextItem()) return EndRun();
    fCurrentFile = 0;
  }
}

// Moves to the next selected, processable item and makes its folder. False at the end of the
// items (current item = item count), also after a folder error (the run ends with its summary).
bool TDeployRun::NextItem() {
  fItemFailed = false;
  if (fAbort) {
    fCurrentItem = fCheck.ItemCount();
    return false;
  }
  for (;;) {
    fCurrentItem += 1;
    if (fCurrentItem >= fCheck.ItemCount()) {
      fCurrentItem = fCheck.ItemCount();
      fProgress.SetSingleText(LangText(rtDone));
      return false;
    }
    InstallItem* item = fCheck.Item(fCurrentItem);
    if (item->Selected() && item->Status() == 0 &&
        fCheck.FindProductRecord(item->ProductNumber(), item->ModuleMask()))
      break;
    // Files that would land on those of an earlier item: not fetched, and said why.
    if (item->Selected() && item->Status() == cvlib::itemNameClash)
      Fail(QStringLiteral("%1:%2").arg(item->ProductNumber()).arg(item->ModuleMask()), ErrorToStr(cvlib::ceChkNameClash));
  }
  InstallItem* item = fCheck.Item(fCurrentItem);
  fItemIsChart = IsChartSet(*item);
  fProgress.SetSingleHeader(fItemIsChart ? item->ProductName() + QStringLiteral(" - ") + item->ModuleName()
                                         : item->ProductName());
  fItemFolder = ItemFolder(*item, fItemIsChart);
  fMadeFolder.clear();
  const int error = fItemFolder.isEmpty() ? cvlib::ceDirCreate : MakeFolder(fItemFolder);
  if (error) {
    // The run ends here, through its summary: the items done so far count.
    const QString folder = fItemFolder.isEmpty() ? item->ProductName() : fItemFolder;
    MsgBox(FolderErrorText(folder, error), mtError, mbOKOnly);
    Fail(folder, ErrorToStr(error));
    fCurrentItem = fCheck.ItemCount();
    return false;
  }
  return true;
}

bool TDeployRun::FindMissingFile(int from) {
  const InstallItem* item = fCheck.Item(fCurrentItem);
  fCurrentFile = from;
  // The files are looked up in their open folder, not by their whole path each, and the total
  // is shown every so often and when the scan stops: for thousands of current files these
  // cost more than telling that they are current.
  TFolderScan scan;
  int advanced = 0;
  QElapsedTimer shown;
  shown.start();
  // A file whose time differs is hashed: events are pumped between files, so that the window
  // stays alive and Abort ends the scan.
  auto show = [&] {
    ShowTotal();
    fProgress.SetTotalPosition(fProgress.TotalPosition() + advanced);
    fProgress.SetSingleText(LangText(rtCheckingFiles).arg(fCurrentFile).arg(item->FileCount()));
    advanced = 0;
    shown.restart();
    Pump();
  };
  while (fCurrentFile < item->FileCount()) {
    const cvlib::TItemFile& file = item->Data().files[static_cast<size_t>(fCurrentFile)];
    const QString folder = FileFolder(*item, fCurrentFile);
    const QString path = folder + file.name;
    // Files looked at ahead are not looked at again.
    const signed char found =
        fAheadItem == fCurrentItem ? fAheadFound[static_cast<size_t>(fCurrentFile)] : static_cast<signed char>(0);
    if (found == 2 || (found == 0 && !scan.IsCurrent(folder, path, file, !fItemIsChart))) {
      if (advanced) show();
      return true;
    }
    fProgress.FileNotice(TRunFileAction::Current, path, file.size, QString());
    fSizeDone += file.size;
    advanced += 1;
    fCurrentFile += 1;
    if (shown.elapsed() >= kShowMs) show();
    if (fAbort) {
      if (advanced) show();
      return false;
    }
  }
  if (advanced) show();
  return false;
}

void TDeployRun::CompleteItem() {
  if (fCurrentItem < 0 || fCurrentItem >= fCheck.ItemCount()) return;
  InstallItem* item = fCheck.Item(fCurrentItem);
  // An item with a file that did not arrive is neither installed nor stored.
  if (fItemFailed || fAbort) return;
  if (fSettings.setupType == InstallOnline) {
    if (fItemIsChart) {
      if (InstallChartSet(item)) item->SetSucceeded(true);
    } else {
      fProgress.SetSingleText(LangText(rtInstalling) + QStringLiteral("..."));
      fSourceFolder = fSettings.setupsFolder;
      if (InstallSetup(item)) item->SetSucceeded(true);
    }
  } else {
    item->SetSucceeded(true);
  }
}

void TDeployRun::StartFileDownload() {
  InstallItem* item = fCheck.Item(fCurrentItem);
  fFileSize = item->FileSize(fCurrentFile);
  const QString folder = FileFolder(*item, fCurrentFile);
  const QString path = folder + item->FileName(fCurrentFile);
  fSizeDone += fFileSize;
  ShowTotal();
  AdvanceTotal();
  // Made once an item and folder: making it again for each of thousands of small files cost
  // more than their checks. One that vanished later fails its file when the download starts.
  if (const int error = folder != fMadeFolder ? MakeFolder(folder) : 0) {
    MsgBox(FolderErrorText(folder, error), mtError, mbOKOnly);
    // No download starts and no event follows: the file counts as failed and the run goes on.
    QTimer::singleShot(0, this, [this] { OnDownloadDone(cvlib::ceDirCreate); });
    return;
  }
  fMadeFolder = folder;
  fProgress.SetSinglePosition(0);
  fProgress.SetSingleText(LangText(rtDownloading) + QStringLiteral("... ") + Size(0) + QStringLiteral(" / ") +
                          Size(fFileSize) + QStringLiteral(" (0%)"));
  fProgress.FileNotice(TRunFileAction::Fetch, path, fFileSize, QString());
  if (fAbort) {
    // Aborted while the page was pumped: nothing starts.
    QTimer::singleShot(0, this, [this] { OnDownloadDone(cvlib::ceChkCancelled); });
    return;
  }
  if (!fRateClock.isValid()) fRateClock.start();
  FetchAhead(item);
  fOperation = 2;
  const int error = fCheck.StartDownload(item, fCurrentFile, folder);
  if (error) {
    MsgBox(LangText(rtErrStartDownload), mtError, mbOKOnly);
    // The chart-check object ends every start with one event 130, except one refused as
    // busy: then nothing would come, so the run goes on by itself.
    if (error == cvlib::ceChkBusy) {
      fOperation = 0;
      QTimer::singleShot(0, this, [this, error] { OnDownloadDone(error); });
    }
  }
}

// Over the internet each small file costs a round trip: the engine fetches the files after this
// one over several connections while this one is written. They are announced in their order, up
// to the first one the engine does not fetch ahead (a large file, one with a part to resume),
// which waits for its own turn. A program's files are checked by content and go one by one.
void TDeployRun::FetchAhead(InstallItem* item) {
  if (!fItemIsChart || fCheck.Connections() < 2) return;
  if (fAheadItem != fCurrentItem) {
    fAheadItem = fCurrentItem;
    fAheadFound.assign(static_cast<size_t>(item->FileCount()), 0);
    fAheadFile = fCurrentFile;
  }
  fAheadFile = std::max(fAheadFile, fCurrentFile);
  TFolderScan scan;
  // Bounded, so that a long stretch of current files is left to the scan between downloads.
  for (int looked = 0; fAheadFile < item->FileCount() && looked < 256 && fCheck.PrefetchRoom() > 0; ++looked) {
    const int f = fAheadFile;
    const cvlib::TItemFile& file = item->Data().files[static_cast<size_t>(f)];
    const QString folder = FileFolder(*item, f);
    signed char& found = fAheadFound[static_cast<size_t>(f)];
    if (f > fCurrentFile && found == 0) found = scan.IsCurrent(folder, folder + file.name, file, false) ? 1 : 2;
    if (f == fCurrentFile || found == 2) {
      if (!fCheck.PrefetchDownload(item, f, folder)) return;
    }
    fAheadFile += 1;
  }
}

void TDeployRun::OnDownloadDone(int error) {
  if (fCurrentItem < 0 || fCurrentItem >= fCheck.ItemCount()) return EndRun();
  InstallItem* item = fCheck.Item(fCurrentItem);
  const QString path = FileFolder(*item, fCurrentFile) + item->FileName(fCurrentFile);
  if (error) {
    fItemFailed = true;
    fProgress.FileNotice(TRunFileAction::Failed, path, fFileSize, ErrorToStr(error));
    Fail(path, ErrorToStr(error));
    // The rest of the item is not fetched: the item cannot complete without this file.
    for (int f = fCurrentFile + 1; f < item->FileCount(); ++f) {
      fSizeDone += item->FileSize(f);
      AdvanceTotal();
    }
    ShowTotal();
    fCurrentFile = item->FileCount();
  } else {
    fMoved += fFileSize;
    fProgress.FileNotice(TRunFileAction::Done, path, fFileSize, QString());
    fCurrentFile += 1;
  }
  ShowRate(fSizeDone);
  if (fAbort) {
    // Abort: nothing more is completed or fetched; the summary counts what succeeded.
    fCurrentItem = fCheck.ItemCount();
    return EndRun();
  }
  WalkItems(true);
}

void TDeployRun::EndRun() {
  fOperation = 0;
  // The small files still unsynced go to disk now, and the run's folders are let go: a backup
  // medium can then be ejected while the summary shows.
  fCheck.FinishDownloads();
  if (fStopNow) return Stop();
  if (fSettings.setupType == CreateBackup && !fFileListFailed) FinishBackup();
  ShowRunSummary();
}

void TDeployRun::Stop() {
  fOperation = 0;
  TRunResult result;
  result.outcome = TRunOutcome::Stopped;
  for (int i = 0; i < fCheck.ItemCount(); ++i) {
    if (!fCheck.Item(i)->Selected()) continue;
    result.selected += 1;
    if (fCheck.Item(i)->Succeeded()) result.succeeded += 1;
  }
  result.aborted = fAbort;
  Finish(result);
}

void TDeployRun::Finish(const TRunResult& result) {
  if (fFinished) return;
  fFinished = true;
  // Delivered from the event loop: the owner may delete the run in its callback.
  QTimer::singleShot(0, this, [this, result] {
    if (fOnFinished) fOnFinished(result);
  });
}

// ---- Installing a program and its add-ons ------------------------------------------------

bool TDeployRun::InstallSetup(InstallItem* item) {
  QString subFolder;
  QString setupFile;
  QString program;
  if (fSettings.setupType == InstallFromBackup) {
    subFolder = item->InstallFolder();
    setupFile = item->SourceFolder();
    // The setup is copied from the backup into the user's own folder and checked on the way:
    // a program on a medium others can write is never started from there.
    QString privateFolder;
    const int folderError = item->FileCount() < 1 ? cvlib::ceFileNotFound : PrivateSetupsFolder(privateFolder);
    if (folderError) {
      CannotRunSetup(item->FileCount() < 1 ? item->ProductName() : privateFolder, folderError);
      return false;
    }
    program = privateFolder + item->FileName(0);
    if (!BackupItemTrusted(item, true)) return false;
    // Every file of the item is checked before its setup starts: a damaged add-on must not
    // leave a program half installed.
    if (!CheckBackupAddOns(item)) return false;
    const int error = CopyFromBackup(item, fSettings.backupFolder + setupFile, program, 0);
    if (error) {
      if (!IsBackupFault(error)) CannotRunSetup(program, error);
      return false;
    }
    // The copy served this run only: the backup keeps the setup.
    const bool ok = RunSetupAndAddOns(item, program, subFolder, setupFile);
    FileDelete(program);
    return ok;
  }
  const ProductRecord* record = fCheck.FindProductRecord(item->ProductNumber(), item->ModuleMask());
  if (!record || item->FileCount() < 1) return false;
  subFolder = record->InstallFolder();
  setupFile = item->FileName(0);
  program = fSourceFolder + setupFile;
  return RunSetupAndAddOns(item, program, subFolder, setupFile);
}

void TDeployRun::CannotRunSetup(const QString& what, int error) {
  MsgBox(LangText(rtErrRunInstallerWhy).arg(QDir::toNativeSeparators(what), Reason(error)), mtError, mbOKOnly);
  Fail(what, LangText(rtErrRunInstaller) + QStringLiteral(": ") + Reason(error));
}

// The add-ons of a backup's program, checked by size and checksum where they lie.
bool TDeployRun::CheckBackupAddOns(InstallItem* item) {
  const QString setupFolder = QFileInfo(item->SourceFolder()).path();
  const QString source = fSettings.backupFolder +
                         (setupFolder == QLatin1String(".") ? QString() : WithSlash(setupFolder)) +
                         QStringLiteral("Addons%1/").arg(item->ProductNumber());
  for (int i = 1; i < item->FileCount(); ++i) {
    if (!item->IsAddOn(i)) continue;
    const QString path = source + item->FileName(i);
    QString sha;
    std::int64_t size = 0;
    int error = HashFile(path, sha, size);
    if (!error && (size != item->FileSize(i) ||
                   (!item->FileSha256(i).isEmpty() && sha.compare(item->FileSha256(i), Qt::CaseInsensitive) != 0)))
      error = cvlib::ceChkChecksum;
    if (error) {
      if (error == cvlib::ceFileAccess) error = cvlib::ceFileRead;
      fProgress.FileNotice(TRunFileAction::Failed, path, item->FileSize(i), Reason(error));
      Fail(path, Reason(error));
      MsgBox(LangText(rtErrDamagedFile).arg(item->FileName(i), item->ProductName(), Reason(error)), mtError,
             mbOKOnly);
      return false;
    }
    Pump();
  }
  return true;
}

// Runs the setup silently into its folder below the destination (arguments as a list: a '"'
// in the folder stays part of it) and places the add-ons. Abort asks the setup to stop, then
// ends it after a grace period; the item has then failed.
bool TDeployRun::RunSetupAndAddOns(InstallItem* item, const QString& program, const QString& subFolder,
                                   const QString& setupFile) {
  const QStringList arguments = {QStringLiteral("/SILENT"), QStringLiteral("/DIR=") + fSettings.destination + subFolder,
                                 QStringLiteral("/LANG=") + SetupLanguageCode(GetCurrentLanguage())};
  int exitCode = 0;
  const int error = RunAndWait(
      program, arguments, QString(),
      [this](bool& stop) {
        Pump();
        stop = fAbort;
      },
      exitCode);
  if (error == cvlib::ceProcessStopped) {
    Fail(program, ErrorToStr(error));
    return false;
  }
  if (error) {
    CannotRunSetup(program, error);
    return false;
  }
  if (exitCode != 0) {
    MsgBox(LangText(rtErrSetupExitCode).arg(item->ProductName()).arg(exitCode), mtError, mbOKOnly);
    Fail(program, QStringLiteral("exit code %1").arg(exitCode));
    return false;
  }

  const QString setupFolder = QFileInfo(setupFile).path();
  const QString addOnSource = (fSettings.setupType == InstallFromBackup ? fSettings.backupFolder : fSourceFolder) +
                              (setupFolder == QLatin1String(".") ? QString() : WithSlash(setupFolder)) +
                              QStringLiteral("Addons%1/").arg(item->ProductNumber());
  bool ok = true;
  for (int i = 1; i < item->FileCount(); ++i) {
    AdvanceTotal();
    Pump();
    if (!item->IsAddOn(i)) continue;
    const QString target = WithSlash(fSettings.destination + subFolder + QLatin1Char('/') + item->FileFolder(i));
    if (const int error = MakeFolder(target)) {
      MsgBox(FolderErrorText(target, error), mtError, mbOKOnly);
      Fail(target, ErrorToStr(error));
      ok = false;
      continue;
    }
    const QString targetFile = target + item->FileName(i);
    const int error = CopyFromBackup(item, addOnSource + item->FileName(i), targetFile, i);
    if (error) {
      // A damaged add-on of a backup fails its item; other copy errors pass in silence.
      if (fSettings.setupType == InstallFromBackup && IsBackupFault(error)) ok = false;
      continue;
    }
    if (item->FileName(i).endsWith(QLatin1String(".zip")) && !ExtractAddOn(item, targetFile, target)) ok = false;
  }
  return ok;
}

// Extracts an add-on archive in its folder. Only an archive extracted whole is removed; one
// that is not (an entry refused, damaged or too large for the disk) fails its item, with the
// archive and the first entry that failed named, and stays for a look or another try.
bool TDeployRun::ExtractAddOn(InstallItem* item, const QString& archive, const QString& folder) {
  QString leftOut;
  const int error = ExtractArchive(
      archive, folder,
      [this](int percent) {
        fProgress.SetSinglePosition(percent);
        Pump();
        return !fAbort;
      },
      nullptr, &leftOut);
  TouchTree(folder);
  if (error == 0 && leftOut.isEmpty()) {
    FileDelete(archive);
    return true;
  }
  if (error == cvlib::ceAborted) {
    Fail(archive, ErrorToStr(error));
    return false;
  }
  const QString entry = leftOut.isEmpty() ? QFileInfo(archive).fileName() : leftOut;
  MsgBox(LangText(rtErrAddOnArchive).arg(QDir::toNativeSeparators(archive), entry, item->ProductName()), mtError,
         mbOKOnly);
  Fail(archive, entry + QStringLiteral(": ") + ErrorToStr(error ? error : cvlib::ceFileWrite));
  return false;
}

// Copies one file of an item (from a backup, or from the setups folder) with its checks.
// A missing or damaged file of a backup is told in a message.
int TDeployRun::CopyFromBackup(InstallItem* item, const QString& source, const QString& target, int file,
                               bool newInPlace, QByteArray* head, const QString& shown) {
  // shown: where the file ends up, when it is copied to a staging folder first.
  const QString& told = shown.isEmpty() ? target : shown;
  fProgress.FileNotice(TRunFileAction::Copy, told, item->FileSize(file), QString());
  if (!fRateClock.isValid()) fRateClock.start();
  TCopyCheck check;
  check.size = item->FileSize(file);
  check.xxh3 = item->FileXxh3(file);
  check.sha256 = item->FileSha256(file);
  if (fSettings.setupType == InstallFromBackup) {
    // One rule for verify and restore: the (signed) SHA-256 decides, computed while copying.
    // A file the index gives no SHA-256 never passes.
    check.xxh3.clear();
  }
  const bool unchecked = fSettings.setupType == InstallFromBackup && !IsSha256Text(check.sha256);
  check.fileTime = item->FileTime(file);
  check.newInPlace = newInPlace;
  const int error =
      unchecked ? static_cast<int>(cvlib::ceChkChecksum)
                : CopyChecked(
                      source, target, check,
                      [this](const QString& s, qint64 done, qint64 total) { return CopyProgress(s, done, total); },
                      nullptr, head);
  if (error) {
    fProgress.FileNotice(TRunFileAction::Failed, told, item->FileSize(file), Reason(error));
    Fail(source, Reason(error));
    if (fSettings.setupType == InstallFromBackup && IsBackupFault(error))
      MsgBox(LangText(rtErrDamagedFile)
                 .arg(QFileInfo(source).fileName(), item->ProductName(), Reason(error)),
             mtError, mbOKOnly);
    return error;
  }
  fMoved += item->FileSize(file);
  fProgress.FileNotice(TRunFileAction::Done, told, item->FileSize(file), QString());
  return 0;
}

bool TDeployRun::BackupItemTrusted(InstallItem* item, bool program) {
  const cvlib::TItemData& d = item->Data();
  if (cvlib::ItemSignatureValid(d)) return true;
  // A chart set of a backup written before signatures existed still installs (its files are
  // checked against the index's SHA-256), with a warning in the summary; a program never runs.
  if (!program && d.signature.isEmpty()) {
    fUnsignedCharts << item->ProductName() + QStringLiteral(" - ") + item->ModuleName();
    return true;
  }
  const QString file = program && item->FileCount() > 0 ? item->SourceFolder() : item->ProductName();
  const QString text = program ? LangText(rtErrUntrustedProgram).arg(file) : LangText(rtErrUntrustedItem).arg(file);
  MsgBox(text, mtError, mbOKOnly);
  Fail(fSettings.backupFolder + (program ? item->SourceFolder() : WithSlash(item->SourceFolder())),
       ErrorToStr(cvlib::ceChkUnsigned));
  return false;
}

bool TDeployRun::CopyProgress(const QString& source, std::int64_t done, std::int64_t total) {
  const int percent = total > 0 ? static_cast<int>(done * 100 / total) : 100;
  fProgress.SetSingleText(LangText(rtCopying) + QLatin1Char(' ') + QFileInfo(source).fileName() +
                          QStringLiteral("... ") + Size(done) + QStringLiteral(" / ") + Size(total) +
                          QStringLiteral(" (%1%)").arg(percent));
  fProgress.SetSinglePosition(percent);
  Pump();
  return true;
}

// ---- Chart sets --------------------------------------------------------------------------

bool TDeployRun::InstallChartSet(InstallItem* item) {
  if (!fInstalled) return false;
  QString folder = fItemFolder;
  std::vector<TChartHead> heads;
  if (fSettings.setupType == InstallFromBackup) {
    folder = fSettings.destination + QStringLiteral("QMR2/") + FileNameReplaceInvalidChars(item->ProductCode()) +
             QLatin1Char('/') + FileNameReplaceInvalidChars(item->ModuleCode()) + QLatin1Char('/');
    fProgress.SetSingleHeader(item->ProductCode() + QStringLiteral(" - ") + item->ModuleName());
    if (!BackupItemTrusted(item, false)) return false;
    if (!CopyChartSet(item, folder, heads)) return false;
  }
  TInstalledChartProduct* product = fInstalled->FindProduct(item->ProductCode());
  // The old record goes only now: the new files are in place.
  if (product)
    if (TInstalledChartModule* module = product->FindModule(item->ModuleCode())) product->RemoveModule(module);
  int error = 0;
  if (!product) {
    product = fInstalled->AddProduct(item->ProductCode(), item->ProductName(), error);
    if (!product || error) return false;
  }
  // The record takes each chart's header from the bytes just copied, not from the file again.
  for (const TChartHead& head : heads)
    fInstalled->ChartCache().PutChartInfo(folder + head.name, head.header, head.size, head.time);
  // The module and its files go into the store as one transaction: one wait for the disk for
  // the whole chart set, and after a crash either all of it is recorded or nothing.
  cvlib::TAppRegBatch batch(cvlib::rrProducts);
  if (batch.Error()) return false;
  TInstalledChartModule* module = product->AddModule(item->ModuleCode(), item->ModuleName(), error, true, folder);
  if (!module || error) return false;
  for (int i = 0; i < item->FileCount(); ++i) {
    const QString name = item->FileName(i);
    const QString suffix = name.mid(name.lastIndexOf(QLatin1Char('.'))).toLower();
    const double time = UnixTimeToDateTime(item->FileTime(i));
    const bool hasDot = name.contains(QLatin1Char('.'));
    if (hasDot && suffix == QLatin1String(".qmr2")) module->AddChart(name, error, time);
    else if (hasDot && suffix == QLatin1String(".db")) module->AddDatabase(name, error, time);
    else module->AddDependency(name, error, time);
    if (error) {
      batch.Commit();  // what the model holds stays in the store; the chart set is incomplete
      return false;
    }
  }
  if (batch.Commit() != 0) {
    // Nothing of it reached the store: the model forgets it too.
    product->RemoveModule(module);
    return false;
  }
  return true;
}

// Copies a chart set from the backup into a staging folder beside folder and puts it in place
// only when every file is whole and synced: a failure leaves the installed set as it was. Every
// file the index names is copied and checked, add-ons beside the charts (where the record
// lists them); one that is missing or damaged fails the set.
bool TDeployRun::CopyChartSet(InstallItem* item, const QString& folder, std::vector<TChartHead>& heads) {
  const QString parent = QFileInfo(QDir::cleanPath(folder)).path() + QLatin1Char('/');
  QString staging;
  int error = MakeFolder(parent);
  if (!error) error = MakeStagingFolder(parent, staging);
  if (error) {
    MsgBox(FolderErrorText(parent, error), mtError, mbOKOnly);
    Fail(parent, ErrorToStr(error));
    return false;
  }
  const QString source = fSettings.backupFolder + WithSlash(item->SourceFolder());
  QByteArray head;
  for (int i = 0; i < item->FileCount(); ++i) {
    const bool addOn = item->IsAddOn(i);
    const QString sub = addOn ? QStringLiteral("Addons%1/").arg(item->ProductNumber()) : QString();
    const QString& name = item->Data().files[static_cast<size_t>(i)].name;
    const bool chart = !addOn && item->FileTime(i) > 0 && name.endsWith(QLatin1String(".qmr2"), Qt::CaseInsensitive);
    const int copyError = CopyFromBackup(item, source + sub + name, staging + name, i, true, chart ? &head : nullptr,
                                         folder + name);
    if (copyError) {
      if (!IsBackupFault(copyError)) MsgBox(LangText(rtErrCopyChartSet), mtError, mbOKOnly);
      RemoveTree(staging);
      return false;
    }
    cvlib::TQMR2ChartHeader header;
    if (chart && cvlib::ParseChartHeader(head, header) == 0)
      heads.push_back({name, header, item->FileSize(i), static_cast<qint64>(item->FileTime(i)) * 1000000000});
    AdvanceTotal();
    Pump();
  }
  if (const int placeError = PutFolderInPlace(staging, folder)) {
    MsgBox(LangText(rtErrCopyChartSet), mtError, mbOKOnly);
    Fail(folder, ErrorToStr(placeError));
    return false;
  }
  return true;
}

// ---- The backup ---------------------------------------------------------------------------

bool TDeployRun::FinishBackup() {
  const QString backup = fSettings.destination;
  bool ok = true;
  bool installerCopied = true;
  if (!fSettings.indexOnly && !fAbort && !SameFolder(fSettings.installerFolder, backup)) {
    // The program, its support library and what they need on a computer without Qt. Abort
    // ends the copy: the file under way is removed, the index is written for what is complete.
    TProgramBundle bundle;
    QString file;
    int error = PlanProgramBundle(fSettings.installerFolder, bundle, file);
    if (!error)
      error = CopyProgramBundle(
          bundle, backup, file,
          [this](const QString& s, qint64 done, qint64 total) { return CopyProgress(s, done, total); }, &fAbort);
    if (error == cvlib::ceAborted) {
      Fail(file, ErrorToStr(error));
      installerCopied = false;
    } else if (error) {
      MsgBox(LangText(rtErrCopyProgram), mtError, mbOKOnly);
      Fail(file, ErrorToStr(error));
      ok = false;
    }
  }
  if (ok) {
    if (!fSettings.indexOnly && installerCopied && !fAbort && IsDriveRoot(backup) &&
        DriveGetType(GetFolderDrive(backup)) == cvlib::dtRemovable) {
      // Write errors pass: the backup works without them.
      WriteWholeFile(backup + QStringLiteral("Autorun.inf"), QByteArrayLiteral("[AutoRun]\r\nshellexecute=Deployer\r\n"));
      WriteWholeFile(backup + QStringLiteral("autorun.sh"),
                     QByteArrayLiteral("#!/bin/sh\n"
                                       "# Starts the installer of this installation backup.\n"
                                       "cd \"$(dirname \"$0\")\" && exec ./Deployer \"$@\"\n"),
                     0755);
    }
    if (const int error = fCheck.WriteBackupIndex(backup + QStringLiteral("cvbackup.idx"), false)) {
      MsgBox(LangText(rtErrSaveIndex), mtError, mbOKOnly);
      Fail(backup + QStringLiteral("cvbackup.idx"), ErrorToStr(error));
      ok = false;
    } else {
      fIndexWritten = true;
    }
  }
  if (!ok) {
    // A backup without its index (or its installer) cannot be installed from: nothing in it
    // counts as stored.
    for (int i = 0; i < fCheck.ItemCount(); ++i) fCheck.Item(i)->SetSucceeded(false);
  }
  return ok;
}

// ---- Installing from a backup -------------------------------------------------------------

void TDeployRun::RunBackupInstallation() {
  fSourceFolder = fSettings.backupFolder;
  fFileTotal = 0;
  for (int i = 0; i < fCheck.ItemCount(); ++i) fFileTotal += fCheck.Item(i)->FileCount();
  fProgress.SetTotalMax(fFileTotal);
  fProgress.SetTotalPosition(0);
  fProgress.SetSingleMax(100);
  fProgress.SetSinglePosition(0);
  for (int i = 0; i < fCheck.ItemCount(); ++i) {
    InstallItem* item = fCheck.Item(i);
    if (item->Selected() && IsChartSet(*item)) {
      fProgress.SetTotalText(LangText(rtInstalling) + QLatin1Char(' ') + item->ProductName() + QStringLiteral(" - ") +
                             item->ModuleName() + QStringLiteral("..."));
      if (InstallChartSet(item)) item->SetSucceeded(true);
    }
    if (fAbort) break;
  }
  if (!fAbort) {
    for (int i = 0; i < fCheck.ItemCount(); ++i) {
      InstallItem* item = fCheck.Item(i);
      if (item->Selected() && !IsChartSet(*item)) {
        fProgress.SetTotalText(LangText(rtInstalling) + QLatin1Char(' ') + item->ProductName() +
                               QStringLiteral("..."));
        fProgress.SetSingleHeader(item->ProductName());
        if (InstallSetup(item)) item->SetSucceeded(true);
        AdvanceTotal();
        Pump(true);
      }
      if (fAbort) break;
    }
  }
  fProgress.SetSingleText(LangText(rtDone));
  ShowRunSummary();
}

// ---- The summary --------------------------------------------------------------------------

TRunResult TDeployRun::ShowRunSummary() {
  TRunResult result;
  bool all = true, none = true;
  for (int i = 0; i < fCheck.ItemCount(); ++i) {
    const InstallItem* item = fCheck.Item(i);
    if (!item->Selected()) continue;
    result.selected += 1;
    if (item->Succeeded()) {
      none = false;
      result.succeeded += 1;
    } else {
      all = false;
    }
  }
  if (fFileListFailed) {
    all = false;
    none = true;
    result.selected = std::max(result.selected, fSelectionCount);
    result.succeeded = 0;
  }
  const int type = fSettings.setupType;
  const TLangText* text = nullptr;
  const TLangText* caption = nullptr;
  TMsgDlgType kind = mtInformation;
  if (all) {
    result.outcome = TRunOutcome::Success;
    caption = &rtCaptionSuccess;
    text = type == CreateBackup ? &rtBackupSuccess : type == InstallFromBackup ? &rtRestoreSuccess : &rtInstallSuccess;
  } else if (none) {
    result.outcome = TRunOutcome::Failed;
    caption = &rtCaptionFailed;
    kind = mtError;
    text = type == CreateBackup ? &rtBackupFailed : type == InstallFromBackup ? &rtRestoreFailed : &rtInstallFailed;
  } else {
    result.outcome = TRunOutcome::Partial;
    caption = &rtCaptionPartial;
    kind = mtWarning;
    text = type == CreateBackup ? &rtBackupPartial : type == InstallFromBackup ? &rtRestorePartial : &rtInstallPartial;
  }
  result.aborted = fAbort;
  QString message = LangText(*text) + QStringLiteral("\r\n\r\n");
  if (!fUnsignedCharts.isEmpty())
    message += LangText(rtWarnUnsignedCharts).arg(fUnsignedCharts.join(QStringLiteral(", "))) + QStringLiteral("\r\n\r\n");
  message += LangText(rtReturnToStart);
  result.returnToStart = MsgBoxCaption(LangText(*caption), message, kind, mbYesNo) == mrYes;
  Finish(result);
  return result;
}

// ---- Helpers ------------------------------------------------------------------------------

bool TDeployRun::IsChartSet(const InstallItem& item) const {
  if (const ProductRecord* record = fCheck.FindProductRecord(item.ProductNumber(), item.ModuleMask()))
    return record->Kind() == pkChartSet;
  return F12(item.ProductNumber());
}

QString TDeployRun::ItemFolder(const InstallItem& item, bool chartSet) const {
  if (chartSet)
    return fSettings.destination + QStringLiteral("QMR2/") + FileNameReplaceInvalidChars(item.ProductCode()) +
           QLatin1Char('/') + FileNameReplaceInvalidChars(item.ModuleCode()) + QLatin1Char('/');
  if (fSettings.setupType == CreateBackup) return fSettings.destination + QStringLiteral("Setups/");
  return fSettings.setupsFolder;
}

QString TDeployRun::FileFolder(const InstallItem& item, int file) const {
  return item.IsAddOn(file) ? fItemFolder + QStringLiteral("Addons%1/").arg(item.ProductNumber()) : fItemFolder;
}

void TDeployRun::AdvanceTotal() { fProgress.SetTotalPosition(fProgress.TotalPosition() + 1); }

void TDeployRun::ShowTotal() {
  fProgress.SetTotalText(LangText(rtTotal) + QLatin1Char(' ') + Size(fSizeDone) + QStringLiteral(" / ") +
                         Size(fSizeTotal));
}

void TDeployRun::ShowRate(std::int64_t doneNow) {
  if (!fRateClock.isValid() || fRateClock.elapsed() < 500) return;
  const std::int64_t moved = fMoved + std::max<std::int64_t>(0, doneNow - fSizeDone + fFileSize);
  const double seconds = static_cast<double>(fRateClock.elapsed()) / 1000.0;
  if (moved <= 0 || seconds <= 0) return;
  const double rate = static_cast<double>(moved) / seconds;
  const double left = static_cast<double>(std::max<std::int64_t>(0, fSizeTotal - doneNow)) / rate;
  fProgress.SetTotalRate(rate, left);
}

// Folders below the destination (or the setups folder) are made one by one and never through a
// link: a link planted in a backup or destination would have files written elsewhere.
int TDeployRun::MakeFolder(const QString& folder) {
  for (const QString& base : {fSettings.destination, fSettings.setupsFolder}) {
    if (base.isEmpty() || !folder.startsWith(base)) continue;
    if (const int error = DirCreate(base)) return error;
    QString relative = folder.mid(base.size());
    while (relative.contains(QLatin1String("//"))) relative.replace(QLatin1String("//"), QLatin1String("/"));
    if (relative.startsWith(QLatin1Char('/'))) relative.remove(0, 1);
    return DirCreateBelow(base, relative);
  }
  return DirCreate(folder);
}

void TDeployRun::Pump(bool force) {
  if (!force && fPumpClock.elapsed() < kPumpMs) return;
  fPumpClock.restart();
  QCoreApplication::processEvents();
}

// The folder error's message names the folder and why: a link met on the way is refused, not
// a failure to make a folder.
QString TDeployRun::FolderErrorText(const QString& folder, int error) const {
  if (error == cvlib::ceChkLinkedFolder) return LangText(rtErrFolderLink).arg(QDir::toNativeSeparators(folder));
  return LangText(rtErrFolder).arg(QDir::toNativeSeparators(folder), ErrorToStr(error));
}

void TDeployRun::Fail(const QString& what, const QString& reason) { fFailures << what + QStringLiteral(": ") + reason; }

std::vector<TItemPlan> TDeployRun::Plan() const {
  std::vector<TItemPlan> plan;
  QString setups = fSettings.setupsFolder;
  if (fSettings.setupType == InstallOnline && setups.isEmpty()) {
    QString cache = qEnvironmentVariable("XDG_CACHE_HOME");
    if (cache.isEmpty() || !QDir::isAbsolutePath(cache)) cache = QDir::homePath() + QStringLiteral("/.cache");
    setups = cache + QStringLiteral("/Corvane/Deployer/Setups/");
  }
  for (int i = 0; i < fCheck.ItemCount(); ++i) {
    const InstallItem* item = fCheck.Item(i);
    if (!item->Selected()) continue;
    TItemPlan p;
    p.item = item;
    if (item->Status() != 0 || !fCheck.FindProductRecord(item->ProductNumber(), item->ModuleMask())) {
      p.skipped = true;
      plan.push_back(p);
      continue;
    }
    const bool chart = IsChartSet(*item);
    p.folder = chart || fSettings.setupType == CreateBackup ? ItemFolder(*item, chart) : setups;
    for (int f = 0; f < item->FileCount(); ++f) {
      const QString folder =
          item->IsAddOn(f) ? p.folder + QStringLiteral("Addons%1/").arg(item->ProductNumber()) : p.folder;
      if (IsFileCurrent(folder + item->FileName(f), item->FileSize(f), item->FileTime(f), item->FileSha256(f),
                        !chart)) {
        p.current += 1;
        p.currentBytes += item->FileSize(f);
      } else {
        p.fetch += 1;
        p.fetchBytes += item->FileSize(f);
      }
    }
    plan.push_back(p);
  }
  return plan;
}
