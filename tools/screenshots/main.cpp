// Shows each window of the program's user-interface support once and writes a PNG of it
// into the folder given as argument; run under a real X server (scripts/screenshots).
#include "CvDesktop.h"
#include "CvDialogs.h"
#include "CvBrowseFolderFrm.h"
#include "CvLanguage.h"
#include "CvLib.h"
#include "CvMsgBox.h"
#include "CvShellView.h"
#include "FrmLanguage.h"
#include "FrmMessage.h"

#include <QApplication>
#include <QDir>
#include <QScreen>
#include <QThread>
#include <QTimer>

#include <cstdio>

void PageShots(const QString& outDir);
void SelfUpdateShots(const QString& outDir);

namespace {

QString outDir;

void Save(QWidget* window, const QString& name) {
  window->show();
  window->raise();
  // Let the window system map and paint the window before it is captured.
  for (int i = 0; i < 20; ++i) {
    QCoreApplication::processEvents();
    QThread::msleep(10);
  }
  const QPixmap shot = window->screen()->grabWindow(0, window->x(), window->y(),
                                                     window->frameGeometry().width(),
                                                     window->frameGeometry().height());
  const QString file = outDir + QLatin1Char('/') + name + QStringLiteral(".png");
  if (!(shot.isNull() ? window->grab() : shot).save(file)) std::fprintf(stderr, "cannot write %s\n", qPrintable(file));
  else std::printf("%s\n", qPrintable(file));
}

TMsgBoxRequest Box(TMsgDlgType kind, TMsgDlgButtons buttons, const QString& caption, const QString& text) {
  TMsgBoxRequest r;
  r.kind = kind;
  r.buttons = buttons;
  r.caption = caption.isEmpty() ? MsgKindCaption(kind) : caption;
  r.text = text;
  return r;
}

}  // namespace

void WizardShots(const QString& outDir);
int AllLanguageShots(const QString& outDir);
int ReadmeShots(const QString& outDir);

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  InstallDesktopConventions();
  const QByteArray mode = argc == 3 ? QByteArray(argv[1]) : QByteArray();
  if (argc < 2 || argc > 3 || (argc == 3 && mode != "--all-languages" && mode != "--readme")) {
    std::fprintf(stderr, "usage: cv_screenshots [--all-languages | --readme] OUTDIR\n");
    return 2;
  }
  outDir = QString::fromLocal8Bit(argv[argc - 1]);
  QDir().mkpath(outDir);
  if (mode == "--all-languages") return AllLanguageShots(outDir);
  if (mode == "--readme") return ReadmeShots(outDir);
  const QString title = ApplicationTitle();

  const struct {
    const char* name;
    TMsgBoxRequest request;
  } boxes[] = {
      {"msgbox-warning", Box(mtWarning, mbOKOnly, title,
                             "No products checked for installation.\r\n\r\nPlease check at least one product to "
                             "install before proceeding.")},
      {"msgbox-error", Box(mtError, mbOKOnly, "", "E-mail address and/or password unknown")},
      {"msgbox-information", Box(mtInformation, mbOKOnly, title, "The installation has completed successfully.")},
      {"msgbox-confirmation",
       Box(mtConfirmation, mbYesNo, title,
           "The chosen folder contains a backup, which you can update and expand. Choose another folder if you "
           "want to create a new backup.\r\n\r\nDo you want to continue?")},
      {"msgbox-custom", Box(mtCustom, mbOKOnly, "", "A message without an icon.")},
  };
  for (const auto& b : boxes) {
    TMessageForm form(b.request);
    Save(&form, QString::fromLatin1(b.name));
  }

  TFormMessage wait(fmkInitializingCharts);
  Save(&wait, QStringLiteral("please-wait"));
  wait.hide();

  TFormLanguage language(GetAvailableLanguages(), lgDutch, SystemLocaleLanguage());
  Save(&language, QStringLiteral("language-chooser"));
  language.hide();

  PageShots(outDir);

  // At the default install folder, inside a hidden one: the way to it shows.
  TFormBrowseFolder browse(false, bkSave, bfNewFolder, QDir::homePath() + QStringLiteral("/.local/opt/Corvane"), "",
                           nullptr);
  Save(&browse, QStringLiteral("folder-browser"));
  browse.hide();

  WizardShots(outDir);
  SelfUpdateShots(outDir);
  return 0;
}
