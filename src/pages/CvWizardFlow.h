#pragma once

// The wizard's decisions as plain functions: which page follows which, what each page's
// header and buttons look like, what the login page's answer means for the sign-in, and the
// version check. The wizard window only applies what these return.

#include "CvLanguage.h"
#include "CvSetupType.h"

#include <QString>

#include <cstdint>

// --- Page sequence ---------------------------------------------------------------------------

// What Next does on a page once the page's own check passed.
enum TNextAction : int {
  naNone,               // nothing (progress page)
  naShowPage,           // show `page`
  naSignIn,             // sign in and fetch the product list (login page)
  naSelectProducts,     // hand the checked products on, then show `page` (selection page)
  naStartBackupRun,     // hand the checked products on, then the backup run (selection, type 0)
  naStartDownloadRun,   // the download-and-install run (destination, type 3)
  naStartBackupInstall, // page 4 and the installation from the backup (destination, type 1)
  naCheckBackupFolder,  // look for a backup in the chosen folder, then `page` (destination, type 0)
  naReadBackupSource,   // read the backup index at the source, then `page` (backup source)
};

struct TNextStep {
  TNextAction action = naNone;
  int page = -1;  // the page shown when the step succeeds; -1 when the step shows none itself
  friend bool operator==(const TNextStep&, const TNextStep&) = default;
};

TNextStep NextStep(int page, TSetupType type);

// The page Previous goes to, -1 for none (pages 0 and 4, unknown pages).
int PreviousPage(int page, TSetupType type);

// The page shown when the product list arrived without error: 2 for type 3, 3 for type 0.
int PageAfterProductList(TSetupType type);

// The setup type the wizard may run: 0, 1 or 3; anything else is taken as 3.
TSetupType SetupTypeFromInt(int value);

// --- ShowPage table ------------------------------------------------------------------------

enum TNextEnabled : int {
  neDisabled,
  neEnabled,
  neIfRows,  // only when the selection list has at least one row
};

struct TPageLook {
  const TLangText* title = nullptr;
  const TLangText* description = nullptr;
  TNextEnabled next = neDisabled;
  bool previousEnabled = false;
  bool buttonsVisible = true;  // Next and Previous
  bool closeIsAbort = false;   // Close captioned "Abort" and acting as Abort
  bool informationBar = true;
};

// The row of a page for a setup type; a page without a row gives no title and the defaults.
TPageLook PageLook(int page, TSetupType type);

// Button captions.
extern const TLangText txtButtonNext;
extern const TLangText txtButtonPrevious;
extern const TLangText txtButtonClose;
extern const TLangText txtButtonAbort;

// --- Login ---------------------------------------------------------------------------------

// What the user changed against the remembered login: 0 nothing, 1 only the e-mail address,
// 2 only the password, 3 both. Compared without regard to the case of ASCII letters.
int LoginChangeCode(const QString& email, const QString& password, const QString& rememberedEmail,
                    const QString& rememberedPassword);

// Equal when only ASCII letters differ in case (other letters must match exactly).
bool SameTextAsciiCase(const QString& a, const QString& b);

// The e-mail check of the login page, on the whole text without trimming.
bool IsValidEmailAddress(const QString& text);

// Which sign-in the wizard calls for a change code, and the text it passes.
enum TSignInCall : int {
  scSignIn,          // the e-mail, ";" and the password, or empty for the remembered login
  scSignInEmail,     // the e-mail
  scSignInPassword,  // the password
};

struct TSignInRequest {
  TSignInCall call = scSignIn;
  QString text;
  friend bool operator==(const TSignInRequest&, const TSignInRequest&) = default;
};

TSignInRequest SignInRequestFor(int change, const QString& email, const QString& password);

// The message for a product list that failed with lastError (not 0).
QString ProductListErrorText(int lastError, int retryAfter = 0);

// --- Version check -------------------------------------------------------------------------

// A newer installer exists when the server's packed version is above the program's, as
// unsigned numbers; an equal one is no news.
bool IsNewerVersion(std::uint32_t programVersion, std::uint32_t serverVersion);

// What a click on the update link does.
enum TUpdateLinkAction : int {
  ulIgnore,          // a silent check runs or the client is busy
  ulSelfUpdate,      // a newer version is known
  ulRequestVersion,  // no version received yet: ask again, not silently
  ulNoNewVersion,    // the received version is not newer: say so
};

TUpdateLinkAction UpdateLinkAction(bool silentCheck, bool clientBusy, bool newerVersion,
                                   std::uint32_t receivedVersion);

// The version text of the wizard: "v" and all four components.
QString VersionText(std::uint32_t version);

// --- Progress page -------------------------------------------------------------------------

struct TPanelPlacement {
  int singleLeft = 0, singleTop = 0;
  int totalLeft = 0, totalTop = 0;
  friend bool operator==(const TPanelPlacement&, const TPanelPlacement&) = default;
};

// Where the two panels of the progress page go on a page of pageWidth × pageHeight: both
// centred horizontally; with both visible, the single group at a quarter and the total
// group at three quarters of the height, else the visible one centred.
TPanelPlacement ProgressPanelPlacement(int pageWidth, int pageHeight, int singleWidth, int singleHeight,
                                       bool singleVisible, int totalWidth, int totalHeight, bool totalVisible);
