#pragma once

// Each test gets its own settings store and a folder for chart files: XDG_CONFIG_HOME and
// XDG_DATA_HOME point at fresh folders for the test's length (child processes inherit them).

#include "CvLib.h"
#include "TestEnv.h"

#include <QByteArray>
#include <QFile>

#include <gtest/gtest.h>

#include <cstdlib>

class InstalledFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    savedConfig_ = qgetenv("XDG_CONFIG_HOME");
    savedData_ = qgetenv("XDG_DATA_HOME");
    home_ = cvtest::MakeTempFolder(QStringLiteral("installed"));
    setenv("XDG_CONFIG_HOME", qPrintable(home_ + "/config"), 1);
    setenv("XDG_DATA_HOME", qPrintable(home_ + "/data"), 1);
    charts_ = home_ + "/charts/";
    cacheFile_ = home_ + "/cache/ChartInfo.cif";
  }
  void TearDown() override {
    GetAppReg().CloseConnections();
    setenv("XDG_CONFIG_HOME", savedConfig_.constData(), 1);
    setenv("XDG_DATA_HOME", savedData_.constData(), 1);
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

  QString home_;
  QString charts_;     // with a trailing '/'
  QString cacheFile_;

 private:
  QByteArray savedConfig_;
  QByteArray savedData_;
};
