#pragma once

// Each test gets its own settings store and a folder for chart files: XDG_CONFIG_HOME and
// XDG_DATA_HOME point at fresh folders for the test's length (child processes inherit them).

#include "StoreFixture.h"

#include <QByteArray>
#include <QFile>

class InstalledFixture : public StoreFixture {
 protected:
  InstalledFixture() : StoreFixture(QStringLiteral("installed")) {}

  void SetUp() override {
    StoreFixture::SetUp();
    charts_ = home_ + "/charts/";
    cacheFile_ = home_ + "/cache/ChartInfo.cif";
  }

  // A chart file below the charts folder; its full path.
  QString Chart(const QString& relative, int product, int module) {
    const QString path = charts_ + relative;
    EXPECT_EQ(WriteChartFile(path, product, module, 32), 0) << qPrintable(path);
    return path;
  }

  static void WriteBytes(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate)) << qPrintable(path);
    ASSERT_EQ(f.write(bytes), bytes.size());
  }

  QString charts_;     // with a trailing '/'
  QString cacheFile_;
};
