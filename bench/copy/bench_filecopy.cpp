// FileCopy against cp on one large file in one run. Rounds alternate which copier goes
// first; dirty pages are flushed (untimed) before every copy so that neither pays for the
// other's write-back. Prints the median times and FileCopy speed / cp speed.
#include <CvLibNav5.h>

#include <QByteArray>
#include <QFile>
#include <QString>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

bool MakeSource(const QString& path, qint64 mib) {
  QFile f(path);
  if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
  QByteArray block(8 << 20, Qt::Uninitialized);
  quint64 x = 0x9E3779B97F4A7C15ull;
  for (qint64 written = 0; written < mib; written += 8) {
    auto* words = reinterpret_cast<quint64*>(block.data());
    for (qsizetype i = 0; i < block.size() / 8; ++i) {
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      words[i] = x;
    }
    const qint64 n = std::min<qint64>(8, mib - written) << 20;
    if (f.write(block.constData(), n) != n) return false;
  }
  return f.flush();
}

int RunCp(const QString& source, const QString& target) {
  QByteArray src = QFile::encodeName(source), dst = QFile::encodeName(target);
  char cp[] = "cp";
  char* argv[] = {cp, src.data(), dst.data(), nullptr};
  pid_t pid = -1;
  if (posix_spawnp(&pid, "cp", nullptr, nullptr, argv, environ) != 0) return -1;
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: bench_filecopy FOLDER [SIZE_MIB=1024] [ROUNDS=3]\n");
    return 2;
  }
  const QString dir = QString::fromLocal8Bit(argv[1]);
  const qint64 mib = argc > 2 ? std::atoll(argv[2]) : 1024;
  const int rounds = argc > 3 ? std::atoi(argv[3]) : 3;
  const QString source = dir + "/source.bin";
  const QString byFileCopy = dir + "/copy-filecopy.bin";
  const QString byCp = dir + "/copy-cp.bin";

  std::printf("source: %lld MiB in %s\n", static_cast<long long>(mib), qPrintable(dir));
  if (!MakeSource(source, mib)) {
    std::fprintf(stderr, "cannot write %s\n", qPrintable(source));
    return 1;
  }
  ::sync();

  std::vector<double> fileCopyTimes, cpTimes;
  qint64 progressCalls = 0;
  auto timeFileCopy = [&]() -> bool {
    QFile::remove(byFileCopy);
    ::sync();
    const auto t0 = Clock::now();
    const int error = cvlib::FileCopy(source, byFileCopy, [&](const QString&, qint64, qint64) {
      ++progressCalls;
      return true;
    });
    const double s = std::chrono::duration<double>(Clock::now() - t0).count();
    if (error) {
      std::fprintf(stderr, "FileCopy: %s\n", qPrintable(cvlib::ErrorToStr(error)));
      return false;
    }
    fileCopyTimes.push_back(s);
    std::printf("  FileCopy %7.3f s  %7.0f MiB/s\n", s, mib / s);
    return true;
  };
  auto timeCp = [&]() -> bool {
    QFile::remove(byCp);
    ::sync();
    const auto t0 = Clock::now();
    const int rc = RunCp(source, byCp);
    const double s = std::chrono::duration<double>(Clock::now() - t0).count();
    if (rc != 0) {
      std::fprintf(stderr, "cp failed (%d)\n", rc);
      return false;
    }
    cpTimes.push_back(s);
    std::printf("  cp       %7.3f s  %7.0f MiB/s\n", s, mib / s);
    return true;
  };

  bool ok = true;
  for (int r = 0; r < rounds && ok; ++r) {
    std::printf("round %d\n", r + 1);
    ok = r % 2 == 0 ? timeFileCopy() && timeCp() : timeCp() && timeFileCopy();
  }
  const bool same = ok && [&] {
    QFile a(byFileCopy), b(byCp);
    return a.size() == b.size() && a.size() == QFile(source).size();
  }();
  QFile::remove(byFileCopy);
  QFile::remove(byCp);
  QFile::remove(source);
  if (!ok || !same) return 1;

  const double fc = Median(fileCopyTimes), cp = Median(cpTimes);
  std::printf("median: FileCopy %.3f s, cp %.3f s; progress calls per copy: %lld\n", fc, cp,
              static_cast<long long>(progressCalls / rounds));
  std::printf("ratio (FileCopy speed / cp speed): %.2f\n", cp / fc);
  return 0;
}
