// The README's pictures (--readme OUTDIR): the wizard window as a user meets it, at 60% and
// with 256 colours, so that they stay small in the repository.
#include "CvLanguage.h"
#include "CvLib.h"
#include "FraPageDestinationInstall.h"
#include "FraPageProgress.h"
#include "FraPageSelectSoftware.h"
#include "FraPageTypeInstall.h"
#include "FrmWizardInstall.h"

#include <QCoreApplication>
#include <QImage>
#include <QRadioButton>
#include <QScreen>
#include <QThread>

#include <cstdio>
#include <deque>

namespace {

bool SaveSmall(QWidget* window, const QString& outDir, const QString& name) {
  window->show();
  for (int i = 0; i < 20; ++i) {
    QCoreApplication::processEvents();
    QThread::msleep(10);
  }
  QImage image = window->grab().toImage();
  image = image.scaledToWidth(image.width() * 3 / 5, Qt::SmoothTransformation);
  image = image.convertToFormat(QImage::Format_Indexed8, Qt::ThresholdDither | Qt::AvoidDither);
  const QString file = outDir + QLatin1Char('/') + name + QStringLiteral(".png");
  if (!image.save(file, "PNG", 9)) {
    std::fprintf(stderr, "cannot write %s\n", qPrintable(file));
    return false;
  }
  std::printf("%s\n", qPrintable(file));
  return true;
}

std::deque<ProductRecord> Products() {
  std::deque<ProductRecord> records;
  auto add = [&](int number, int kind, int group, int mask, const char* name, const char* title, qint64 size) {
    cvlib::TProductData d;
    d.productNumber = number;
    d.kind = kind;
    d.group = group;
    d.moduleMask = mask;
    d.displayName = QString::fromUtf8(name);
    d.itemTitle = QString::fromUtf8(title);
    d.latestVersion = kind == pkChartSet ? 0 : cvlib::PackVersion(5, 2, 0, 0);
    d.size = size;
    d.revision = 2;
    records.emplace_back(d);
  };
  add(100, pkProgram, 9999, 1, "Corvane Navigator", "Corvane Navigator", 48 << 20);
  add(110, pkProgram, 9999, 1, "QMR Manager", "QMR Manager", 12 << 20);
  add(1001, pkChartSet, 2019, 1, "North Sea Charts", "Netherlands", 310 << 20);
  add(1001, pkChartSet, 2019, 2, "North Sea Charts", "Belgium", 120 << 20);
  add(1002, pkChartSet, 9999, 1, "Baltic Charts", "Denmark", 180 << 20);
  return records;
}

}  // namespace

int ReadmeShots(const QString& outDir) {
  // No update server here: the start-up check fails at once and silently.
  qputenv("CORVANE_PUS_URL", "http://127.0.0.1:9/pus/pus.php");
  SetCurrentLanguage(lgEnglish);
  bool ok = true;
  TFormWizardInstall wizard;
  wizard.PageTypeInstall()->RadioInstallOnline()->click();
  ok = SaveSmall(&wizard, outDir, QStringLiteral("wizard-start")) && ok;

  wizard.ButtonNextClick();
  ok = SaveSmall(&wizard, outDir, QStringLiteral("wizard-sign-in")) && ok;

  std::deque<ProductRecord> records = Products();
  // The rows are built as the page is placed.
  TFramePageSelectSoftware* select = wizard.PageSelectSoftware();
  select->SetMode(InstallOnline);
  select->Clear();
  for (ProductRecord& r : records) select->AddProduct(&r);
  for (int i : {0, 2, 3}) records[static_cast<size_t>(i)].SetChecked(true);
  wizard.ShowPage(wpSelectSoftware);
  ok = SaveSmall(&wizard, outDir, QStringLiteral("wizard-products")) && ok;

  wizard.ShowPage(wpProgress);
  TFramePageProgress* progress = wizard.PageProgress();
  progress->SetSingleHeader(QStringLiteral("North Sea Charts - Netherlands"));
  progress->SetSingleText(QStringLiteral("Downloading... 1.2 MB / 3.4 MB (35%)"));
  progress->SetSingleMax(100);
  progress->SetSinglePosition(35);
  progress->SetTotalText(QStringLiteral("Total: 12.6 MB / 31.9 MB"));
  progress->SetTotalMax(18);
  progress->SetTotalPosition(7);
  progress->SetTotalRate(2.4 * 1024 * 1024, 8);
  ok = SaveSmall(&wizard, outDir, QStringLiteral("wizard-progress")) && ok;
  wizard.ShowPage(wpSetupType);
  return ok ? 0 : 1;
}
