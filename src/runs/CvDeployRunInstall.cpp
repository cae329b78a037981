// The run's installing: a program with its add-ons, a chart set, and the walk over a backup's
// items when installing from it. The run itself and its downloads are in CvDeployRun.cpp.
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

#include <algorithm>
#include <utility>

namespace {

using namespace cvruns;
using namespace cvruns::deployrun;

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

}  // namespace

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
  } else {
    // The set's add-ons arrive in its Addons<n>/ folder, which stays as it is for the next
    // update to find them current; the record lists them beside the charts, where a set installed
    // from a backup has them too, so they are copied there.
    for (int i = 0; i < item->FileCount(); ++i) {
      if (!item->IsAddOn(i)) continue;
      if (CopyFromBackup(item, FileFolder(*item, i) + item->FileName(i), folder + item->FileName(i), i)) return false;
    }
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
