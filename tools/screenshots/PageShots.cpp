// Pictures of the product selection, destination and backup-source pages at the size the
// wizard gives its pages, filled with the demo account's products.
#include "CvLanguage.h"
#include "CvLib.h"
#include "CvProductTree.h"
#include "FraPageDestinationInstall.h"
#include "FraPageSelectSoftware.h"
#include "FraPageSourceInstall.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QScreen>
#include <QThread>
#include <QVBoxLayout>

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

// A host of the wizard's page-area size.
struct THost {
  QWidget window;
  QWidget* area;
  THost() {
    window.resize(634, 370);
    area = new QWidget(&window);
    new QVBoxLayout(area);
    area->setGeometry(window.rect());
  }
};

}  // namespace

void PageShots(const QString& outDir) {
  const int language = GetCurrentLanguage();
  SetCurrentLanguage(lgEnglish);
  // Only in the private home the screenshots run in: never write into a real one.
  const bool privateHome = QDir::homePath().startsWith(QDir::tempPath());
  if (privateHome) InstallDemoPrograms();

  {
    std::deque<ProductRecord> records = DemoProducts();
    THost host;
    TFramePageSelectSoftware page(nullptr, nullptr, &host.window);
    // Install from the internet: statuses from the software registry, a mixed chart product.
    page.SetMode(3);
    page.Clear();
    for (ProductRecord& r : records) page.AddProduct(&r);
    records[0].SetChecked(true);
    records[1].SetChecked(true);
    records[3].SetChecked(true);
    records[5].SetChecked(true);
    page.SetParent(host.area);
    SavePage(&host.window, outDir, QStringLiteral("wizard-select-online"));

    // Create a backup: one chart set already in the backup, not enough room, the footer red.
    page.SetParent(nullptr);
    page.SetMode(0);
    page.Clear();
    for (ProductRecord& r : records) page.AddProduct(&r);
    records[6].SetPresent(true);
    for (int i : {0, 1, 3, 4, 5, 6}) records[static_cast<size_t>(i)].SetChecked(true);
    page.SetFreeSpace(512 << 20);
    page.SetParent(host.area);
    SavePage(&host.window, outDir, QStringLiteral("wizard-select-backup"));

    // Install from a backup: everything ticked.
    page.SetParent(nullptr);
    page.SetMode(1);
    page.Clear();
    for (ProductRecord& r : records) {
      page.AddProduct(&r);
      r.SetChecked(true);
    }
    page.SetParent(host.area);
    SavePage(&host.window, outDir, QStringLiteral("wizard-select-from-backup"));

    // An account without products.
    page.SetParent(nullptr);
    page.SetMode(3);
    page.Clear();
    page.SetParent(host.area);
    SavePage(&host.window, outDir, QStringLiteral("wizard-select-empty"));
    page.SetParent(nullptr);
  }

  {
    THost host;
    TFramePageDestinationInstall page(&host.window);
    page.ProbeFreeSpace = [](const QString&, std::int64_t& free) {
      free = std::int64_t{1230} << 20;
      return 0;
    };
    page.SetMode(3);
    page.SetRequiredSpace(std::int64_t{705} << 20);
    page.SetParent(host.area);
    SavePage(&host.window, outDir, QStringLiteral("wizard-destination-install"));
    page.SetParent(nullptr);
    page.SetMode(0);
    page.SetRequiredSpace(std::int64_t{2} << 30);
    page.SetParent(host.area);
    SavePage(&host.window, outDir, QStringLiteral("wizard-destination-backup-short"));
    page.SetParent(nullptr);
  }

  {
    // A backup on the first removable medium of the (simulated) volume table.
    if (privateHome) {
      for (const QString& root : GetDrives()) {
        if (DriveGetType(root) != dtRemovable || !DiskIsPresent(root) || !root.startsWith(QDir::homePath())) continue;
        QDir().mkpath(root + QStringLiteral("CorvaneBackup"));
        QFile index(root + QStringLiteral("CorvaneBackup/cvbackup.idx"));
        if (index.open(QIODevice::WriteOnly)) index.write("CVBACKUPIDX 1 0 -\n");
        break;
      }
    }
    THost host;
    TFramePageSourceInstall page(&host.window);
    page.SetParent(host.area);
    SavePage(&host.window, outDir, QStringLiteral("wizard-source-found"));
    page.SetParent(nullptr);
  }
  SetCurrentLanguage(language);
}
