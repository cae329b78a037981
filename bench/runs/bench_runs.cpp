// Helpers of bench/runs/run.sh, each a mode of this program:
//   catalogue DIR COUNT MINBYTES MAXBYTES [BIGMIB]
//        an accounts folder for deployer-service --accounts DIR: one account
//        (bench@corvane.example / bench-password) owning chart product 2001 ("BX", module "A",
//        mask 1) of COUNT chart files of MINBYTES..MAXBYTES, and with BIGMIB > 0 product 2002
//        ("BIG", module "A") of one file of that size; DIR/paths.txt lists the file paths
//   zip FILE COUNT TOTALMIB   an archive of COUNT files adding up to TOTALMIB, half compressible
//   extract ZIP DIR           extracts with the runs' extraction; prints the seconds
//   loopgap URL EMAIL PASSWORD DEST BACKUP PRODUCT:MASK...
//        installs the products from the service into DEST (downloads, setups, add-on copies,
//        archive extraction, chart sets), then installs them again from the backup folder BACKUP
//        (copies) into DEST/again, with a 5 ms timer on the event loop; prints the largest gap
//        between its ticks in milliseconds for each run
#include "AccountCrypto.h"
#include "CvDeployRun.h"
#include "CvInstalledCharts.h"
#include "CvMsgBoxPresenter.h"
#include "CvZipExtract.h"

#include <nlohmann/json.hpp>
#include <zip.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <QString>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace {

constexpr std::int64_t kTime = 1700000000;

std::string ChartBytes(int product, int module, std::size_t size, std::mt19937_64& rng) {
  std::string s(std::max<std::size_t>(size, 16), '\0');
  auto put32 = [&](std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) s[at + i] = static_cast<char>(v >> (8 * i));
  };
  s[0] = 'Q', s[1] = 'M', s[2] = 'R', s[3] = '2';
  put32(4, 1);
  put32(8, static_cast<std::uint32_t>(product));
  put32(12, static_cast<std::uint32_t>(module));
  for (std::size_t i = 16; i < s.size(); ++i) s[i] = static_cast<char>(rng());
  return s;
}

bool Write(const fs::path& path, const std::string& data) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
  return static_cast<bool>(out);
}

json Product(int number, const std::string& code, const std::string& name, json files) {
  return {{"number", number},  {"kind", 1},           {"group", 9999},      {"moduleMask", 1},
          {"displayName", name}, {"itemTitle", "A"},  {"productCode", code}, {"moduleCode", "A"},
          {"productName", name}, {"moduleName", "A"}, {"revision", 1},       {"files", std::move(files)}};
}

int Catalogue(const fs::path& dir, int count, int minBytes, int maxBytes, int bigMib) {
  fs::create_directories(dir);
  std::mt19937_64 rng(42);
  std::uniform_int_distribution<int> sizes(minBytes, maxBytes);
  std::ofstream paths(dir / "paths.txt");
  json files = json::array();
  for (int i = 0; i < count; ++i) {
    const std::string name = "c" + std::to_string(i) + ".qmr2";
    const std::string path = "charts/BX/A/" + name;
    if (!Write(dir / "files" / path, ChartBytes(2001, 0, static_cast<std::size_t>(sizes(rng)), rng))) return 1;
    files.push_back({{"name", name}, {"folder", ""}, {"path", path}, {"time", kTime}, {"addon", false}});
    paths << path << '\n';
  }
  json products = json::array({Product(2001, "BX", "Bench Charts", files)});
  json owned = json::array({{{"product", 2001}, {"mask", -1}}});
  if (bigMib > 0) {
    const fs::path big = dir / "files/charts/BIG/A/big.qmr2";
    fs::create_directories(big.parent_path());
    std::ofstream out(big, std::ios::binary);
    std::string block = ChartBytes(2002, 0, 1 << 20, rng);
    for (int i = 0; i < bigMib; ++i) {
      out.write(block.data(), static_cast<std::streamsize>(block.size()));
      block[100 + i % 1000] ^= 1;
    }
    products.push_back(Product(2002, "BIG", "Big Charts",
                               json::array({{{"name", "big.qmr2"}, {"folder", ""}, {"path", "charts/BIG/A/big.qmr2"},
                                             {"time", kTime}, {"addon", false}}})));
    owned.push_back({{"product", 2002}, {"mask", -1}});
  }
  const std::string salt = cvservice::RandomHex(cvservice::kPasswordSaltBytes);
  const json accounts = {{"accounts", json::array({{{"email", "bench@corvane.example"},
                                                    {"salt", salt},
                                                    {"hash", cvservice::HashPassword("bench-password", salt,
                                                                                     cvservice::kPasswordRounds)},
                                                    {"rounds", cvservice::kPasswordRounds},
                                                    {"products", owned}}})}};
  return Write(dir / "catalogue.json", json{{"products", products}}.dump()) &&
                 Write(dir / "accounts.json", accounts.dump())
             ? 0
             : 1;
}

int Zip(const std::string& file, int count, int totalMib) {
  std::mt19937_64 rng(7);
  int error = 0;
  zip_t* z = zip_open(file.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
  if (!z) return 1;
  const std::size_t each = (static_cast<std::size_t>(totalMib) << 20) / static_cast<std::size_t>(count);
  std::vector<std::string> data(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) {
    std::string& d = data[static_cast<std::size_t>(i)];
    d.resize(each);
    // Half random, half text: a mix the way add-on archives are.
    for (std::size_t k = 0; k < each; ++k) d[k] = k < each / 2 ? static_cast<char>(rng()) : "route 52.37 4.89\n"[k % 17];
    const std::string name = "dir" + std::to_string(i % 50) + "/file" + std::to_string(i) + ".dat";
    zip_source_t* s = zip_source_buffer(z, d.data(), d.size(), 0);
    if (zip_file_add(z, name.c_str(), s, ZIP_FL_ENC_UTF_8) < 0) return 1;
  }
  return zip_close(z) == 0 ? 0 : 1;
}

int Extract(const QString& archive, const QString& dir) {
  const auto start = std::chrono::steady_clock::now();
  const int error = cvruns::ExtractArchive(archive, dir, [](int) { return true; });
  const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%.3f\n", s);
  return error ? 1 : 0;
}

// Largest gap between the ticks of a 5 ms timer while `work` runs the event loop.
template <typename Work>
double LargestGap(Work work) {
  QElapsedTimer clock;
  clock.start();
  qint64 last = 0, largest = 0;
  QTimer timer;
  QObject::connect(&timer, &QTimer::timeout, [&] {
    const qint64 now = clock.elapsed();
    largest = std::max(largest, now - last);
    last = now;
  });
  timer.start(5);
  work();
  return static_cast<double>(largest);
}

TRunResult WaitForRun(TDeployRun& run, bool& done) {
  TRunResult result;
  run.SetOnFinished([&](const TRunResult& r) {
    result = r;
    done = true;
  });
  while (!done) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  return result;
}

int LoopGap(const std::vector<std::string>& a) {
  // Every question is answered No, every message OK, silently.
  SetMsgBoxPresenter([](const TMsgBoxRequest& r) { return MsgButtonResult(MsgCancelButton(r.buttons)); });
  auto env = NavEnvCreate();
  auto check = QMRChartCheckCreate(env->EventSource(), QStringLiteral("CSI"), GetProgInfo().Version);
  check->SetServiceURL(QString::fromStdString(a[1]));
  bool signedIn = false;
  struct Waiter {
    bool* flag;
    static void On(void* d, const TNavEvent& e) {
      if (e.code == necOperationDone) *static_cast<Waiter*>(d)->flag = true;
    }
  } waiter{&signedIn};
  env->EventSource().Subscribe(&Waiter::On, &waiter);
  check->SignIn(QString::fromStdString(a[2] + ";" + a[3]), false);
  check->RequestProducts();
  while (!signedIn) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  env->EventSource().Unsubscribe(&Waiter::On, &waiter);
  if (check->LastError()) return 1;
  auto list = check->NewSelectionList();
  for (std::size_t i = 6; i < a.size(); ++i) {
    auto entry = check->NewSelectionEntry();
    const auto colon = a[i].find(':');
    entry->SetProductNumber(std::stoi(a[i].substr(0, colon)));
    entry->SetModuleMask(std::stoi(a[i].substr(colon + 1)));
    if (const ProductRecord* r = check->FindProductRecord(entry->ProductNumber(), entry->ModuleMask()))
      entry->SetKind(r->Kind());
    list->Add(std::move(entry));
  }
  QString data;
  ShlGetSpecialFolderPath(csfCommonAppData, data);
  TInstalledCharts installed(data + QStringLiteral("/Corvane/Deployer/Cache/ChartInfo.cif"));
  TNullRunProgress progress;
  TRunSettings settings;
  settings.setupType = InstallOnline;
  settings.destination = QString::fromStdString(a[4]);
  TRunResult first;
  const double online = LargestGap([&] {
    TDeployRun run(*check, &installed, progress, settings);
    run.AttachEvents(env->EventSource());
    bool done = false;
    run.RequestRun(*list);
    first = WaitForRun(run, done);
  });
  if (check->ReadBackupIndex(QString::fromStdString(a[5]) + QStringLiteral("/cvbackup.idx"))) return 1;
  check->ClearProducts();
  for (int i = 0; i < check->ItemCount(); ++i) check->AddItemProduct(check->Item(i));
  check->FinishProducts();
  settings.setupType = InstallFromBackup;
  settings.destination = QString::fromStdString(a[4]) + QStringLiteral("/again");
  settings.backupFolder = QString::fromStdString(a[5]);
  TRunResult second;
  const double restore = LargestGap([&] {
    TDeployRun run(*check, &installed, progress, settings);
    bool done = false;
    run.RunBackupInstallation();
    second = WaitForRun(run, done);
  });
  std::printf("install %d/%d largest gap %.0f ms; from a backup %d/%d largest gap %.0f ms\n", first.succeeded,
              first.selected, online, second.succeeded, second.selected, restore);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const std::vector<std::string> a(argv + 1, argv + argc);
  if (a.size() >= 5 && a[0] == "catalogue")
    return Catalogue(a[1], std::stoi(a[2]), std::stoi(a[3]), std::stoi(a[4]), a.size() > 5 ? std::stoi(a[5]) : 0);
  if (a.size() == 4 && a[0] == "zip") return Zip(a[1], std::stoi(a[2]), std::stoi(a[3]));
  if (a.size() >= 7 && a[0] == "loopgap") return LoopGap(a);
  if (a.size() == 3 && a[0] == "extract") return Extract(QString::fromStdString(a[1]), QString::fromStdString(a[2]));
  std::fprintf(stderr, "usage: bench_runs catalogue DIR COUNT MINBYTES MAXBYTES [BIGMIB] | zip FILE COUNT MIB | extract ZIP DIR\n");
  return 2;
}
