// Process start to page 0 shown, with installed-products stores of PRODUCTS x 10 modules x
// 10 charts for each size asked for (by default 20,000 and 200,000 charts), beside two
// references in the same run: a stat sweep of the same chart files (find -printf of size and
// time, which must stat every file) and an empty Qt Widgets program that shows one window.
// Each round runs, alternately: the wizard with no chart cache file (first start), the wizard
// with the cache the previous start saved (every later start), the sweep, and the empty
// program. Each program is timed from its start to its window shown (it says "shown"), not to
// its end. Prints the medians and the goal: wizard <= 1.5 x the empty program, at every size.
#include "CvInstalledCharts.h"

#include <QDir>
#include <QFile>
#include <QString>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <csignal>

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

// The wizard's own data folder and cache live below home; nothing real is touched.
void PointAt(const QString& home) {
  GetAppReg().CloseConnections();
  setenv("HOME", qPrintable(home), 1);
  setenv("XDG_DATA_HOME", qPrintable(home + "/data"), 1);
  setenv("XDG_CONFIG_HOME", qPrintable(home + "/config"), 1);
  setenv("XDG_CACHE_HOME", qPrintable(home + "/cache"), 1);
  setenv("TMPDIR", qPrintable(home + "/tmp"), 1);
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  // No update server: the silent version check fails at once instead of waiting on a name.
  setenv("CORVANE_PUS_URL", "http://127.0.0.1:9/pus/pus.php", 1);
  QDir().mkpath(home + "/tmp");
}

bool Generate(const QString& home, int products) {
  const QString charts = home + "/charts/";
  // A language is kept: no first-start question.
  SetCurrentLanguage(1);
  if (RegWriteLanguage() != 0) return false;
  TInstalledCharts model(home + "/gen.cif");
  for (int p = 0; p < products; ++p) {
    const QString code = QStringLiteral("P%1").arg(p, 4, 10, QLatin1Char('0'));
    int error = 0;
    // One transaction per product: 200,000 charts one write each would take minutes.
    cvlib::TAppRegBatch batch(rrProducts);
    if (batch.Error()) return false;
    TInstalledChartProduct* product = model.AddProduct(code, "Product " + code, error);
    if (!product) return false;
    for (int m = 0; m < kModules; ++m) {
      const QString moduleCode = QString(QChar('A' + m));
      const QString folder = charts + "QMR2/" + code + "/" + moduleCode + "/";
      TInstalledChartModule* module = product->AddModule(moduleCode, "Module " + moduleCode, error, true, folder);
      if (!module) return false;
      for (int c = 0; c < kChartsPerModule; ++c) {
        const QString name = QStringLiteral("%1 - %2 - %3.qmr2").arg(code, moduleCode).arg(c, 2, 10, QLatin1Char('0'));
        if (WriteChartFile(folder + name, 1000 + p, m, 256) != 0) return false;
        if (!module->AddChart(name, error, 45000.0 + c) || error) return false;
      }
    }
    if (batch.Commit() != 0) return false;
  }
  return true;
}

// Runs a program with its output thrown away; its exit code, or -1. With untilShown the time
// ends when the program writes the line "shown" (its window is up), not when it has ended.
int Run(std::vector<QByteArray> args, double& seconds, bool untilShown = false) {
  std::vector<char*> argv;
  for (QByteArray& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  int shown[2] = {-1, -1};
  if (untilShown && ::pipe2(shown, O_CLOEXEC) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (untilShown) posix_spawn_file_actions_adddup2(&actions, shown[1], 1);
  else posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  const auto t0 = Clock::now();
  pid_t pid = -1;
  const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (untilShown) ::close(shown[1]);
  if (spawned != 0) {
    if (untilShown) ::close(shown[0]);
    return -1;
  }
  double shownAt = -1;
  if (untilShown) {
    std::string seen;
    char bytes[256];
    for (ssize_t n; seen.find("shown\n") == std::string::npos && (n = ::read(shown[0], bytes, sizeof bytes)) > 0;)
      seen.append(bytes, size_t(n));
    if (seen.find("shown\n") != std::string::npos) shownAt = Seconds(t0);
    ::close(shown[0]);
  }
  int status = 0;
  // A start that waits for a person (a question it should not ask) ends the bench, not hangs it.
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (Seconds(t0) > 120) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      std::fprintf(stderr, "%s did not end within 120 s\n", argv[0]);
      return -1;
    }
    usleep(200);
  }
  seconds = Seconds(t0);
  if (untilShown) {
    if (shownAt < 0) return -1;  // ended without showing its window
    seconds = shownAt;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// One size: the store generated, the rounds run, the medians printed; false on a failure.
bool BenchSize(const QString& bin, const QString& home, int products, int rounds) {
  QDir(home).removeRecursively();
  PointAt(home);
  const auto g0 = Clock::now();
  if (!Generate(home, products)) {
    std::fprintf(stderr, "bench_wizard_start: generating the store failed\n");
    return false;
  }
  GetAppReg().CloseConnections();
  const int charts = products * kModules * kChartsPerModule;
  std::printf("%d charts recorded in %.1f s\n", charts, Seconds(g0));
  ::sync();

  const QByteArray probe = QFile::encodeName(bin + "/bench_wizard_probe");
  const QByteArray empty = QFile::encodeName(bin + "/bench_empty_widgets");
  const QByteArray chartDir = QFile::encodeName(home + "/charts");
  const QString cache = home + "/data/Corvane/Deployer/Cache/ChartInfo.cif";
  std::vector<double> cold, warm, sweep, floor;
  for (int r = 0; r < rounds; ++r) {
    double s = 0;
    QFile::remove(cache);
    if (Run({probe}, s, true) != 0) return false;
    cold.push_back(s);
    // The model loads on after page 0 and saves the cache when the program ends.
    if (!QFile::exists(cache)) return false;
    if (Run({probe}, s, true) != 0) return false;
    warm.push_back(s);
    if (Run({"find", chartDir, "-type", "f", "-printf", "%s %T@ %p\n"}, s) != 0) return false;
    sweep.push_back(s);
    if (Run({empty}, s, true) != 0) return false;
    floor.push_back(s);
    std::printf("  round %d: first start %6.1f ms  later start %6.1f ms  find %6.1f ms  empty Qt %6.1f ms\n", r + 1,
                cold.back() * 1e3, warm.back() * 1e3, sweep.back() * 1e3, floor.back() * 1e3);
  }
  const double c = Median(cold), w = Median(warm), f = Median(sweep), e = Median(floor);
  std::printf("median at %d charts: first start %.1f ms, later start %.1f ms, find %.1f ms, empty Qt %.1f ms\n",
              charts, c * 1e3, w * 1e3, f * 1e3, e * 1e3);
  std::printf("goal 1.5 x empty Qt = %.1f ms: later start %.2f x empty Qt, first start %.2f x empty Qt\n", 1.5 * e * 1e3,
              w / e, c / e);
  GetAppReg().CloseConnections();
  QDir(home).removeRecursively();
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  if (argc < 3) {
    std::fprintf(stderr, "usage: bench_wizard_start BINDIR FOLDER [PRODUCTS=200,2000] [ROUNDS=7]\n");
    return 2;
  }
  const QString bin = QString::fromLocal8Bit(argv[1]);
  // Absolute: the store ignores relative XDG folders, and the wizard would then ask for the language.
  const QString home = QDir(QString::fromLocal8Bit(argv[2])).absoluteFilePath(QStringLiteral("home"));
  const QStringList sizes = QString::fromLocal8Bit(argc > 3 ? argv[3] : "200,2000").split(QLatin1Char(','), Qt::SkipEmptyParts);
  const int rounds = argc > 4 ? std::atoi(argv[4]) : 7;
  if (sizes.isEmpty() || rounds < 1) return 2;
  for (const QString& size : sizes) {
    const int products = size.trimmed().toInt();
    if (products < 1) return 2;
    if (!BenchSize(bin, home, products, rounds)) return 1;
  }
  return 0;
}
