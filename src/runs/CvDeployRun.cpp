#include "CvDeployRun.h"
#include "CvDeployRunParts.h"

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
using namespace cvruns::deployrun;

bool SameFolder(const QString& a, const QString& b) {
  const QString ca = QFileInfo(a).canonicalFilePath();
  const QString cb = QFileInfo(b).canonicalFilePath();
  if (!ca.isEmpty() && ca == cb) return true;
  return QDir::cleanPath(QDir(a).absolutePath()) == QDir::cleanPath(QDir(b).absolutePath());
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
  if (fSettings.setupType == CreateBackup) MakeRoomForItem(*item);
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
  if (fItemFailed || fAbort) return DropStaged(false);
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
    if (!fItemStaged.empty()) fPendingSwitch.push_back({item, std::exchange(fItemStaged, {})});
  }
}

void TDeployRun::DropStaged(bool pendingToo) {
  for (const TStagedFile& f : fItemStaged)
    RenameBelow(fSettings.destination, f.folder, DownloadStagedName(f.name), QString());
  fItemStaged.clear();
  if (!pendingToo) return;
  for (const TStagedItem& staged : fPendingSwitch)
    for (const TStagedFile& f : staged.files)
      RenameBelow(fSettings.destination, f.folder, DownloadStagedName(f.name), QString());
  fPendingSwitch.clear();
}

void TDeployRun::SwitchStaged() {
  if (fPendingSwitch.empty()) return;
  // Each staged file is whole on the disk before it replaces the old one, so it takes its exact
  // time with its name; the renames are on the disk before the index that names them.
  if (const int error = SyncFileSystem(fSettings.destination)) {
    // Not known to be whole: the old files stay, and so do the items' old entries.
    Fail(fSettings.destination, ErrorToStr(error));
    for (const TStagedItem& staged : fPendingSwitch) staged.item->SetSucceeded(false);
    return DropStaged(true);
  }
  for (TStagedItem& staged : fPendingSwitch) {
    for (const TStagedFile& f : staged.files) {
      if (const int error =
              RenameBelow(fSettings.destination, f.folder, DownloadStagedName(f.name), f.name, f.time)) {
        // Not all of it took its place: the item is not stored (its old entry stays).
        Fail(fSettings.destination + f.folder + f.name, ErrorToStr(error));
        staged.item->SetSucceeded(false);
      }
    }
  }
  fPendingSwitch.clear();
  SyncFileSystem(fSettings.destination);
}

void TDeployRun::MakeRoomForItem(const InstallItem& item) {
  if (fPendingSwitch.empty()) return;
  std::int64_t size = 0;
  for (int f = 0; f < item.FileCount(); ++f) size += item.FileSize(f);
  const std::int64_t free = FreeBytes(fSettings.destination);
  if (free < 0 || size < free) return;
  fCheck.FinishDownloads();
  SwitchStaged();
  if (fCheck.WriteBackupIndex(fSettings.destination + QStringLiteral("cvbackup.idx"), false) == 0) fIndexWritten = true;
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
  // A backup keeps the file there until the item is complete: the new one is staged beside it.
  struct stat st {};
  fStagedDownload = fSettings.setupType == CreateBackup &&
                    ::lstat(QFile::encodeName(path).constData(), &st) == 0;
  const int error = fCheck.StartDownload(item, fCurrentFile, folder, fStagedDownload);
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
    if (fStagedDownload)
      fItemStaged.push_back({FileFolder(*item, fCurrentFile).mid(fSettings.destination.size()),
                             item->FileName(fCurrentFile), item->FileTime(fCurrentFile)});
    fCurrentFile += 1;
  }
  fStagedDownload = false;
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
  // An item cut off half way keeps its old files; a run stopped without its index keeps them all.
  DropStaged(fStopNow);
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

// ---- The backup ---------------------------------------------------------------------------

bool TDeployRun::FinishBackup() {
  const QString backup = fSettings.destination;
  bool ok = true;
  // The complete items' new files take their names and the index follows at once, before the
  // installer copy: it describes what is on the medium whatever becomes of the copy, and the old
  // files the switch lets go of make room for it.
  SwitchStaged();
  if (const int error = fCheck.WriteBackupIndex(backup + QStringLiteral("cvbackup.idx"), false)) {
    MsgBox(LangText(rtErrSaveIndex), mtError, mbOKOnly);
    Fail(backup + QStringLiteral("cvbackup.idx"), ErrorToStr(error));
    ok = false;
    fIndexWritten = false;
  } else {
    fIndexWritten = true;
  }
  bool installerCopied = true;
  if (!fSettings.indexOnly && !fAbort && !SameFolder(fSettings.installerFolder, backup)) {
    // The program, its support library and what they need on a computer without Qt. Abort
    // ends the copy: the file under way is removed.
    TProgramBundle bundle;
    QString file;
    TCopyTrust copyTrust = ctSigned;
    int error = PlanProgramBundle(fSettings.installerFolder, bundle, file);
    if (!error)
      error = CopyProgramBundle(
          bundle, backup, file,
          [this](const QString& s, qint64 done, qint64 total) { return CopyProgress(s, done, total); }, &fAbort,
          &copyTrust);
    fUnsignedCopy = !error && copyTrust != ctSigned;
    if (error == cvlib::ceAborted) {
      Fail(file, ErrorToStr(error));
      installerCopied = false;
    } else if (error) {
      MsgBox(LangText(rtErrCopyProgram), mtError, mbOKOnly);
      Fail(file, ErrorToStr(error));
      ok = false;
      installerCopied = false;
    }
  }
  if (!fSettings.indexOnly && installerCopied && !fAbort && IsDriveRoot(backup) &&
      DriveGetType(GetFolderDrive(backup)) == cvlib::dtRemovable) {
    // Write errors pass: the backup works without them.
    WriteWholeFile(backup + QStringLiteral("Autorun.inf"), QByteArray(kBundleAutorunInf));
    WriteWholeFile(backup + QStringLiteral("autorun.sh"), QByteArray(kBundleAutorunSh), 0755);
  }
  if (!ok) {
    // A backup without its index (or its installer) cannot be installed from: nothing in it
    // counts as stored.
    for (int i = 0; i < fCheck.ItemCount(); ++i) fCheck.Item(i)->SetSucceeded(false);
  }
  return ok;
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
  if (fUnsignedCopy) message += LangText(rtWarnUnsignedCopy) + QStringLiteral("\r\n\r\n");
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
