// Start-up load of the installed-products model beside `find DIR -type f -newer REF` over the
// same chart files, in one run. For each size (products x 10 modules x 10 charts) it records
// the store through the model's own Add operations (as chart-set installation does), writes
// every chart file with its header, then times in alternating rounds: the load with no chart
// cache file (cold), the load with the cache the previous load saved (warm), and the find.
// Every load opens the store afresh. Prints the medians, warm / find, and the cold load per
// chart at each size, whose ratio shows whether the cold load grows linearly.
#include "CvInstalledCharts.h"

#include <QDir>
#include <QFile>
#include <QString>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kModules = 10;
constexpr int kChartsPerModule = 10;

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

void PointStoreAt(const QString& home) {
  GetAppReg().CloseConnections();
  setenv("XDG_DATA_HOME", qPrintable(home + "/data"), 1);
  setenv("XDG_CONFIG_HOME", qPrintable(home + "/config"), 1);
}

// The store and the chart files of `products` products; false on any error.
bool Generate(const QString& home, int products, double& seconds) {
  PointStoreAt(home);
  const QString charts = home + "/charts/";
  const auto t0 = Clock::now();
  TInstalledCharts model(home + "/gen.cif");
  for (int p = 0; p < products; ++p) {
    const QString code = QStringLiteral("P%1").arg(p, 4, 10, QLatin1Char('0'));
    int error = 0;
    TInstalledChartProduct* product = model.AddProduct(code, "Product " + code, error);
    if (!product) {
      std::fprintf(stderr, "AddProduct %s: %s\n", qPrintable(code), qPrintable(ErrorToStr(error)));
      return false;
    }
    for (int m = 0; m < kModules; ++m) {
      const QString moduleCode = QString(QChar('A' + m));
      const QString folder = charts + "QMR2/" + code + "/" + moduleCode + "/";
      TInstalledChartModule* module = product->AddModule(moduleCode, "Module " + moduleCode, error, true, folder);
      if (!module) {
        std::fprintf(stderr, "AddModule: %s\n", qPrintable(ErrorToStr(error)));
        return false;
      }
      for (int c = 0; c < kChartsPerModule; ++c) {
        const QString name = QStringLiteral("%1 - %2 - %3.qmr2").arg(code, moduleCode).arg(c, 2, 10, QLatin1Char('0'));
        if (WriteChartFile(folder + name, 1000 + p, m, 256) != 0) {
          std::fprintf(stderr, "cannot write %s\n", qPrintable(folder + name));
          return false;
        }
        if (!module->AddChart(name, error, 45000.0 + c) || error) {
          std::fprintf(stderr, "AddChart: %s\n", qPrintable(ErrorToStr(error)));
          return false;
        }
      }
    }
  }
  seconds = Seconds(t0);
  return true;
}

// One start-up load; the number of charts whose header was readable, or -1.
int Load(const QString& cacheFile, double& seconds) {
  GetAppReg().CloseConnections();
  const auto t0 = Clock::now();
  TInstalledCharts model(cacheFile);
  seconds = Seconds(t0);
  if (model.LoadError()) return -1;
  int readable = 0;
  for (const auto& product : model.Products())
    for (const auto& module : product->Modules())
      for (const auto& chart : module->Charts()) readable += chart->InfoError() == 0;
  return readable;
}

int RunFind(const QString& dir, const QString& ref, double& seconds) {
  QByteArray d = QFile::encodeName(dir), r = QFile::encodeName(ref);
  char find[] = "find", type[] = "-type", f[] = "f", newer[] = "-newer";
  char* argv[] = {find, d.data(), type, f, newer, r.data(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  const auto t0 = Clock::now();
  pid_t pid = -1;
  const int spawned = posix_spawnp(&pid, "find", &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return -1;
  int status = 0;
  waitpid(pid, &status, 0);
  seconds = Seconds(t0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct Figures {
  int charts = 0;
  double cold = 0, warm = 0, find = 0;
};

bool Measure(const QString& home, int products, int rounds, Figures& out) {
  double generated = 0;
  if (!Generate(home, products, generated)) return false;
  const int charts = products * kModules * kChartsPerModule;
  std::printf("%d products x %d modules x %d charts = %d charts; recorded through the model in %.2f s (%.0f charts/s)\n",
              products, kModules, kChartsPerModule, charts, generated, charts / generated);
  // find reports nothing newer than the reference, yet must stat every file to know it.
  const QString ref = home + "/ref";
  QFile(ref).open(QIODevice::WriteOnly);
  ::sync();

  const QString cacheFile = home + "/ChartInfo.cif";
  std::vector<double> cold, warm, find;
  for (int r = 0; r < rounds; ++r) {
    double s = 0;
    QFile::remove(cacheFile);
    if (Load(cacheFile, s) != charts) return false;
    cold.push_back(s);
    if (Load(cacheFile, s) != charts) return false;
    warm.push_back(s);
    if (RunFind(home + "/charts", ref, s) != 0) return false;
    find.push_back(s);
    std::printf("  round %d: cold %7.1f ms  warm %7.1f ms  find %7.1f ms\n", r + 1, cold.back() * 1e3,
                warm.back() * 1e3, find.back() * 1e3);
  }
  out = {charts, Median(cold), Median(warm), Median(find)};
  std::printf("  median: cold %.1f ms, warm %.1f ms, find %.1f ms; warm / find %.2f, cold / find %.2f\n",
              out.cold * 1e3, out.warm * 1e3, out.find * 1e3, out.warm / out.find, out.cold / out.find);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: bench_charts FOLDER [PRODUCTS=200] [SMALL_PRODUCTS=50] [ROUNDS=5]\n");
    return 2;
  }
  const QString dir = QString::fromLocal8Bit(argv[1]);
  const int large = argc > 2 ? std::atoi(argv[2]) : 200;
  const int small = argc > 3 ? std::atoi(argv[3]) : 50;
  const int rounds = argc > 4 ? std::atoi(argv[4]) : 5;
  if (large < 1 || small < 1 || rounds < 1) return 2;

  Figures smallFigures, largeFigures;
  const QString smallHome = dir + QStringLiteral("/p%1").arg(small);
  const QString largeHome = dir + QStringLiteral("/p%1").arg(large);
  QDir(smallHome).removeRecursively();
  QDir(largeHome).removeRecursively();
  const bool ok = Measure(smallHome, small, rounds, smallFigures) && Measure(largeHome, large, rounds, largeFigures);
  GetAppReg().CloseConnections();
  QDir(smallHome).removeRecursively();
  QDir(largeHome).removeRecursively();
  if (!ok) {
    std::fprintf(stderr, "bench_charts: a step failed\n");
    return 1;
  }
  const double perSmall = smallFigures.cold / smallFigures.charts * 1e6;
  const double perLarge = largeFigures.cold / largeFigures.charts * 1e6;
  std::printf("cold load per chart: %.2f us at %d charts, %.2f us at %d charts (ratio %.2f; 1.00 = linear)\n",
              perSmall, smallFigures.charts, perLarge, largeFigures.charts, perLarge / perSmall);
  std::printf("warm load / find at %d charts: %.2f (goal: at most 3)\n", largeFigures.charts,
              largeFigures.warm / largeFigures.find);
  return 0;
}
