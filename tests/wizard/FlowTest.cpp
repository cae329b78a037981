// The wizard's decisions as tables: no window.
#include "CvLanguage.h"
#include "CvLib.h"
#include "CvWizardFlow.h"

#include <gtest/gtest.h>

namespace {

TEST(WizardFlowTest, NextStepByPageAndSetupType) {
  struct Case {
    int page;
    TSetupType type;
    TNextStep step;
  };
  const Case cases[] = {
      {wpSetupType, InstallOnline, {naShowPage, wpLogin}},
      {wpSetupType, CreateBackup, {naShowPage, wpLogin}},
      {wpSetupType, InstallFromBackup, {naShowPage, wpBackupSource}},
      {wpLogin, InstallOnline, {naSignIn, -1}},
      {wpLogin, CreateBackup, {naSignIn, -1}},
      {wpSelectSoftware, InstallOnline, {naSelectProducts, wpDestination}},
      {wpSelectSoftware, InstallFromBackup, {naSelectProducts, wpDestination}},
      {wpSelectSoftware, CreateBackup, {naStartBackupRun, wpProgress}},
      {wpDestination, InstallOnline, {naStartDownloadRun, wpProgress}},
      {wpDestination, InstallFromBackup, {naStartBackupInstall, wpProgress}},
      {wpDestination, CreateBackup, {naCheckBackupFolder, wpSelectSoftware}},
      {wpBackupSource, InstallFromBackup, {naReadBackupSource, wpSelectSoftware}},
      {wpProgress, InstallOnline, {naNone, -1}},
      {5, InstallOnline, {naNone, -1}},
      {-1, CreateBackup, {naNone, -1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "page " << c.page << " type " << c.type);
    EXPECT_EQ(NextStep(c.page, c.type), c.step);
  }
}

TEST(WizardFlowTest, PreviousWalksEachSequenceBack) {
  // Next sequences: type 3: 0 1 2 3 4; type 0: 0 1 3 2 4; type 1: 0 6 2 3 4.
  struct Case {
    TSetupType type;
    std::vector<int> sequence;
  };
  const Case cases[] = {
      {InstallOnline, {0, 1, 2, 3}},
      {CreateBackup, {0, 1, 3, 2}},
      {InstallFromBackup, {0, 6, 2, 3}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.type);
    for (size_t i = 1; i < c.sequence.size(); ++i) EXPECT_EQ(PreviousPage(c.sequence[i], c.type), c.sequence[i - 1]);
    EXPECT_EQ(PreviousPage(wpSetupType, c.type), -1);
    EXPECT_EQ(PreviousPage(wpProgress, c.type), -1);
    // From the login page Previous always returns to page 0.
    EXPECT_EQ(PreviousPage(wpLogin, c.type), wpSetupType);
  }
  EXPECT_EQ(PageAfterProductList(InstallOnline), wpSelectSoftware);
  EXPECT_EQ(PageAfterProductList(CreateBackup), wpDestination);
}

TEST(WizardFlowTest, ShowPageTable) {
  SetCurrentLanguage(lgEnglish);
  struct Case {
    int page;
    TSetupType type;
    const char* title;
    const char* description;
    TNextEnabled next;
    bool previous;
    bool buttonsVisible;
    bool abort;
    bool infoBar;
  };
  const Case cases[] = {
      {0, InstallOnline, "Installation type", "Select what you want to do", neEnabled, false, true, false, true},
      {1, CreateBackup, "Login", "Please enter the e-mail address and password of your Corvane account.", neEnabled,
       true, true, false, true},
      {2, CreateBackup, "Select the product(s) to backup", "Select the product(s) that you want to download and backup.",
       neIfRows, true, true, false, true},
      {2, InstallFromBackup, "Select the product(s) to install",
       "Select the product(s) that you want to install from the backup.", neIfRows, true, true, false, true},
      {2, InstallOnline, "Select the product(s) to install", "Select the product(s) that you want to download and install.",
       neIfRows, true, true, false, true},
      {3, CreateBackup, "Backup location", "Specify the folder where the backup must be created", neEnabled, true, true,
       false, true},
      {3, InstallFromBackup, "Installation location", "Specify the folder where the products must be installed to",
       neEnabled, true, true, false, true},
      {3, InstallOnline, "Installation location", "Specify the folder where the products must be installed to",
       neEnabled, true, true, false, true},
      {4, InstallOnline, "Installation progress",
       "Please wait until the installation is finished or click 'Abort' to abort the installation", neDisabled, false,
       false, true, false},
      {6, InstallFromBackup, "Location of the backup", "Specify the location where the backup is located", neEnabled,
       true, true, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "page " << c.page << " type " << c.type);
    const TPageLook look = PageLook(c.page, c.type);
    ASSERT_NE(look.title, nullptr);
    EXPECT_EQ(LangText(*look.title), QString::fromUtf8(c.title));
    EXPECT_EQ(LangText(*look.description), QString::fromUtf8(c.description));
    EXPECT_EQ(look.next, c.next);
    EXPECT_EQ(look.previousEnabled, c.previous);
    EXPECT_EQ(look.buttonsVisible, c.buttonsVisible);
    EXPECT_EQ(look.closeIsAbort, c.abort);
    EXPECT_EQ(look.informationBar, c.infoBar);
    // Every row has its Dutch and German texts.
    for (int language : {lgDutch, lgGerman}) {
      EXPECT_NE(LangTextIn(*look.title, language), LangTextIn(*look.title, lgEnglish)) << language;
      EXPECT_NE(LangTextIn(*look.description, language), LangTextIn(*look.description, lgEnglish)) << language;
    }
  }
  EXPECT_EQ(PageLook(5, InstallOnline).title, nullptr);
}

TEST(WizardFlowTest, EmailAddressRules) {
  const struct {
    const char* text;
    bool valid;
  } cases[] = {
      {"a@b.cd", true},                 // the shortest that passes
      {"john.doe@mail.example.com", true},
      {"a@b.c@d.ef", true},             // a further "@" in the domain passes
      {"a b@c d.ef", true},             // blanks are not checked
      {" a@b.cd", true},                // nor is leading white space trimmed
      {"@b.cd", false},                 // nothing before the "@"
      {"abc", false},                   // no "@"
      {"", false},
      {"a..b@c.de", false},             // two dots in a row, local part
      {"a@b..de", false},               // two dots in a row, domain
      {".a@b.cd", false},               // local part begins with "."
      {"a.@b.cd", false},               // local part ends with "."
      {"a@bcd", false},                 // no "." after the "@"
      {"a@.bc", false},                 // "." right after the "@"
      {"a@b.c", false},                 // last label of one letter
      {"a@b.cd.", false},               // "." at the very end
      {"a@b.c.de", true},               // a one-letter label inside is fine
      {"ä@ö.üß", true},                 // letters beyond ASCII count as characters
  };
  for (const auto& c : cases) EXPECT_EQ(IsValidEmailAddress(QString::fromUtf8(c.text)), c.valid) << c.text;
}

TEST(WizardFlowTest, ChangeCodeAndTheSignInItChooses) {
  const QString placeholder = QStringLiteral("xxxxxxxxxxxxxxxxx");
  const struct {
    const char* email;
    const char* password;
    const char* rememberedEmail;
    const char* rememberedPassword;
    int change;
  } cases[] = {
      {"demo@corvane.example", "xxxxxxxxxxxxxxxxx", "demo@corvane.example", "xxxxxxxxxxxxxxxxx", 0},
      {"DEMO@Corvane.Example", "XXXXXXXXXXXXXXXXX", "demo@corvane.example", "xxxxxxxxxxxxxxxxx", 0},
      {"other@corvane.example", "xxxxxxxxxxxxxxxxx", "demo@corvane.example", "xxxxxxxxxxxxxxxxx", 1},
      {"demo@corvane.example", "secret1", "demo@corvane.example", "xxxxxxxxxxxxxxxxx", 2},
      {"other@corvane.example", "secret1", "demo@corvane.example", "xxxxxxxxxxxxxxxxx", 3},
      {"demo@corvane.example", "secret1", "", "", 3},
      // Only ASCII letters fold: a non-ASCII letter in another case is a change.
      {"Ädemo@corvane.example", "xxxxxxxxxxxxxxxxx", "ädemo@corvane.example", "xxxxxxxxxxxxxxxxx", 1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(LoginChangeCode(QString::fromUtf8(c.email), QString::fromUtf8(c.password),
                              QString::fromUtf8(c.rememberedEmail), QString::fromUtf8(c.rememberedPassword)),
              c.change)
        << c.email << " " << c.password;
  }

  const QString email = QStringLiteral("demo@corvane.example");
  const QString password = QStringLiteral("corvane-demo");
  EXPECT_EQ(SignInRequestFor(0, email, password), (TSignInRequest{scSignIn, QString()}));
  EXPECT_EQ(SignInRequestFor(1, email, password), (TSignInRequest{scSignInEmail, email}));
  EXPECT_EQ(SignInRequestFor(2, email, password), (TSignInRequest{scSignInPassword, password}));
  EXPECT_EQ(SignInRequestFor(3, email, password), (TSignInRequest{scSignIn, email + ';' + password}));
}

TEST(WizardFlowTest, ProductListErrors) {
  SetCurrentLanguage(lgEnglish);
  EXPECT_EQ(ProductListErrorText(4), "E-mail address and/or password unknown");
  EXPECT_EQ(ProductListErrorText(5), "An error occurred. Please try again..");
  EXPECT_EQ(ProductListErrorText(-1), "An error occurred. Please try again..");
  SetCurrentLanguage(lgGerman);
  EXPECT_EQ(ProductListErrorText(4), "E-Mail-Adresse und/oder Passwort unbekannt");
  // English and Dutch only: German falls back to English.
  EXPECT_EQ(ProductListErrorText(7), "An error occurred. Please try again..");
  SetCurrentLanguage(lgEnglish);
}

// Too many failed sign-ins: the wait the service asked for, in words; none said, "later".
TEST(WizardFlowTest, ThrottledSignInSaysHowLongToWait) {
  SetCurrentLanguage(lgEnglish);
  const struct {
    int retryAfter;
    const char* text;
  } cases[] = {
      {0, "Too many failed sign-ins. Please try again later."},
      {1, "Too many failed sign-ins. Please try again in 1 second."},
      {45, "Too many failed sign-ins. Please try again in 45 seconds."},
      {60, "Too many failed sign-ins. Please try again in 1 minute."},
      {119, "Too many failed sign-ins. Please try again in 119 seconds."},
      {121, "Too many failed sign-ins. Please try again in 3 minutes."},
      {900, "Too many failed sign-ins. Please try again in 15 minutes."},
  };
  for (const auto& c : cases) EXPECT_EQ(ProductListErrorText(10, c.retryAfter), c.text) << c.retryAfter;
  SetCurrentLanguage(lgDutch);
  EXPECT_EQ(ProductListErrorText(10, 900), "Te veel mislukte aanmeldpogingen. Probeer het over 15 minuten opnieuw.");
  SetCurrentLanguage(lgEnglish);
}

TEST(WizardFlowTest, VersionComparisonAndTheUpdateLink) {
  const uint32_t program = cvlib::PackVersion(1, 0, 0, 0);
  EXPECT_TRUE(IsNewerVersion(program, cvlib::PackVersion(1, 0, 0, 1)));
  EXPECT_FALSE(IsNewerVersion(program, program));  // equal is no news
  EXPECT_FALSE(IsNewerVersion(program, cvlib::PackVersion(0, 9, 255, 255)));
  // Unsigned: a major version of 128 or more is still higher.
  EXPECT_TRUE(IsNewerVersion(program, cvlib::PackVersion(200, 0, 0, 0)));
  EXPECT_FALSE(IsNewerVersion(cvlib::PackVersion(200, 0, 0, 0), program));

  struct Case {
    bool silent, busy, newer;
    uint32_t received;
    TUpdateLinkAction action;
  };
  const Case cases[] = {
      {true, false, true, program + 1, ulIgnore},   // the start-up check still runs
      {false, true, true, program + 1, ulIgnore},   // the client is busy
      {false, false, true, program + 1, ulSelfUpdate},
      {false, false, false, 0, ulRequestVersion},   // nothing received yet
      {false, false, false, program, ulNoNewVersion},
  };
  for (const Case& c : cases) EXPECT_EQ(UpdateLinkAction(c.silent, c.busy, c.newer, c.received), c.action);

  EXPECT_EQ(VersionText(cvlib::PackVersion(1, 2, 3, 4)), "v1.2.3.4");
  EXPECT_EQ(VersionText(cvlib::PackVersion(1, 0, 0, 0)), "v1.0.0.0");
}

TEST(WizardFlowTest, ProgressPanelPlacement) {
  struct Case {
    int w, h;
    bool single, total;
    TPanelPlacement expected;  // only the visible panels' tops count
  };
  const Case cases[] = {
      // Both visible: a quarter and three quarters of the height.
      {620, 370, true, true, {20, 92 - 26, 20, 92 * 3 - 18}},
      // Odd sizes: integer division toward zero.
      {621, 371, true, true, {20, 92 - 26, 20, 92 * 3 - 18}},
      {575, 370, true, true, {287 - 290, 66, 287 - 290, 258}},
      // One visible: centred.
      {620, 370, false, true, {20, 185 - 26, 20, 185 - 18}},
      {620, 370, true, false, {20, 185 - 26, 20, 185 - 18}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ProgressPanelPlacement(c.w, c.h, 580, 52, c.single, 580, 37, c.total), c.expected)
        << c.w << "x" << c.h;
  }
}

}  // namespace
