#pragma once

// The wizard's runs as engine code: installing from the internet (setup type 3), creating or
// updating an installation backup (0), installing from a backup (1). One object per run; the
// wizard and cvtool drive the very same code and differ only in the progress they show
// (TRunProgress) and in who answers the message boxes (MsgBox's presenter).
//
// Types 0 and 3: RequestRun asks the chart-check object for the file list; the run then goes
// on from the events 130 and 131 that its owner forwards (HandleEvent, or AttachEvents), one
// download at a time. Type 1: RunBackupInstallation works through the backup's items at once,
// pumping events. Both end with the run summary (ShowRunSummary) and then the finished
// callback, delivered from the event loop so that the owner may delete the run in it.

#include "CvLib.h"
#include "CvRunProgress.h"
#include "CvSetupType.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>

#include <atomic>
#include <cstdint>
#include <functional>
#include <vector>

class TInstalledCharts;

enum class TRunOutcome {
  Success,  // every selected item succeeded (also when none was selected)
  Partial,
  Failed,
  Stopped,  // stopped at once (RequestStop): no finishing, no summary
};

struct TRunResult {
  TRunOutcome outcome = TRunOutcome::Success;
  int succeeded = 0;
  int selected = 0;
  bool aborted = false;
  bool returnToStart = false;  // the summary's question was answered Yes
};

struct TRunSettings {
  TSetupType setupType = InstallOnline;
  QString destination;      // the destination or backup folder, with a trailing '/'
  QString backupFolder;     // setup type 1: the backup's folder, with a trailing '/'
  QString installerFolder;  // setup type 0: where Deployer and its support library are
  QString setupsFolder;     // setup type 3: where setups are fetched to; empty: the user's private folder
  bool indexOnly = false;   // setup type 0: the finishing writes the index only (cvtool account download)
};

// What a run would do with one selected item (cvtool's --dry-run).
struct TItemPlan {
  const InstallItem* item = nullptr;
  bool skipped = false;  // not processable (no product record, or its status says so)
  QString folder;
  int fetch = 0, current = 0;
  std::int64_t fetchBytes = 0, currentBytes = 0;
};

// Where a backup keeps file `file` of an item, relative to the backup folder: chart sets in
// their SourceFolder, software beside its setup program (SourceFolder "Setups/<setup>"), add-ons
// in Addons<n>/ below that folder.
QString BackupFilePath(const InstallItem& item, int file, bool chartSet);

// What a folder chosen for a backup holds: no index (a new backup), a readable one (the backup
// is updated and expanded; the chart-check object then holds its items), or one that cannot be
// read (damaged, foreign, a newer format): replacing it would lose the products it lists, so
// no run may start there. The wizard and cvtool ask this the same way.
enum class TBackupTarget { New, Update, Unreadable };
TBackupTarget ReadBackupTarget(ChartCheck& check, const QString& folder, int& error);
// The message for an unreadable index: the file and why, and what to do.
QString UnreadableBackupText(const QString& folder, int error);

class TDeployRun final : public QObject {
  Q_OBJECT

 public:
  // installed may be null for a backup run (type 0); types 1 and 3 record chart sets in it.
  TDeployRun(ChartCheck& check, TInstalledCharts* installed, TRunProgress& progress, TRunSettings settings);
  ~TDeployRun() override;

  // Called once when the run has ended (after the summary, or when it stopped).
  void SetOnFinished(std::function<void(const TRunResult&)> onFinished) { fOnFinished = std::move(onFinished); }

  // Events 130 and 131 of the chart-check object: either the owner forwards them while
  // Operation() is not 0, or the run subscribes itself.
  void AttachEvents(TNavEventSource& source);
  void HandleEvent(const TNavEvent& event);
  // 0 nothing asked of the chart-check object, 1 the file list, 2 one file download.
  int Operation() const { return fOperation; }

  // Setup types 0 and 3: asks for the file list of the selection. False when the request
  // could not even start (the run has then ended already, through the summary).
  bool RequestRun(const SelectionList& selection);
  // Setup types 0 and 3, when the owner asked for the file list itself: its event 130 has
  // come (the owner's loop took it), and the run starts from it.
  void RunFileList();
  // Setup type 1: installs the selected items of the backup read last, chart sets first.
  void RunBackupInstallation();

  // Stops the run: a download or file list under way is cancelled (a download keeps its part
  // for the next run), installing from a backup stops between items, an archive extraction
  // stops; a running setup program is waited for. The summary follows and counts what succeeded.
  void RequestAbort();
  // As Abort, but the run ends without its finishing and summary (outcome Stopped): a backup
  // interrupted this way gets no new index. For cvtool's Ctrl-C.
  void RequestStop();
  bool AbortRequested() const { return fAbort; }
  bool Finished() const { return fFinished; }
  // Setup type 0: the backup's finishing wrote its index.
  bool IndexWritten() const { return fIndexWritten; }

  // Why files or items failed in this run, one line each ("<file>: <reason>").
  const QStringList& Failures() const { return fFailures; }

  // The plan of a run over the current install items: nothing is written.
  std::vector<TItemPlan> Plan() const;

  // Steps of the runs, public for the wizard and the tests.
  bool InstallSetup(InstallItem* item);
  bool InstallChartSet(InstallItem* item);
  bool FinishBackup();
  TRunResult ShowRunSummary();

  // Where a file of an item goes (setup types 0 and 3): the item folder, plus Addons<n>/.
  QString ItemFolder(const InstallItem& item, bool chartSet) const;
  // The chart-set test: the product record's kind, else the product number.
  bool IsChartSet(const InstallItem& item) const;

 private:
  static void OnEvent(void* data, const TNavEvent& event);
  void OnFileList();
  void OnDownloadDone(int error);
  bool NextItem();
  bool FindMissingFile(int from);
  void CompleteItem();
  void StartFileDownload();
  void FetchAhead(InstallItem* item);
  void WalkItems(bool fromDownload);
  void EndRun();
  void Stop();
  // Backup runs: the new files of complete items take their names (then one sync), or the
  // staged files of an item that did not complete are removed.
  void SwitchStaged();
  void DropStaged(bool pendingToo);
  // Before an item that may not fit beside the staged files: the complete items are switched
  // and the index written, which frees what their old files took.
  void MakeRoomForItem(const InstallItem& item);
  void Finish(const TRunResult& result);

  QString FileFolder(const InstallItem& item, int file) const;
  void AdvanceTotal();
  void ShowTotal();
  void ShowRate(std::int64_t doneNow);
  bool CopyProgress(const QString& source, std::int64_t done, std::int64_t total);
  int CopyFromBackup(InstallItem* item, const QString& source, const QString& target, int file,
                     bool newInPlace = false, QByteArray* head = nullptr, const QString& shown = {});
  struct TChartHead {
    QString name;
    cvlib::TQMR2ChartHeader header;
    std::int64_t size = 0;
    qint64 time = 0;
  };
  void CannotRunSetup(const QString& what, int error);
  bool CheckBackupAddOns(InstallItem* item);
  bool RunSetupAndAddOns(InstallItem* item, const QString& program, const QString& subFolder, const QString& setupFile);
  bool ExtractAddOn(InstallItem* item, const QString& archive, const QString& folder);
  bool CopyChartSet(InstallItem* item, const QString& folder, std::vector<TChartHead>& heads);
  QString FolderErrorText(const QString& folder, int error) const;
  // Installing from a backup: whether the vendor's signature vouches for the item, told to the
  // user when it does not (a program is refused whenever, a chart set only when forged).
  bool BackupItemTrusted(InstallItem* item, bool program);
  void Pump(bool force = false);
  int MakeFolder(const QString& folder);
  void Fail(const QString& what, const QString& reason);

  ChartCheck& fCheck;
  TInstalledCharts* fInstalled;
  TRunProgress& fProgress;
  TRunSettings fSettings;
  std::function<void(const TRunResult&)> fOnFinished;
  TNavEventSource* fEvents = nullptr;

  int fOperation = 0;
  QString fItemFolder;
  QString fMadeFolder;  // the folder of the item's files made last (StartFileDownload)
  // Files of the current item looked at ahead of the download under way (FetchAhead): the next
  // one to look at, and what was found of each (0 not looked at, 1 current, 2 to be fetched).
  int fAheadItem = -1;
  int fAheadFile = 0;
  std::vector<signed char> fAheadFound;
  QString fSourceFolder;
  int fCurrentItem = -1;
  int fCurrentFile = 0;
  int fFileTotal = 0;
  std::int64_t fSizeTotal = 0;
  std::int64_t fSizeDone = 0;
  std::int64_t fFileSize = 0;
  bool fItemFailed = false;
  bool fItemIsChart = false;
  bool fFileListFailed = false;
  int fSelectionCount = 0;
  std::atomic<bool> fAbort{false};
  bool fStopNow = false;
  bool fFinished = false;
  bool fIndexWritten = false;
  QStringList fFailures;
  // A backup update fetches a file that replaces one on the medium under a staged name beside
  // it; it takes its name only once its item is complete, right before the index is written,
  // so that the index always describes what is there.
  struct TStagedFile {
    QString folder;  // relative to the destination
    QString name;
    std::int64_t time = 0;  // the listed one
  };
  bool fStagedDownload = false;          // the download under way is staged
  std::vector<TStagedFile> fItemStaged;  // of the item under way
  struct TStagedItem {
    InstallItem* item = nullptr;
    std::vector<TStagedFile> files;
  };
  std::vector<TStagedItem> fPendingSwitch;  // complete items waiting for their switch
  QStringList fUnsignedCharts;  // chart sets of a backup without signatures, for the summary
  bool fUnsignedCopy = false;   // the backup's installer copy went without the vendor's manifest

  // Speed: bytes moved in this run and the time spent moving them.
  QElapsedTimer fClock;
  QElapsedTimer fPumpClock;
  QElapsedTimer fRateClock;
  std::int64_t fMoved = 0;
};
