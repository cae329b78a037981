// Pictures of the wizard window: page 0 in English, Dutch and German, the login page with a
// remembered sign-in, and the progress page in the middle of a run.
#include "CvLanguage.h"
#include "CvLib.h"
#include "FraPageProgress.h"
#include "FrmWizardInstall.h"

#include <QCoreApplication>
#include <QScreen>
#include <QThread>

#include <cstdio>

namespace {

void SaveWizard(QWidget* window, const QString& outDir, const QString& name) {
  window->show();
  window->raise();
  // Let the window system map and paint the window before it is captured.
  for (int i = 0; i < 20; ++i) {
    QCoreApplication::processEvents();
    QThread::msleep(10);
  }
  const QPixmap shot = window->screen()->grabWindow(0, window->x(), window->y(), window->frameGeometry().width(),
                                                     window->frameGeometry().height());
  const QString file = outDir + QLatin1Char('/') + name + QStringLiteral(".png");
  if (!(shot.isNull() ? window->grab() : shot).save(file))
    std::fprintf(stderr, "cannot write %s\n", qPrintable(file));
  else
    std::printf("%s\n", qPrintable(file));
}

}  // namespace

void WizardShots(const QString& outDir) {
  // No update server here: the start-up check fails at once and silently.
  qputenv("CORVANE_PUS_URL", "http://127.0.0.1:9/pus/pus.php");
  const int language = GetCurrentLanguage();

  SetCurrentLanguage(lgEnglish);
  {
    TFormWizardInstall wizard;
    SaveWizard(&wizard, outDir, QStringLiteral("wizard-page0-en"));

    // A remembered sign-in is an address with its token.
    GetAppReg().WriteString(rrSettings, QStringLiteral("Account"), QStringLiteral("Email"),
                            QStringLiteral("demo@corvane.example"));
    GetAppReg().WriteString(rrSettings, QStringLiteral("Account"), QStringLiteral("Token"), QStringLiteral("shot"));
    wizard.ShowPage(wpLogin);
    SaveWizard(&wizard, outDir, QStringLiteral("wizard-page1-remembered"));
    GetAppReg().DeleteKey(rrSettings, QStringLiteral("Account"));

    wizard.ShowPage(wpProgress);
    TFramePageProgress* progress = wizard.PageProgress();
    progress->SetSingleHeader(QStringLiteral("North Sea Charts - NL"));
    progress->SetSingleText(QStringLiteral("Downloading... 1.2 MB / 3.4 MB (35%)"));
    progress->SetSingleMax(100);
    progress->SetSinglePosition(35);
    progress->SetTotalText(QStringLiteral("Total: 12.6 MB / 31.9 MB"));
    progress->SetTotalMax(18);
    progress->SetTotalPosition(7);
    progress->SetTotalRate(2.4 * 1024 * 1024, 8);
    SaveWizard(&wizard, outDir, QStringLiteral("wizard-page4-progress"));
    wizard.ShowPage(wpSetupType);
  }
  for (const auto& [lang, name] : {std::pair{lgDutch, "wizard-page0-nl"}, std::pair{lgGerman, "wizard-page0-de"}}) {
    SetCurrentLanguage(lang);
    TFormWizardInstall wizard;
    SaveWizard(&wizard, outDir, QString::fromLatin1(name));
  }
  SetCurrentLanguage(language);
}
