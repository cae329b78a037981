#pragma once

// Gives each test a settings store of its own: XDG_CONFIG_HOME and XDG_DATA_HOME point at
// fresh folders for the test's length (child processes inherit them), then are put back.
// Header only: the test programs that use it link the support library themselves.

#include "CvLib.h"
#include "TestEnv.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <utility>

class StoreFixture : public ::testing::Test {
 protected:
  // hint names the test's folder below the test home.
  explicit StoreFixture(QString hint = QStringLiteral("store")) : hint_(std::move(hint)) {}

  void SetUp() override {
    savedConfig_ = qgetenv("XDG_CONFIG_HOME");
    savedData_ = qgetenv("XDG_DATA_HOME");
    home_ = cvtest::MakeTempFolder(hint_);
    setenv("XDG_CONFIG_HOME", qPrintable(home_ + "/config"), 1);
    setenv("XDG_DATA_HOME", qPrintable(home_ + "/data"), 1);
  }
  void TearDown() override {
    GetAppReg().CloseConnections();
    setenv("XDG_CONFIG_HOME", savedConfig_.constData(), 1);
    setenv("XDG_DATA_HOME", savedData_.constData(), 1);
  }

  QString home_;

 private:
  QString hint_;
  QByteArray savedConfig_;
  QByteArray savedData_;
};
