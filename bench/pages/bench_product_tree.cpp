// The product selection page's tree beside a plain QStandardItemModel, in one run. The store
// holds 200 installed chart products (10 modules of 10 charts each: 20,000 charts) and 500
// program keys in the software registry, each with its folder and a program file carrying a
// version marker. The records: half chart sets (10 modules a product, every other product
// installed), half programs and add-ons (every other one registered). Timed in alternating
// rounds, each on a fresh view:
//   page   Clear, AddProduct for every record (the presence rules) and the tree built;
//   tree   the tree alone, from records whose presence is known;
//   plain  a QStandardItemModel filled with as many rows (text, status, tick box), chart sets
//          as children of their product row, in a tree view, expanded. Like the page's, the
//          view and the empty model are made before the clock starts.
// Prints the medians and the ratios page / plain and tree / plain.
#include "CvInstalledCharts.h"
#include "CvProductTree.h"
#include "FraPageSelectSoftware.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QStandardItemModel>
#include <QTreeView>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

constexpr int kInstalledProducts = 200;
constexpr int kModules = 10;
constexpr int kCharts = 10;
constexpr int kProgramKeys = 500;

bool Generate(const QString& home, int& charts) {
  const QString chartsDir = home + "/charts/";
  TInstalledCharts model(home + "/gen.cif");
  charts = 0;
  for (int p = 0; p < kInstalledProducts; ++p) {
    int error = 0;
    // Installed products are the even product numbers 2000, 2002, ...
    const int number = 2000 + 2 * p;
    const QString code = QStringLiteral("P%1").arg(number);
    TInstalledChartProduct* product = model.AddProduct(code, code, error);
    if (!product) return false;
    for (int m = 0; m < kModules; ++m) {
      const QString mcode = QStringLiteral("M%1").arg(m);
      const QString folder = chartsDir + code + "/" + mcode + "/";
      TInstalledChartModule* module = product->AddModule(mcode, mcode, error, false, folder);
      if (!module) return false;
      for (int c = 0; c < kCharts; ++c) {
        const QString name = QStringLiteral("c%1.qmr2").arg(c);
        if (WriteChartFile(folder + name, number, m, 64) != 0 || !module->AddChart(name, error, 1.0)) return false;
        ++charts;
      }
    }
  }
  for (int k = 0; k < kProgramKeys; ++k) {
    const QString key = QStringLiteral("Program%1").arg(2 * k);
    const QString folder = home + "/programs/" + key + "/";
    QDir().mkpath(folder);
    QFile f(folder + key);
    if (!f.open(QIODevice::WriteOnly)) return false;
    f.write(QByteArray(4096, 'x') + "CVPRODUCTVERSION=1.2.0.0" + QByteArray(1, '\0') + QByteArray(4096, 'y'));
    if (GetAppReg().WriteString(rrSoftware, key, "RootDir", folder) != 0) return false;
  }
  return true;
}

std::deque<ProductRecord> Records(int count) {
  std::deque<ProductRecord> records;
  const int programs = count / 2;
  for (int i = 0; i < programs; ++i) {
    cvlib::TProductData d;
    d.productNumber = 100 + i;
    d.kind = i % 10 == 9 ? pkAddOn : pkProgram;
    d.group = 9999;
    d.moduleMask = 1;
    d.displayName = QStringLiteral("Program %1").arg(i);
    d.itemTitle = d.displayName;
    d.registryKey = QStringLiteral("Program%1").arg(i);  // every other one registered
    d.latestVersion = cvlib::PackVersion(1, 3, 0, 0);
    d.size = 1 << 20;
    records.emplace_back(d);
  }
  // Programs first, then add-ons, as the service orders them.
  std::stable_sort(records.begin(), records.end(),
                   [](const ProductRecord& a, const ProductRecord& b) { return a.Kind() < b.Kind(); });
  std::deque<ProductRecord> all;
  for (const auto& r : records)
    if (r.Kind() == pkProgram) all.push_back(r);
  for (int i = 0; i < count - programs; ++i) {
    cvlib::TProductData d;
    d.productNumber = 2000 + i / kModules;  // even numbers are installed
    d.kind = pkChartSet;
    d.group = 2000 + i / 100;
    d.moduleMask = 1 << (i % kModules);
    d.displayName = QStringLiteral("Chart product %1").arg(i / kModules);
    d.itemTitle = QStringLiteral("Module %1").arg(i % kModules);
    d.size = 10 << 20;
    d.checked = i % 3 == 0;
    all.emplace_back(d);
  }
  for (const auto& r : records)
    if (r.Kind() == pkAddOn) all.push_back(r);
  return all;
}

double PlainFill(const std::deque<ProductRecord>& records) {
  // The view and the empty model exist before the clock starts, as the page's do.
  QTreeView view;
  QStandardItemModel model;
  model.setColumnCount(2);
  view.setModel(&model);
  const auto t0 = Clock::now();
  QStandardItem* chartRow = nullptr;
  QString lastName;
  for (const ProductRecord& r : records) {
    auto* text = new QStandardItem(r.Kind() == pkChartSet ? r.ItemTitle() : r.DisplayName());
    text->setCheckable(true);
    text->setCheckState(r.Checked() ? Qt::Checked : Qt::Unchecked);
    auto* status = new QStandardItem(QStringLiteral("new software"));
    if (r.Kind() == pkChartSet) {
      if (!chartRow || lastName != r.DisplayName()) {
        chartRow = new QStandardItem(r.DisplayName());
        chartRow->setCheckable(true);
        model.appendRow({chartRow, new QStandardItem()});
        lastName = r.DisplayName();
      }
      chartRow->appendRow({text, status});
    } else {
      model.appendRow({text, status});
    }
  }
  view.expandAll();
  return Seconds(t0);
}

double PageBuild(std::deque<ProductRecord>& records, TInstalledCharts& installed, bool withPresence) {
  QWidget host;
  TFramePageSelectSoftware page(&installed, nullptr, &host);
  page.SetMode(3);
  if (!withPresence) {
    for (ProductRecord& r : records) page.AddProduct(&r);
  }
  const auto t0 = Clock::now();
  if (withPresence) {
    page.Clear();
    for (ProductRecord& r : records) page.AddProduct(&r);
  }
  page.BuildTree();
  const double s = Seconds(t0);
  page.Clear();
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: bench_product_tree WORKDIR RECORDS [ROUNDS]\n");
    return 2;
  }
  // Absolute: the store ignores relative folders and would fall back to the real home. Set
  // before Qt starts, so that nothing at all is looked up in the real home.
  const QString home = QDir(QString::fromLocal8Bit(argv[1])).absolutePath();
  const int count = std::atoi(argv[2]);
  const int rounds = argc > 3 ? std::atoi(argv[3]) : 9;
  setenv("HOME", qPrintable(home), 1);
  setenv("XDG_DATA_HOME", qPrintable(home + "/data"), 1);
  setenv("XDG_CONFIG_HOME", qPrintable(home + "/config"), 1);
  setenv("XDG_CACHE_HOME", qPrintable(home + "/cache"), 1);
  QApplication app(argc, argv);
  int charts = 0;
  if (!Generate(home, charts)) {
    std::fprintf(stderr, "cannot generate the store in %s\n", qPrintable(home));
    return 1;
  }
  TInstalledCharts installed(home + "/bench.cif");
  std::deque<ProductRecord> records = Records(count);
  std::printf("records %d (chart sets %d), installed charts %d, program keys %d, rounds %d\n", count, count - count / 2,
              charts, kProgramKeys, rounds);

  std::vector<double> page, tree, plain;
  for (int i = 0; i < rounds + 1; ++i) {
    const double a = PageBuild(records, installed, true);
    const double b = PageBuild(records, installed, false);
    const double c = PlainFill(records);
    if (i == 0) continue;  // the first round warms the caches
    page.push_back(a);
    tree.push_back(b);
    plain.push_back(c);
  }
  int present = 0;
  int updates = 0;
  {
    QWidget host;
    TFramePageSelectSoftware p(&installed, nullptr, &host);
    p.SetMode(3);
    for (ProductRecord& r : records) {
      p.AddProduct(&r);
      present += r.Present();
      updates += r.UpdateAvailable();
    }
    p.Clear();
  }
  const double mp = Median(page), mt = Median(tree), mq = Median(plain);
  std::printf("present %d, update available %d\n", present, updates);
  std::printf("page  (presence + tree)   median %8.2f ms\n", mp * 1000);
  std::printf("tree  (tree only)         median %8.2f ms\n", mt * 1000);
  std::printf("plain QStandardItemModel  median %8.2f ms\n", mq * 1000);
  std::printf("page / plain %.2f   tree / plain %.2f   (goal: at most 3)\n", mp / mq, mt / mq);
  return 0;
}
