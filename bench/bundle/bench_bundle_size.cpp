// Makes the installer's copy from BINDIR into FOLDER as a backup does, and prints its size
// part by part (program, support library, ICU, Qt, other libraries, each plug-in folder) with
// the goal: at most 45 MB in all, and how long making it took.
#include "CvProgramBundle.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QMap>

#include <cstdio>

using namespace cvruns;

namespace {

QString PartOf(const QString& target) {
  const QString name = QFileInfo(target).fileName();
  if (!target.contains(u'/')) return name;
  if (target.contains(QStringLiteral("/plugins/"))) return QStringLiteral("plug-ins ") + target.section(u'/', 2, 2);
  if (name.startsWith(QStringLiteral("libicu"))) return QStringLiteral("ICU");
  if (name.startsWith(QStringLiteral("libQt6"))) return QStringLiteral("Qt libraries");
  return QStringLiteral("other libraries");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: bench_bundle_size BINDIR FOLDER\n");
    return 2;
  }
  const QString bin = QString::fromLocal8Bit(argv[1]);
  const QString folder = QString::fromLocal8Bit(argv[2]);
  QDir(folder).removeRecursively();
  if (!QDir().mkpath(folder)) return 1;
  QElapsedTimer timer;
  timer.start();
  TProgramBundle bundle;
  QString error;
  if (PlanProgramBundle(bin, bundle, error) != 0) {
    std::fprintf(stderr, "planning failed: %s\n", qPrintable(error));
    return 1;
  }
  if (CopyProgramBundle(bundle, folder, error) != 0) {
    std::fprintf(stderr, "copying failed: %s\n", qPrintable(error));
    return 1;
  }
  const qint64 ms = timer.elapsed();
  QMap<QString, QPair<qint64, int>> parts;
  qint64 total = 0, sources = 0;
  for (const TBundleFile& f : bundle.files) {
    const qint64 size = QFileInfo(folder + u'/' + f.target).size();
    auto& part = parts[PartOf(f.target)];
    part.first += size;
    ++part.second;
    total += size;
    sources += QFileInfo(f.source).size();
  }
  for (auto it = parts.cbegin(); it != parts.cend(); ++it)
    std::printf("  %-44s %7.1f MB in %d files\n", qPrintable(it.key()), it.value().first / 1e6, it.value().second);
  std::printf("copy: %.1f MB in %lld files (their sources: %.1f MB), made in %lld ms\n", total / 1e6,
              static_cast<long long>(bundle.files.size()), sources / 1e6, static_cast<long long>(ms));
  std::printf("goal at most 45 MB: %s\n", total <= 45'000'000 ? "met" : "not met");
  QDir(folder).removeRecursively();
  return 0;
}
