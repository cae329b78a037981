#include "CvAppExceptions.h"
#include "CvErrors.h"
#include "CvLib.h"
#include "CvMsgBoxPresenter.h"
#include "TestEnv.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <vector>

namespace {

QByteArray ReadFile(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QStringList Lines(const QString& path) {
  return QString::fromUtf8(ReadFile(path)).split('\n', Qt::SkipEmptyParts);
}

// Every test writes to a log of its own and puts the previous one back.
class ExceptionLog : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = GetExceptionLogFileName();
    dir_ = cvtest::MakeTempFolder(QStringLiteral("exc"));
    ASSERT_EQ(SetExceptionLogFileName(dir_ + "/start.log"), 0);
  }
  void TearDown() override {
    SetExceptionLogFileName(saved_);
    QFile::remove(saved_);
    SetMsgBoxPresenter({});
  }
  QString saved_;
  QString dir_;
};

TEST_F(ExceptionLog, DefaultLogLiesInTheTemporaryFolder) {
  EXPECT_TRUE(saved_.startsWith(QDir::tempPath() + "/"));
  EXPECT_TRUE(saved_.endsWith("-exceptions.log"));
}

TEST_F(ExceptionLog, OneLinePerException) {
  ASSERT_EQ(ReportException("EListError", "List index out of bounds (5)\r\nsecond\tline"), 0);
  ASSERT_EQ(ReportException("std::runtime_error", ""), 0);
  const QStringList lines = Lines(dir_ + "/start.log");
  ASSERT_EQ(lines.size(), 2);
  const QStringList fields = lines[0].split('\t');
  ASSERT_EQ(fields.size(), 3);
  EXPECT_TRUE(QRegularExpression(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}(Z|[+-]\d\d:\d\d)$)").match(fields[0]).hasMatch())
      << qPrintable(fields[0]);
  EXPECT_EQ(fields[1], "EListError");
  EXPECT_EQ(fields[2], "List index out of bounds (5)\\r\\nsecond\\tline");
  EXPECT_TRUE(lines[1].endsWith("\tstd::runtime_error\t"));
}

TEST_F(ExceptionLog, MovingKeepsEveryLine) {
  ReportException("E1", "before the move");
  // An earlier run's log at the new place keeps its lines; ours follow.
  QDir().mkpath(dir_ + "/data");
  QFile old(dir_ + "/data/start.log");
  ASSERT_TRUE(old.open(QIODevice::WriteOnly));
  old.write("earlier run\tE0\tkept\n");
  old.close();

  ASSERT_EQ(SetExceptionLogFileName(dir_ + "/data/start.log"), 0);
  EXPECT_EQ(GetExceptionLogFileName(), dir_ + "/data/start.log");
  EXPECT_FALSE(QFileInfo::exists(dir_ + "/start.log"));
  ReportException("E2", "after the move");
  const QStringList lines = Lines(dir_ + "/data/start.log");
  ASSERT_EQ(lines.size(), 3);
  EXPECT_TRUE(lines[0].startsWith("earlier run"));
  EXPECT_TRUE(lines[1].endsWith("E1\tbefore the move"));
  EXPECT_TRUE(lines[2].endsWith("E2\tafter the move"));

  // A place that cannot be written leaves the log where it is.
  EXPECT_NE(SetExceptionLogFileName(dir_ + "/no/such/folder/x.log"), 0);
  EXPECT_EQ(GetExceptionLogFileName(), dir_ + "/data/start.log");
  EXPECT_EQ(Lines(dir_ + "/data/start.log").size(), 3);
  EXPECT_NE(SetExceptionLogFileName(QString()), 0);
}

struct TRecorder {
  std::vector<TMsgBoxRequest> boxes;
  void Install() {
    SetMsgBoxPresenter([this](const TMsgBoxRequest& r) {
      boxes.push_back(r);
      return static_cast<int>(mrOk);
    });
  }
};

TEST_F(ExceptionLog, EventLoopExceptionsAreLoggedAndShown) {
  TRecorder recorder;
  recorder.Install();
  try {
    throw EListError(QStringLiteral("List index out of bounds (7)"));
  } catch (...) {
    HandleEventLoopException();
  }
  try {
    throw 42;
  } catch (...) {
    HandleEventLoopException();
  }
  ASSERT_EQ(recorder.boxes.size(), 2u);
  EXPECT_EQ(recorder.boxes[0].text, "List index out of bounds (7)");
  EXPECT_EQ(recorder.boxes[0].kind, mtError);
  EXPECT_EQ(recorder.boxes[0].buttons, mbOKOnly);
  EXPECT_EQ(recorder.boxes[1].text, "int");
  const QStringList lines = Lines(dir_ + "/start.log");
  ASSERT_EQ(lines.size(), 2);
  EXPECT_TRUE(lines[0].endsWith("\tEListError\tList index out of bounds (7)"));
  EXPECT_TRUE(lines[1].endsWith("\tint\t"));
}

// An exception raised while the box for an earlier one is up is logged, not shown in a
// second box; a box that itself fails does not take the program down.
TEST_F(ExceptionLog, NestedAndFailingBoxes) {
  int shown = 0;
  SetMsgBoxPresenter([&](const TMsgBoxRequest&) -> int {
    ++shown;
    try {
      throw EConvertError(QStringLiteral("inner"));
    } catch (...) {
      HandleEventLoopException();
    }
    throw std::runtime_error("box failed");
  });
  try {
    throw EStreamError(QStringLiteral("outer"));
  } catch (...) {
    HandleEventLoopException();
  }
  EXPECT_EQ(shown, 1);
  const QStringList lines = Lines(dir_ + "/start.log");
  ASSERT_EQ(lines.size(), 3);
  EXPECT_TRUE(lines[0].endsWith("\tEStreamError\touter"));
  EXPECT_TRUE(lines[1].endsWith("\tEConvertError\tinner"));
  EXPECT_TRUE(lines[2].endsWith("\tstd::runtime_error\tbox failed"));
}

}  // namespace
