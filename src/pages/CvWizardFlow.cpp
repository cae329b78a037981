#include "CvWizardFlow.h"

#include "CvStrUtils.h"

namespace {

const TLangText txtTitleSetupType = {"Installation type", "Installatietype", "Installationsart"};
const TLangText txtDescSetupType = {"Select what you want to do", "Selecteer wat u wilt doen",
                                    "Wählen Sie aus, was Sie tun möchten"};
const TLangText txtTitleLogin = {"Login", "Inloggen", "Anmelden"};
const TLangText txtDescLogin = {"Please enter the e-mail address and password of your Corvane account.",
                                "Voer het e-mailadres en het wachtwoord van uw Corvane-account in.",
                                "Bitte geben Sie die E-Mail-Adresse und das Passwort Ihres Corvane-Kontos ein."};
const TLangText txtTitleSelectBackup = {"Select the product(s) to backup", "Selecteer de product(en) voor de back-up",
                                        "Wählen Sie die zu sichernden Produkte"};
const TLangText txtTitleSelectInstall = {"Select the product(s) to install", "Selecteer de te installeren product(en)",
                                         "Wählen Sie die zu installierenden Produkte"};
const TLangText txtDescSelectBackup = {"Select the product(s) that you want to download and backup.",
                                       "Selecteer de product(en) die u wilt downloaden en in de back-up wilt opnemen.",
                                       "Wählen Sie die Produkte, die Sie herunterladen und sichern möchten."};
const TLangText txtDescSelectFromBackup = {"Select the product(s) that you want to install from the backup.",
                                           "Selecteer de product(en) die u vanaf de back-up wilt installeren.",
                                           "Wählen Sie die Produkte, die Sie aus der Sicherung installieren möchten."};
const TLangText txtDescSelectOnline = {"Select the product(s) that you want to download and install.",
                                       "Selecteer de product(en) die u wilt downloaden en installeren.",
                                       "Wählen Sie die Produkte, die Sie herunterladen und installieren möchten."};
const TLangText txtTitleBackupLocation = {"Backup location", "Back-uplocatie", "Sicherungsort"};
const TLangText txtTitleInstallLocation = {"Installation location", "Installatielocatie", "Installationsort"};
const TLangText txtDescBackupLocation = {"Specify the folder where the backup must be created",
                                         "Geef de map op waarin de back-up moet worden gemaakt",
                                         "Geben Sie den Ordner an, in dem die Sicherung erstellt werden soll"};
const TLangText txtDescInstallLocation = {"Specify the folder where the products must be installed to",
                                          "Geef de map op waarin de producten moeten worden geïnstalleerd",
                                          "Geben Sie den Ordner an, in den die Produkte installiert werden sollen"};
const TLangText txtTitleProgress = {"Installation progress", "Voortgang van de installatie",
                                    "Installationsfortschritt"};
const TLangText txtDescProgress = {
    "Please wait until the installation is finished or click 'Abort' to abort the installation",
    "Even geduld tot de installatie klaar is, of klik op 'Afbreken' om de installatie af te breken",
    "Bitte warten Sie, bis die Installation abgeschlossen ist, oder klicken Sie auf 'Abbrechen', um die "
    "Installation abzubrechen"};
const TLangText txtTitleBackupSource = {"Location of the backup", "Locatie van de back-up", "Ort der Sicherung"};
const TLangText txtDescBackupSource = {"Specify the location where the backup is located",
                                       "Geef de locatie op waar de back-up zich bevindt",
                                       "Geben Sie an, wo sich die Sicherung befindet"};

const TLangText txtLoginUnknown = {"E-mail address and/or password unknown", "E-mailadres en/of wachtwoord onbekend",
                                   "E-Mail-Adresse und/oder Passwort unbekannt"};
// English and Dutch only.
const TLangText txtLoginError = {"An error occurred. Please try again..",
                                 "Er is een fout opgetreden. Probeer het opnieuw.."};

// An address other than the remembered one, with the remembered password left in place: only
// that address's own password can sign it in.
const TLangText txtLoginNeedsPassword = {
    "Please enter the password of this e-mail address.",
    "Voer het wachtwoord van dit e-mailadres in.",
    "Bitte geben Sie das Passwort dieser E-Mail-Adresse ein."};

// The service's code for an unknown e-mail address or a wrong password.
constexpr int kErrorUnknownLogin = 4;
constexpr int kErrorThrottled = 10;  // too many failed sign-ins (429)
const TLangText txtLoginThrottledFor = {
    "Too many failed sign-ins. Please try again in %1.",
    "Te veel mislukte aanmeldpogingen. Probeer het over %1 opnieuw.",
    "Zu viele fehlgeschlagene Anmeldungen. Bitte versuchen Sie es in %1 erneut.", "", "", "", "", ""};
const TLangText txtLoginThrottled = {
    "Too many failed sign-ins. Please try again later.",
    "Te veel mislukte aanmeldpogingen. Probeer het later opnieuw.",
    "Zu viele fehlgeschlagene Anmeldungen. Bitte versuchen Sie es später erneut.", "", "", "", "", ""};
// The engine's code for an address without a remembered sign-in.
constexpr int kErrorNoRemembered = 507;

char16_t FoldAscii(char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c; }

}  // namespace

const TLangText txtButtonNext = {"Next", "Volgende", "Weiter"};
const TLangText txtButtonPrevious = {"Previous", "Vorige", "Zurück"};
const TLangText txtButtonClose = {"Close", "Sluiten", "Schließen"};
const TLangText txtButtonAbort = {"Abort", "Afbreken", "Abbrechen"};

TNextStep NextStep(int page, TSetupType type) {
  switch (page) {
    case wpSetupType:
      return {naShowPage, type == InstallFromBackup ? wpBackupSource : wpLogin};
    case wpLogin:
      return {naSignIn, -1};
    case wpSelectSoftware:
      if (type == CreateBackup) return {naStartBackupRun, wpProgress};
      return {naSelectProducts, wpDestination};
    case wpDestination:
      if (type == CreateBackup) return {naCheckBackupFolder, wpSelectSoftware};
      if (type == InstallFromBackup) return {naStartBackupInstall, wpProgress};
      return {naStartDownloadRun, wpProgress};
    case wpBackupSource:
      return {naReadBackupSource, wpSelectSoftware};
    default:
      return {naNone, -1};
  }
}

int PreviousPage(int page, TSetupType type) {
  switch (page) {
    case wpLogin:
      return wpSetupType;
    case wpSelectSoftware:
      if (type == CreateBackup) return wpDestination;
      if (type == InstallFromBackup) return wpBackupSource;
      return wpLogin;
    case wpDestination:
      return type == CreateBackup ? wpLogin : wpSelectSoftware;
    case wpBackupSource:
      return wpSetupType;
    default:
      return -1;
  }
}

int PageAfterProductList(TSetupType type) { return type == CreateBackup ? wpDestination : wpSelectSoftware; }

TSetupType SetupTypeFromInt(int value) {
  if (value == CreateBackup) return CreateBackup;
  if (value == InstallFromBackup) return InstallFromBackup;
  return InstallOnline;
}

TPageLook PageLook(int page, TSetupType type) {
  TPageLook look;
  switch (page) {
    case wpSetupType:
      look.title = &txtTitleSetupType;
      look.description = &txtDescSetupType;
      look.next = neEnabled;
      break;
    case wpLogin:
      look.title = &txtTitleLogin;
      look.description = &txtDescLogin;
      look.next = neEnabled;
      look.previousEnabled = true;
      break;
    case wpSelectSoftware:
      look.title = type == CreateBackup ? &txtTitleSelectBackup : &txtTitleSelectInstall;
      look.description = type == CreateBackup        ? &txtDescSelectBackup
                         : type == InstallFromBackup ? &txtDescSelectFromBackup
                                                     : &txtDescSelectOnline;
      look.next = neIfRows;
      look.previousEnabled = true;
      break;
    case wpDestination:
      look.title = type == CreateBackup ? &txtTitleBackupLocation : &txtTitleInstallLocation;
      look.description = type == CreateBackup ? &txtDescBackupLocation : &txtDescInstallLocation;
      look.next = neEnabled;
      look.previousEnabled = true;
      break;
    case wpProgress:
      look.title = &txtTitleProgress;
      look.description = &txtDescProgress;
      look.buttonsVisible = false;
      look.closeIsAbort = true;
      look.informationBar = false;
      break;
    case wpBackupSource:
      look.title = &txtTitleBackupSource;
      look.description = &txtDescBackupSource;
      look.next = neEnabled;
      look.previousEnabled = true;
      break;
    default:
      break;
  }
  return look;
}

bool SameTextAsciiCase(const QString& a, const QString& b) {
  if (a.size() != b.size()) return false;
  for (qsizetype i = 0; i < a.size(); ++i)
    if (FoldAscii(a[i].unicode()) != FoldAscii(b[i].unicode())) return false;
  return true;
}

int LoginChangeCode(const QString& email, const QString& password, const QString& rememberedEmail,
                    const QString& rememberedPassword) {
  const bool sameEmail = SameTextAsciiCase(email, rememberedEmail);
  const bool samePassword = SameTextAsciiCase(password, rememberedPassword);
  if (sameEmail && samePassword) return 0;
  if (samePassword) return 1;
  if (sameEmail) return 2;
  return 3;
}

bool IsValidEmailAddress(const QString& text) {
  const qsizetype at = text.indexOf(u'@');
  if (at < 1) return false;  // no "@", or nothing before it
  if (text.contains(QLatin1String(".."))) return false;
  const QString local = text.left(at);
  const QString domain = text.mid(at + 1);
  if (local.startsWith(u'.') || local.endsWith(u'.')) return false;
  if (domain.indexOf(u'.') < 1) return false;  // none, or right after the "@"
  // Walk the labels from the left up to the first empty one or the end; that one counts.
  qsizetype start = 0;
  for (;;) {
    const qsizetype dot = domain.indexOf(u'.', start);
    const qsizetype length = (dot < 0 ? domain.size() : dot) - start;
    if (length == 0 || dot < 0) return length >= 2;
    start = dot + 1;
  }
}

TSignInRequest SignInRequestFor(int change, const QString& email, const QString& password) {
  switch (change) {
    case 0:
      return {scSignIn, QString()};
    case 1:
      return {scSignInEmail, email};
    case 2:
      return {scSignInPassword, password};
    default:
      return {scSignIn, email + u';' + password};
  }
}

QString ProductListErrorText(int lastError, int retryAfter) {
  if (lastError == kErrorNoRemembered) return LangText(txtLoginNeedsPassword);
  if (lastError == kErrorThrottled)
    return retryAfter > 0 ? LangText(txtLoginThrottledFor).arg(WaitInWords(retryAfter)) : LangText(txtLoginThrottled);
  return LangText(lastError == kErrorUnknownLogin ? txtLoginUnknown : txtLoginError);
}

bool IsNewerVersion(std::uint32_t programVersion, std::uint32_t serverVersion) {
  return programVersion < serverVersion;
}

TUpdateLinkAction UpdateLinkAction(bool silentCheck, bool clientBusy, bool newerVersion,
                                   std::uint32_t receivedVersion) {
  if (silentCheck || clientBusy) return ulIgnore;
  if (newerVersion) return ulSelfUpdate;
  if (receivedVersion == 0) return ulRequestVersion;
  return ulNoNewVersion;
}

QString VersionText(std::uint32_t version) { return u'v' + VersionToStr(version, 4); }

TPanelPlacement ProgressPanelPlacement(int pageWidth, int pageHeight, int singleWidth, int singleHeight,
                                       bool singleVisible, int totalWidth, int totalHeight, bool totalVisible) {
  TPanelPlacement p;
  p.singleLeft = pageWidth / 2 - singleWidth / 2;
  p.totalLeft = pageWidth / 2 - totalWidth / 2;
  if (singleVisible && totalVisible) {
    p.singleTop = pageHeight / 4 - singleHeight / 2;
    p.totalTop = (pageHeight / 4) * 3 - totalHeight / 2;
  } else {
    // Only the visible one moves: it is centred.
    p.singleTop = pageHeight / 2 - singleHeight / 2;
    p.totalTop = pageHeight / 2 - totalHeight / 2;
  }
  return p;
}
