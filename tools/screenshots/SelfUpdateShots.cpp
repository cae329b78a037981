// The self-update window: its history in English and in Dutch from the reference service
// beside this program, and the window while it downloads.
#include "CvLanguage.h"
#include "CvLib.h"
#include "FrmWizardUpdate.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QTcpServer>
#include <QThread>

#include <cstdio>
#include <functional>

namespace {

void Pump(int ms) {
  QElapsedTimer timer;
  timer.start();
  while (timer.elapsed() < ms) {
    QCoreApplication::processEvents();
    QThread::msleep(10);
  }
}

bool WaitFor(const std::function<bool()>& cond) {
  QElapsedTimer timer;
  timer.start();
  while (!cond()) {
    if (timer.elapsed() > 10000) return false;
    QCoreApplication::processEvents();
    QThread::msleep(10);
  }
  return true;
}

void Save(QWidget* window, const QString& outDir, const QString& name) {
  window->raise();
  Pump(200);
  const QPixmap shot = window->screen()->grabWindow(0, window->x(), window->y(),
                                                     window->frameGeometry().width(),
                                                     window->frameGeometry().height());
  const QString file = outDir + QLatin1Char('/') + name + QStringLiteral(".png");
  if (!(shot.isNull() ? window->grab() : shot).save(file)) std::fprintf(stderr, "cannot write %s\n", qPrintable(file));
  else std::printf("%s\n", qPrintable(file));
}

// A window showing its history, loaded from the service.
bool ShowWithHistory(TFormWizardUpdate& form) {
  form.show();
  return WaitFor([&] {
    return !form.FirstActivation() && !form.Client()->IsBusy() && !form.PleaseWaitShown();
  });
}

}  // namespace

void SelfUpdateShots(const QString& outDir) {
  QProcess service;
  service.start(QCoreApplication::applicationDirPath() + QStringLiteral("/deployer-service"),
                {QStringLiteral("--port"), QStringLiteral("0")});
  if (!service.waitForStarted(5000) || !service.waitForReadyRead(10000)) {
    std::fprintf(stderr, "selfupdate: deployer-service did not start\n");
    return;
  }
  const QString base = QString::fromUtf8(service.readLine()).trimmed();
  qputenv("CORVANE_PUS_URL", (base + QStringLiteral("/pus/pus.php")).toUtf8());

  const int language = GetCurrentLanguage();
  for (const auto& [lang, name] : {std::pair{int(lgEnglish), "selfupdate-history-en"},
                                   std::pair{int(lgDutch), "selfupdate-history-nl"}}) {
    SetCurrentLanguage(lang);
    TFormWizardUpdate form;
    if (ShowWithHistory(form)) Save(&form, outDir, QString::fromLatin1(name));
    else std::fprintf(stderr, "selfupdate: no history for %s\n", name);
    form.hide();
    DirDeleteTree(form.DownloadFolder());
  }
  SetCurrentLanguage(lgEnglish);

  // While downloading: a server that takes the request and never answers keeps the window
  // in its download state; the bar shows what a running download reports.
  QTcpServer silent;
  silent.listen(QHostAddress::LocalHost, 0);
  {
    TFormWizardUpdate form;
    if (ShowWithHistory(form)) {
      form.Client()->SetURL(QStringLiteral("http://127.0.0.1:%1/pus/pus.php").arg(silent.serverPort()));
      form.ButtonDownload()->click();
      form.PUSRequestUpdateFile(form.Client(), 1363148, 3145728, 1, 1, SelfUpdateProductGUID(),
                                form.DownloadFolder() + QStringLiteral("DeployerSetup-1.1.0.0.sh"));
      Save(&form, outDir, QStringLiteral("selfupdate-downloading"));
    }
    form.hide();
    DirDeleteTree(form.DownloadFolder());
  }
  SetCurrentLanguage(language);
  service.terminate();
  service.waitForFinished(3000);
}
