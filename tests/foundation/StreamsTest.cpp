#include "CvErrors.h"
#include "CvStreams.h"
#include "FileSizeLimit.h"
#include "TestEnv.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>

#include <sys/stat.h>

namespace {

std::string FileBytes(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return "<unreadable>";
  return file.readAll().toStdString();
}

void PutFile(const QString& path, const std::string& bytes) {
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
  ASSERT_EQ(file.write(bytes.data(), qint64(bytes.size())), qint64(bytes.size()));
}

// Runs `action` and returns the text of the EStreamError it raises ("" when none).
QString StreamError(const std::function<void()>& action) {
  try {
    action();
  } catch (const EStreamError& e) {
    return e.Message();
  }
  return {};
}

// Random reads, writes, seeks, size changes, flushes and reopenings, each checked against a
// plain string holding what the file must contain.
class StreamModelTest : public ::testing::TestWithParam<int> {};

TEST_P(StreamModelTest, AgreesWithAPlainFileByteForByte) {
  const QString path = cvtest::MakeTempFolder("stream") + "/model.bin";
  std::mt19937 random(static_cast<unsigned>(GetParam()) * 7919u);
  auto stream = std::make_unique<TBufferedFileStream>(path, GetParam(), fmCreate);
  const std::int64_t B = stream->BufferSize();
  std::string model;
  std::int64_t pos = 0;
  const auto uniform = [&random](std::int64_t low, std::int64_t high) {
    return std::uniform_int_distribution<std::int64_t>(low, high)(random);
  };
  // Counts and positions cluster around window boundaries, where the faults would be.
  const auto someCount = [&]() -> std::int64_t {
    switch (uniform(0, 4)) {
      case 0: return uniform(0, 16);
      case 1: return uniform(1, B);
      case 2: return B * uniform(1, 3) + uniform(-2, 2);
      default: return uniform(0, 3 * B);
    }
  };
  const auto someTarget = [&]() -> std::int64_t {
    const std::int64_t size = std::int64_t(model.size());
    std::int64_t t = 0;
    switch (uniform(0, 3)) {
      case 0: t = uniform(0, size); break;
      case 1: t = B * uniform(0, size / B + 1) + uniform(-1, 1); break;
      case 2: t = pos - pos % B; break;  // start of the current window
      default: t = pos - pos % B + B * uniform(-1, 1); break;
    }
    return std::clamp<std::int64_t>(t, 0, size);
  };

  for (int op = 0; op < 3000; ++op) {
    SCOPED_TRACE(op);
    const int kind = int(uniform(0, 99));
    if (kind < 35) {  // write
      std::string data(size_t(std::max<std::int64_t>(0, someCount())), '\0');
      for (char& c : data) c = char(random());
      ASSERT_EQ(stream->Write(data.data(), std::int64_t(data.size())), std::int64_t(data.size()));
      if (pos + data.size() > model.size()) model.resize(size_t(pos) + data.size());
      model.replace(size_t(pos), data.size(), data);
      pos += std::int64_t(data.size());
    } else if (kind < 65) {  // read
      const std::int64_t count = someCount();
      std::string got(size_t(count), '\0');
      const std::int64_t expected = std::min<std::int64_t>(count, std::int64_t(model.size()) - pos);
      ASSERT_EQ(stream->Read(got.data(), count), expected);
      ASSERT_EQ(got.substr(0, size_t(expected)), model.substr(size_t(pos), size_t(expected)));
      pos += expected;
    } else if (kind < 85) {  // seek, through any origin
      const std::int64_t target = someTarget();
      const int origin = int(uniform(0, 2));
      const std::int64_t offset = origin == 0 ? target : origin == 1 ? target - pos : target - std::int64_t(model.size());
      ASSERT_EQ(stream->Seek(offset, origin), target);
      pos = target;
    } else if (kind < 93) {  // set size; keep the file small by cutting more often
      const std::int64_t size = std::int64_t(model.size()) > 8 * B ? uniform(0, 4 * B) : uniform(0, std::int64_t(model.size()) + 2 * B);
      stream->SetSize(size);
      model.resize(size_t(size), '\0');
      pos = std::min(pos, size);
    } else if (kind < 97) {  // flush: the disk now holds everything
      stream->Flush();
      ASSERT_EQ(FileBytes(path), model);
    } else {  // close (explicitly or by the destructor) and open again
      if (uniform(0, 1)) stream->Close();
      stream.reset();
      ASSERT_EQ(FileBytes(path), model);
      stream = std::make_unique<TBufferedFileStream>(path, GetParam(), uniform(0, 1) ? fmOpenReadWrite : fmOpenWrite);
      pos = 0;
    }
    ASSERT_EQ(stream->Position(), pos);
    ASSERT_EQ(stream->Size(), std::int64_t(model.size()));
  }
  stream->Close();
  EXPECT_EQ(FileBytes(path), model);
}

// 1024 and 8192 as the program asks; 3000 gives a window size that is no power of two.
INSTANTIATE_TEST_SUITE_P(BufferSizes, StreamModelTest, ::testing::Values(1024, 3000, 8192));

TEST(StreamTest, BufferSizeIsRounded) {
  const QString path = cvtest::MakeTempFolder("stream") + "/size.bin";
  const std::pair<int, int> cases[] = {{-5, 1024},   {0, 1024},         {1, 1024},
                                       {1025, 2048}, {8192, 8192},      {31744, 31744},
                                       {31745, 32768}, {INT32_MAX, 32768}};
  for (const auto& [requested, used] : cases)
    EXPECT_EQ(TBufferedFileStream(path, requested, fmCreate).BufferSize(), used) << requested;
}

TEST(StreamTest, OpenModes) {
  const QString dir = cvtest::MakeTempFolder("stream");
  const QString path = dir + "/data.bin";
  PutFile(path, "old contents");

  {  // read-only: reads, refuses writes and size changes
    TBufferedFileStream stream(path, 8192, fmOpenRead);
    EXPECT_EQ(stream.Size(), 12);
    char got[4] = {};
    EXPECT_EQ(stream.Read(got, 3), 3);
    EXPECT_EQ(std::string(got), "old");
    EXPECT_EQ(StreamError([&] { stream.Write("x", 1); }), "Write failed in " + path);
    EXPECT_EQ(StreamError([&] { stream.SetSize(2); }),
              "TBufferedFileStream.SetSize: Set end of file failed in " + path);
  }
  EXPECT_EQ(FileBytes(path), "old contents");

  {  // opening keeps the contents, writing replaces in place
    TBufferedFileStream stream(path, 8192, fmOpenWrite | 0x20);  // sharing bits are ignored
    stream.Seek(4, soFromBeginning);
    stream.Write("new", 3);
    stream.Close();
    EXPECT_FALSE(stream.IsOpen());
    stream.Close();  // a second close does nothing
    EXPECT_EQ(StreamError([&] { stream.Write("x", 1); }), "Stream is closed: " + path);
  }
  EXPECT_EQ(FileBytes(path), "old newtents");

  TBufferedFileStream(path, 8192, fmCreate).Close();
  EXPECT_EQ(FileBytes(path), "");  // creating empties an existing file
}

TEST(StreamTest, OpenFailuresNameTheFullFileName) {
  const QString dir = cvtest::MakeTempFolder("stream");
  const QString missing = dir + "/missing.bin";
  ASSERT_TRUE(QDir(dir).mkdir("sub"));
  ASSERT_EQ(::mkfifo(QFile::encodeName(dir + "/fifo").constData(), 0600), 0);
  PutFile(dir + "/plain", "x");

  struct Case {
    QString name;
    unsigned mode;
    QString error;
  };
  const Case cases[] = {
      {missing, fmOpenRead, "Cannot open file " + missing},
      {dir + "/sub/../missing.bin", fmOpenReadWrite, "Cannot open file " + missing},
      {dir + "/nofolder/new.bin", fmCreate, "Cannot create file " + dir + "/nofolder/new.bin"},
      {dir + "/sub", fmOpenRead, "Cannot open file " + dir + "/sub"},
      {dir + "/sub", fmCreate, "Cannot create file " + dir + "/sub"},
      {dir + "/fifo", fmOpenRead, "Cannot open file " + dir + "/fifo"},  // and does not hang
      {dir + "/plain", 3, "Cannot open file " + dir + "/plain"},
      {"", fmOpenRead, "Cannot open file "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name.toStdString());
    EXPECT_EQ(StreamError([&] { TBufferedFileStream(c.name, 8192, c.mode); }), c.error);
  }

  // A relative name is reported in full.
  const QString previous = QDir::currentPath();
  ASSERT_TRUE(QDir::setCurrent(dir));
  const QString relative = StreamError([] { TBufferedFileStream("missing.bin", 8192, fmOpenRead); });
  QDir::setCurrent(previous);
  EXPECT_EQ(relative, "Cannot open file " + QFileInfo(missing).absoluteFilePath());
}

TEST(StreamTest, SeekAndSizeErrors) {
  const QString path = cvtest::MakeTempFolder("stream") + "/seek.bin";
  TBufferedFileStream stream(path, 1024, fmCreate);
  const std::string data(3000, 'a');
  stream.Write(data.data(), 3000);
  const QString invalidPosition = "Invalid new position in " + path;
  EXPECT_EQ(StreamError([&] { stream.Seek(3001, soFromBeginning); }), invalidPosition);
  EXPECT_EQ(StreamError([&] { stream.Seek(1, soFromEnd); }), invalidPosition);
  EXPECT_EQ(StreamError([&] { stream.Seek(-3001, soFromCurrent); }), invalidPosition);
  EXPECT_EQ(StreamError([&] { stream.Seek(INT64_MAX, soFromCurrent); }), invalidPosition);
  EXPECT_EQ(StreamError([&] { stream.Seek(0, 3); }), "TBufferedFileStream.Seek: Invalid origin.");
  EXPECT_EQ(StreamError([&] { stream.Seek(0, -1); }), "TBufferedFileStream.Seek: Invalid origin.");
  EXPECT_EQ(StreamError([&] { stream.SetSize(-1); }),
            "TBufferedFileStream.SetSize: Set end of file failed in " + path);
  EXPECT_EQ(stream.Position(), 3000);  // nothing moved
  EXPECT_EQ(stream.Seek(-3000, soFromEnd), 0);
  EXPECT_EQ(stream.Read(nullptr, -1), 0);
  EXPECT_EQ(stream.Write(nullptr, 0), 0);
  stream.Close();
  EXPECT_EQ(FileBytes(path), data);
}

TEST(StreamTest, AFileCutBehindTheStreamIsAReadError) {
  const QString path = cvtest::MakeTempFolder("stream") + "/cut.bin";
  PutFile(path, std::string(5000, 'x'));
  TBufferedFileStream stream(path, 1024, fmOpenRead);
  char buffer[100];
  ASSERT_EQ(stream.Read(buffer, 100), 100);
  ASSERT_TRUE(QFile::resize(path, 10));
  stream.Seek(2048, soFromBeginning);
  EXPECT_EQ(StreamError([&] { stream.Read(buffer, 100); }), "Read failed in " + path);
}

// A full disk, made with a file-size limit: the failure is raised where the bytes are written
// (at Close for a buffered tail), never passed over.
TEST(StreamTest, WriteFailuresAreReported) {
  const QString dir = cvtest::MakeTempFolder("stream");
  const std::string data(40000, 'd');
  const QString tail = dir + "/tail.bin";
  const QString direct = dir + "/direct.bin";
  QString tailError, directError;
  {
    cvtest::TFileSizeLimit limit(20000);
    TBufferedFileStream stream(tail, 8192, fmCreate);
    stream.Write(data.data(), 16384);  // whole windows, on disk at once
    stream.Write(data.data(), 5000);   // held in the window
    tailError = StreamError([&] { stream.Close(); });
    EXPECT_FALSE(stream.IsOpen());

    TBufferedFileStream second(direct, 8192, fmCreate);
    directError = StreamError([&] { second.Write(data.data(), 40000); });
  }
  EXPECT_EQ(tailError, "Write failed in " + tail);
  EXPECT_EQ(directError, "Write failed in " + direct);
}

}  // namespace
