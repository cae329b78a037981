#pragma once

// The self-update window: the installer's release history, and the download of the new
// installer from the update server into a private temporary folder, checked against its
// signature before it is recorded.

#include "CvPUSClient.h"
#include "CvSelfUpdate.h"
#include "CvUpdateSignature.h"

#include <QDialog>

#include <memory>

class QLabel;
class QProgressBar;
class QPushButton;
class QTextBrowser;
class QWidget;
class TFormMessage;

// The installer's own product on the update server.
TGUID SelfUpdateProductGUID();

// A downloaded installer against its signed manifest: signed with the built-in key, for this
// product, for a version newer than this program, and this very file.
TSignatureCheck CheckUpdate(const QString& installer);

class TFormWizardUpdate final : public QDialog {
  Q_OBJECT

 public:
  explicit TFormWizardUpdate(QWidget* parent = nullptr);
  ~TFormWizardUpdate() override;

  // 0, or the support library's error code when the temporary folder could not be made; the
  // window is then not to be shown.
  int CreationError() const { return creationError_; }
  // The folder made for this run's download, with a trailing '/'; empty after a creation error.
  QString DownloadFolder() const { return downloadFolder_; }
  TPUSClient* Client() const { return client_; }
  // The history section the view was scrolled to; empty at the top.
  QString HistorySection() const { return historySection_; }
  bool PleaseWaitShown() const { return pleaseWait_ != nullptr; }
  // True until the history has been asked for, on the first showing of the window.
  bool FirstActivation() const { return firstActivation_; }

  QLabel* LabelHeaderTitle() const { return labelHeaderTitle_; }
  QLabel* LabelHeaderDescription() const { return labelHeaderDescription_; }
  QTextBrowser* HTMLHistory() const { return htmlHistory_; }
  QWidget* PanelHistory() const { return panelHistory_; }
  QWidget* GroupProgress() const { return groupProgress_; }
  QLabel* LabelProgress() const { return labelProgress_; }
  QProgressBar* ProgressBar() const { return progressBar_; }
  QLabel* LabelProgram() const { return labelProgram_; }
  QLabel* LabelVersion() const { return labelVersion_; }
  QPushButton* ButtonDownload() const { return buttonDownload_; }
  QPushButton* ButtonClose() const { return buttonClose_; }

  void FormActivate();
  void ButtonDownloadClick();
  void HTMLHistoryProgress(int stage, int percent);
  void PUSCommandDone(TPUSClient* sender, TPUSCommand aCommand, int aCommandResult);
  void PUSRequestHistory(TPUSClient* sender, const QString& aHistory);
  void PUSRequestUpdateFile(TPUSClient* sender, int aFileProgress, int aFileSize, int aFileIndex,
                            int aFileCount, const TGUID& aGUID, const QString& aFileName);

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void BuildControls();
  void ShowHistory();
  void DownloadDone();
  void FreePleaseWait();

  int creationError_ = 0;
  bool firstActivation_ = true;
  QString history_;
  QString fileName_;
  QString downloadFolder_;
  QString historySection_;
  TPUSClient* client_ = nullptr;  // child of the window
  std::unique_ptr<TFormMessage> pleaseWait_;

  QLabel* labelHeaderTitle_ = nullptr;
  QLabel* labelHeaderDescription_ = nullptr;
  QWidget* panelHistory_ = nullptr;
  QTextBrowser* htmlHistory_ = nullptr;
  QWidget* groupProgress_ = nullptr;
  QLabel* labelProgress_ = nullptr;
  QProgressBar* progressBar_ = nullptr;
  QLabel* labelProgram_ = nullptr;
  QLabel* labelVersion_ = nullptr;
  QPushButton* buttonDownload_ = nullptr;
  QPushButton* buttonClose_ = nullptr;
};
