// cv_store_writer ROOT KEY PREFIX COUNT
// Writes the integer values PREFIX0 = 0, PREFIX1 = 1, ... into KEY, each in its own
// transaction, and prints each number once its write has returned (committed). COUNT 0 writes
// until killed. Exit 0 when done, 3 at the first failed write.
#include "CvLibNav5.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const QStringList args = app.arguments();
  if (args.size() != 5) {
    std::fprintf(stderr, "usage: cv_store_writer ROOT KEY PREFIX COUNT\n");
    return 2;
  }
  const int root = args[1].toInt();
  const QString& key = args[2];
  const QString& prefix = args[3];
  const qint64 count = args[4].toLongLong();
  cvlib::TAppReg& reg = cvlib::GetAppReg();
  for (qint64 i = 0; count == 0 || i < count; ++i) {
    const int error = reg.WriteInteger(root, key, prefix + QString::number(i), i);
    if (error) {
      std::fprintf(stderr, "write %lld: %s\n", static_cast<long long>(i),
                   qPrintable(cvlib::ErrorToStr(error)));
      return 3;
    }
    std::printf("%lld\n", static_cast<long long>(i));
    std::fflush(stdout);
  }
  return 0;
}
