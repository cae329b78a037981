// The wizard's page sequence: which page comes after which, and what Next checks and
// decides on each page before the next is shown or a run starts.
#include "FrmWizardInstall.h"

#include "CvDeployRun.h"
#include "CvInstalledCharts.h"
#include "CvLanguage.h"
#include "CvMsgBoxPresenter.h"
#include "CvStrUtils.h"
#include "CvWizardFlow.h"
#include "FraPageDestinationInstall.h"
#include "FraPageProgress.h"
#include "FraPageSelectSoftware.h"
#include "FraPageSourceInstall.h"
#include "FraPageTypeInstall.h"
#include "FraPageUser.h"
#include "FrmLanguage.h"
#include "FrmMessage.h"
#include "FrmWizardInstallParts.h"

#include <QCloseEvent>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace {

const TLangText txtNoProductsChecked = {
    "No products checked for installation.\r\n\r\nPlease check at least one product to install before proceeding.",
    "Er zijn geen producten aangevinkt voor installatie.\r\n\r\nVink ten minste één product aan om verder te gaan.",
    "Keine Produkte zur Installation ausgewählt.\r\n\r\nBitte wählen Sie mindestens ein Produkt aus, bevor Sie "
    "fortfahren."};
const TLangText txtBackupFound = {
    "The chosen folder contains a backup, which you can update and expand. Choose another folder if you want to "
    "create a new backup.\r\n\r\nDo you want to continue?",
    "De gekozen map bevat een back-up, die u kunt bijwerken en uitbreiden. Kies een andere map als u een nieuwe "
    "back-up wilt maken.\r\n\r\nWilt u doorgaan?",
    "Der gewählte Ordner enthält eine Sicherung, die Sie aktualisieren und erweitern können. Wählen Sie einen "
    "anderen Ordner, wenn Sie eine neue Sicherung erstellen möchten.\r\n\r\nMöchten Sie fortfahren?"};
const char* const txtErrorReadingBackup = "Error reading backup files, please try again...";  // English only
// The product that is checked for the user when it is not there yet: the navigation program.
constexpr int kMainProgramNumber = 100;

const QString kBackupIndexName = QStringLiteral("cvbackup.idx");

}  // namespace

// --- Pages ---------------------------------------------------------------------------------

std::array<TWizardPage*, 6> TFormWizardInstall::Pages() const {
  return {pageTypeInstall_, pageUserLogin_, pageSelectSoftware_, pageDestination_, pageProgress_, pageSourceInstall_};
}

TWizardPage* TFormWizardInstall::Page(int page) const {
  switch (page) {
    case wpSetupType: return pageTypeInstall_;
    case wpLogin: return pageUserLogin_;
    case wpSelectSoftware: return pageSelectSoftware_;
    case wpDestination: return pageDestination_;
    case wpProgress: return pageProgress_;
    case wpBackupSource: return pageSourceInstall_;
    default: return nullptr;
  }
}

void TFormWizardInstall::TakeOffPages() {
  // Each page runs its own leave actions (the setup-type page stores the chosen type).
  for (TWizardPage* page : Pages())
    if (page) page->SetParent(nullptr);
}

void TFormWizardInstall::PlacePage(int page) {
  if (TWizardPage* widget = Page(page)) widget->SetParent(panelContent_);
}

void TFormWizardInstall::ShowPage(int page) {
  if (page != wpSetupType) CreateOtherPages();
  // Shown again in place (a language switch): what the user typed stays.
  const bool samePage = page == wpLogin && pageUserLogin_->PlacedIn() != nullptr;
  currentPage_ = page;
  TakeOffPages();

  buttonNext_->setText(LangText(txtButtonNext));
  buttonNext_->setEnabled(false);
  buttonNext_->setVisible(true);
  buttonPrev_->setText(LangText(txtButtonPrevious));
  buttonPrev_->setEnabled(false);
  buttonPrev_->setVisible(true);
  SetCloseActsAsAbort(false);
  buttonClose_->setEnabled(true);
  buttonClose_->setVisible(true);

  const TPageLook look = PageLook(page, setupType_);
  panelInformation_->setVisible(look.informationBar);
  labelHeaderTitle_->setText(look.title ? LangText(*look.title) : QString());
  labelHeaderDescription_->setText(look.description ? LangText(*look.description) : QString());

  // Preparation before the page is placed.
  if (page == wpLogin && !samePage) {
    QString email;
    if (chartCheck_->RememberedEmail(email)) pageUserLogin_->SetRemembered(email);
  } else if (page == wpSelectSoftware) {
    pageSelectSoftware_->SetMode(setupType_);
  } else if (page == wpDestination) {
    pageDestination_->SetMode(setupType_);
    pageDestination_->SetRequiredSpace(pageSelectSoftware_->RequiredSpace());
  }
  PlacePage(page);

  buttonNext_->setEnabled(look.next == neEnabled ||
                          (look.next == neIfRows && pageSelectSoftware_ && pageSelectSoftware_->ProductCount() > 0));
  buttonPrev_->setEnabled(look.previousEnabled);
  buttonNext_->setVisible(look.buttonsVisible);
  buttonPrev_->setVisible(look.buttonsVisible);
  SetCloseActsAsAbort(look.closeIsAbort);
}

void TFormWizardInstall::SetCloseActsAsAbort(bool abort) {
  closeIsAbort_ = abort;
  buttonClose_->setText(LangText(abort ? txtButtonAbort : txtButtonClose));
}

// --- Buttons -------------------------------------------------------------------------------

void TFormWizardInstall::ButtonNextClick() {
  if (!buttonNext_->isEnabled() || !buttonNext_->isVisible()) return;
  CreateOtherPages();
  if (currentPage_ == wpSetupType) setupType_ = pageTypeInstall_->SetupType();
  const TNextStep step = NextStep(currentPage_, setupType_);
  switch (step.action) {
    case naShowPage:
      ShowPage(step.page);
      break;
    case naSignIn:
      NextFromLogin();
      break;
    case naSelectProducts:
    case naStartBackupRun:
      NextFromSelection();
      break;
    case naStartDownloadRun:
    case naStartBackupInstall:
    case naCheckBackupFolder:
      NextFromDestination();
      break;
    case naReadBackupSource:
      NextFromBackupSource();
      break;
    case naNone:
      break;
  }
}

void TFormWizardInstall::ButtonPrevClick() {
  if (!buttonPrev_->isEnabled() || !buttonPrev_->isVisible()) return;
  const int page = PreviousPage(currentPage_, setupType_);
  if (page >= 0) ShowPage(page);
}

void TFormWizardInstall::ButtonCloseClick() {
  if (closeIsAbort_) {
    // The running step honours it; the window stays.
    abortRequest_ = true;
    if (run_)
      run_->RequestAbort();
    else if (signingIn_)
      // A slow or silent service must not hold the user: the request ends now, with its 130.
      chartCheck_->CancelDownload();
    return;
  }
  close();
}

void TFormWizardInstall::closeEvent(QCloseEvent* event) {
  // A run copies, downloads or waits for a setup with this window's objects in use: closing
  // now would pull them away under it. The close becomes an abort request instead.
  // (A sign-in may be left at any time: its answer dies with the chart-check object.)
  if (closeIsAbort_ && !signingIn_) {
    abortRequest_ = true;
    if (run_) run_->RequestAbort();
    event->ignore();
    return;
  }
  FreePleaseWait();
  event->accept();
}

void TFormWizardInstall::NextFromLogin() {
  int change = 0;
  if (!pageUserLogin_->Validate(change)) return;
  const bool remember = pageUserLogin_->GetRememberMe();
  const TSignInRequest request =
      SignInRequestFor(change, pageUserLogin_->GetEmail(), pageUserLogin_->GetPassword());
  switch (request.call) {
    case scSignIn:
      chartCheck_->SignIn(request.text, remember);
      break;
    case scSignInEmail:
      chartCheck_->SignInEmail(request.text, remember);
      break;
    case scSignInPassword:
      chartCheck_->SignInPassword(request.text, remember);
      break;
  }
  buttonNext_->setEnabled(false);
  buttonPrev_->setEnabled(false);
  SetCloseActsAsAbort(true);
  operation_ = 0;
  signingIn_ = true;
  FreePleaseWait();
  pleaseWait_ = new TFormMessage(fmkDownloadingProducts, this);
  pleaseWait_->setAttribute(Qt::WA_DeleteOnClose);
  // The wizard must stay usable meanwhile: a silent service may take long.
  pleaseWait_->setWindowModality(Qt::NonModal);
  pleaseWait_->ShowNow();
  pageSelectSoftware_->Clear();
  const int started = chartCheck_->RequestProducts();
  if (started == cvlib::ceChkBusy) {
    // No answer will come for this request: undo the waiting state at once.
    signingIn_ = false;
    FreePleaseWait();
    buttonNext_->setEnabled(true);
    buttonPrev_->setEnabled(true);
    SetCloseActsAsAbort(false);
    MsgBox(ProductListErrorText(started), mtError, mbOKOnly);
  }
}

void TFormWizardInstall::WarnNothingChecked() {
  MsgBoxCaption(ApplicationTitle(), LangText(txtNoProductsChecked), mtWarning, mbOKOnly);
}

bool TFormWizardInstall::BuildSelectionList() {
  if (selectionList_)
    selectionList_->Clear();
  else
    selectionList_ = chartCheck_->NewSelectionList();
  for (int i = 0; i < chartCheck_->ProductCount(); ++i) {
    const ProductRecord* record = chartCheck_->Product(i);
    if (!record->Checked() || record->Kind() == pkCompanion) continue;
    auto entry = chartCheck_->NewSelectionEntry();
    entry->SetProductNumber(record->ProductNumber());
    entry->SetModuleMask(record->ModuleMask());
    entry->SetKind(record->Kind());
    selectionList_->Add(std::move(entry));
  }
  if (selectionList_->Count() == 0) {
    WarnNothingChecked();
    return false;
  }
  return true;
}

void TFormWizardInstall::NextFromSelection() {
  if (!pageSelectSoftware_->ValidateSelection()) return;
  if (setupType_ == InstallFromBackup) {
    int count = 0;
    for (int i = 0; i < chartCheck_->ItemCount(); ++i) {
      InstallItem* item = chartCheck_->Item(i);
      const ProductRecord* record = chartCheck_->FindProductRecord(item->ProductNumber(), item->ModuleMask());
      // An item without a record was never offered to the user: it is not installed.
      const bool selected = record && record->Checked();
      item->SetSelected(selected);
      if (selected) ++count;
    }
    if (count == 0) {
      WarnNothingChecked();
      return;
    }
    ShowPage(wpDestination);
    return;
  }
  if (!BuildSelectionList()) return;
  if (setupType_ == InstallOnline)
    ShowPage(wpDestination);
  else
    StartRun(CreateBackup);
}

void TFormWizardInstall::FillSelectionFromProducts(bool checkAll, bool checkProgramIfAbsent) {
  if (!EnsureInstalledCharts()) return;
  pageSelectSoftware_->Clear();
  for (int i = 0; i < chartCheck_->ProductCount(); ++i) pageSelectSoftware_->AddProduct(chartCheck_->Product(i));
  for (int i = 0; i < chartCheck_->ProductCount(); ++i) {
    ProductRecord* record = chartCheck_->Product(i);
    if (checkAll) record->SetChecked(true);
    if (checkProgramIfAbsent && record->ProductNumber() == kMainProgramNumber && !record->Present())
      record->SetChecked(true);
  }
}

void TFormWizardInstall::NextFromDestination() {
  if (!pageDestination_->Check()) return;
  destinationFolder_ = WithDelimiter(pageDestination_->ChosenFolder());
  if (setupType_ == InstallFromBackup) {
    StartRun(InstallFromBackup);
    return;
  }
  if (setupType_ == InstallOnline) {
    StartRun(InstallOnline);
    return;
  }
  // Creating a backup: the products are chosen after the place, so that the page can show
  // what the backup there holds already and what fits.
  pageSelectSoftware_->SetFreeSpace(pageDestination_->AvailableSpace());
  int error = 0;
  const TBackupTarget target = ReadBackupTarget(*chartCheck_, destinationFolder_, error);
  if (target == TBackupTarget::Unreadable) {
    // A run here would replace the index with this run's items alone.
    MsgBox(UnreadableBackupText(destinationFolder_, error), mtError, mbOKOnly);
    return;
  }
  if (target == TBackupTarget::Update) {
    if (MsgBoxCaption(ApplicationTitle(), LangText(txtBackupFound), mtConfirmation, mbYesNo) != mrYes) return;
  }
  pageSelectSoftware_->SetMode(setupType_);
  FillSelectionFromProducts(false, true);
  ShowPage(wpSelectSoftware);
}

void TFormWizardInstall::NextFromBackupSource() {
  if (!pageSourceInstall_->Check()) return;
  pageSelectSoftware_->SetMode(setupType_);
  sourceFolder_ = WithDelimiter(pageSourceInstall_->BackupFolder());
  if (chartCheck_->ReadBackupIndex(sourceFolder_ + kBackupIndexName) != 0) {
    MsgBox(QString::fromLatin1(txtErrorReadingBackup), mtError, mbOKOnly);
    return;
  }
  pageSelectSoftware_->Clear();
  chartCheck_->ClearProducts();
  for (int i = 0; i < chartCheck_->ItemCount(); ++i) chartCheck_->AddItemProduct(chartCheck_->Item(i));
  chartCheck_->FinishProducts();
  FillSelectionFromProducts(true, false);
  ShowPage(wpSelectSoftware);
}

void TFormWizardInstall::ProductListDone() {
  if (!signingIn_) return;  // an answer nobody waits for
  signingIn_ = false;
  FreePleaseWait();
  raise();
  activateWindow();
  const int error = chartCheck_->LastError();
  if (error != 0) {
    // Abort ended it: the user knows; nothing to report.
    if (error != cvlib::ceChkCancelled) MsgBox(ProductListErrorText(error, chartCheck_->RetryAfter()), mtError, mbOKOnly);
    if (error == cvlib::ceChkNoRemembered) {
      // The remembered password belongs to another address: this one needs its own.
      pageUserLogin_->EditLoginPassword()->clear();
      pageUserLogin_->EditLoginPassword()->setFocus();
      return;
    }
    pageUserLogin_->EditLoginEmail()->setFocus();
    return;
  }
  if (setupType_ == InstallOnline) {
    pageSelectSoftware_->SetMode(InstallOnline);
    FillSelectionFromProducts(false, true);
    ShowPage(wpSelectSoftware);
  } else {
    ShowPage(PageAfterProductList(setupType_));
  }
}
