// Pictures of the product selection page in each mode, the destination page in both modes and
// the backup-source page with a found backup, in the wizard window, with the demo account's
// products; the backup is an index of them on the simulated USB stick.
#include "CvLanguage.h"
#include "CvLib.h"
#include "CvProductTree.h"
#include "FraPageDestinationInstall.h"
#include "FraPageSelectSoftware.h"
#include "FraPageSourceInstall.h"
#include "FraPageTypeInstall.h"
#include "FrmWizardInstall.h"

#include <QCoreApplication>
#include <QDir>
#include <QPushButton>
#include <QRadioButton>
#include <QFile>
#include <QScreen>
#include <QThread>

#include <cstdio>
#include <deque>

namespace {

void SavePage(QWidget* window, const QString& outDir, const QString& name) {
  window->show();
  window->raise();
  for (int i = 0; i < 20; ++i) {
    QCoreApplication::processEvents();
    QThread::msleep(10);
  }
  const QPixmap shot = window->grab();
  const QString file = outDir + QLatin1Char('/') + name + QStringLiteral(".png");
  if (!shot.save(file)) std::fprintf(stderr, "cannot write %s\n", qPrintable(file));
  else std::printf("%s\n", qPrintable(file));
}

// The demo account's products, in the order the service sends them.
std::deque<ProductRecord> DemoProducts() {
  std::deque<ProductRecord> records;
  auto add = [&](int number, int kind, int group, int mask, const char* name, const char* title, const char* key,
                 uint32_t latest, qint64 size) {
    cvlib::TProductData d;
    d.productNumber = number;
    d.kind = kind;
    d.group = group;
    d.moduleMask = mask;
    d.displayName = QString::fromUtf8(name);
    d.itemTitle = QString::fromUtf8(title);
    d.registryKey = QString::fromUtf8(key);
    d.latestVersion = latest;
    d.size = size;
    d.revision = 2;
    records.emplace_back(d);
  };
  using cvlib::PackVersion;
  add(100, pkProgram, 9999, 1, "Corvane Navigator", "Corvane Navigator", "Navigator", PackVersion(5, 2, 0, 0), 48 << 20);
  add(100, pkCompanion, 9999, 2, "Corvane Navigator Drivers", "", "Navigator\\Drivers", PackVersion(1, 4, 0, 0), 3 << 20);
  add(110, pkProgram, 9999, 1, "QMR Manager", "QMR Manager", "QMR Manager\\1", PackVersion(2, 1, 0, 3), 12 << 20);
  add(1001, pkChartSet, 2019, 1, "North Sea Charts", "Netherlands", "", 0, 310 << 20);
  add(1001, pkChartSet, 2019, 2, "North Sea Charts", "Belgium", "", 0, 120 << 20);
  add(1001, pkChartSet, 2019, 4, "North Sea Charts", "Germany North", "", 0, 215 << 20);
  add(1002, pkChartSet, 9999, 1, "Baltic Charts", "Denmark", "", 0, 180 << 20);
  add(120, pkAddOn, 9999, 1, "Tide Planner", "Tide Planner", "TidePlanner", PackVersion(1, 0, 4, 0), 6 << 20);
  return records;
}

// Installs stand-ins of two demo programs in the private home: Navigator 5.1 (an update is
// available) and QMR Manager 2.1.0.3 (current).
void InstallDemoPrograms() {
  const QString base = QDir::homePath() + QStringLiteral("/.local/opt/Corvane/");
  const struct {
    const char* key;
    const char* folder;
    const char* file;
    const char* version;
  } programs[] = {{"Navigator", "Navigator", "Navigator", "5.1.0.0"},
                  {"QMR Manager\\1", "QMR Manager", "QMRManager", "2.1.0.3"}};
  for (const auto& p : programs) {
    const QString folder = base + QString::fromUtf8(p.folder) + QLatin1Char('/');
    QDir().mkpath(folder);
    QFile f(folder + QString::fromUtf8(p.file));
    if (f.open(QIODevice::WriteOnly))
      f.write(QByteArray("CVPRODUCTVERSION=") + p.version + QByteArray(1, '\0'));
    GetAppReg().WriteString(rrSoftware, QString::fromUtf8(p.key), QStringLiteral("RootDir"), folder);
  }
}

// The demo products as a backup index on the first removable medium of the (simulated)
// volume table, when that medium lies in the private home; false when there is none.
bool WriteDemoBackup(const std::deque<ProductRecord>& records) {
  for (const QString& root : GetDrives()) {
    if (DriveGetType(root) != dtRemovable || !DiskIsPresent(root) || !root.startsWith(QDir::homePath())) continue;
    std::vector<cvlib::TItemData> items;
    for (const ProductRecord& r : records) {
      if (r.Kind() == pkCompanion || r.ProductNumber() == 110) continue;  // QMR Manager is not in this backup
      cvlib::TItemData d;
      d.productNumber = r.ProductNumber();
      d.moduleMask = r.ModuleMask();
      d.productCode = QStringLiteral("P%1").arg(r.ProductNumber());
      d.moduleCode = QStringLiteral("M%1").arg(r.ModuleMask());
      d.productName = r.DisplayName();
      d.moduleName = r.ItemTitle();
      d.revision = 2;
      const bool chartSet = r.Kind() == pkChartSet;
      d.sourceFolder = chartSet ? QStringLiteral("QMR2/%1/%2/").arg(d.productCode, d.moduleCode)
                                : QStringLiteral("Setups/%1.bin").arg(d.productCode);
      d.files.push_back({chartSet ? d.moduleCode + QStringLiteral(".qmr2") : d.productCode + QStringLiteral(".bin"),
                         QString(), r.Size(), 1700000000, false, QString(64, QLatin1Char('a')), QString(), QString()});
      d.hasProduct = true;
      d.product = r.Data();
      items.push_back(d);
    }
    QDir().mkpath(root + QStringLiteral("CorvaneBackup"));
    return cvlib::WriteBackupIndexFile(root + QStringLiteral("CorvaneBackup/cvbackup.idx"), items) == 0;
  }
  return false;
}

void ClickNext(TFormWizardInstall& wizard) {
  wizard.ButtonNext()->click();
  QCoreApplication::processEvents();
}

}  // namespace

void PageShots(const QString& outDir) {
  // Only in the private home the screenshots run in: never write into a real one.
  if (!QDir::homePath().startsWith(QDir::tempPath())) {
    std::fprintf(stderr, "page pictures skipped: the home folder is not a private temporary one\n");
    return;
  }
  qputenv("CORVANE_PUS_URL", "http://127.0.0.1:9/pus/pus.php");
  const int language = GetCurrentLanguage();
  SetCurrentLanguage(lgEnglish);
  InstallDemoPrograms();
  std::deque<ProductRecord> records = DemoProducts();
  const bool backup = WriteDemoBackup(records);
  {
    TFormWizardInstall wizard;
    TFramePageSelectSoftware* select = wizard.PageSelectSoftware();

    // Install from the internet: statuses from the software registry, a mixed chart product.
    select->SetMode(InstallOnline);
    select->Clear();
    for (ProductRecord& r : records) select->AddProduct(&r);
    for (int i : {0, 1, 3, 5}) records[static_cast<size_t>(i)].SetChecked(true);
    wizard.ShowPage(wpSelectSoftware);
    SavePage(&wizard, outDir, QStringLiteral("wizard-page2-online"));
    // Where it goes.
    TFramePageDestinationInstall* destination = wizard.PageDestination();
    wizard.ShowPage(wpDestination);
    SavePage(&wizard, outDir, QStringLiteral("wizard-page3-install"));
    // An account without products.
    select->Clear();
    wizard.ShowPage(wpSelectSoftware);
    SavePage(&wizard, outDir, QStringLiteral("wizard-page2-empty"));

    if (backup) {
      // Install from a backup: page 6 finds the one on the stick, Next reads it.
      wizard.ShowPage(wpSetupType);
      wizard.PageTypeInstall()->RadioInstallFromBackup()->click();
      ClickNext(wizard);
      SavePage(&wizard, outDir, QStringLiteral("wizard-page6-found"));
      ClickNext(wizard);
      SavePage(&wizard, outDir, QStringLiteral("wizard-page2-from-backup"));
    }

    // Create a backup: the stick as the default place, too little room on it.
    wizard.ShowPage(wpSetupType);
    wizard.PageTypeInstall()->RadioCreateBackup()->click();
    ClickNext(wizard);
    destination->ProbeFreeSpace = [](const QString&, std::int64_t& free) {
      free = std::int64_t{600} << 20;
      return 0;
    };
    select->SetMode(CreateBackup);
    select->Clear();
    for (ProductRecord& r : records) select->AddProduct(&r);
    for (int i : {0, 1, 2, 3, 4, 5, 6}) records[static_cast<size_t>(i)].SetChecked(true);
    select->RecomputeSpace();
    wizard.ShowPage(wpDestination);
    SavePage(&wizard, outDir, QStringLiteral("wizard-page3-backup-short"));
    // What the backup holds already shows on the products; the footer turns red.
    select->SetFreeSpace(destination->AvailableSpace());
    wizard.ShowPage(wpSelectSoftware);
    SavePage(&wizard, outDir, QStringLiteral("wizard-page2-backup"));
    select->Clear();
    wizard.ShowPage(wpSetupType);
  }
  SetCurrentLanguage(language);
}
