// Test main shared by every test program: a private home first, then the Qt application
// object (a QApplication on the offscreen platform for GUI tests), then the tests.
#include "TestEnv.h"

#include <gtest/gtest.h>

#ifdef CV_TEST_GUI
#include <QApplication>
using TestApp = QApplication;
#else
#include <QCoreApplication>
using TestApp = QCoreApplication;
#endif

int main(int argc, char** argv) {
  cvtest::InitTestEnvironment();
#ifdef CV_TEST_GUI
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
#endif
  TestApp app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
