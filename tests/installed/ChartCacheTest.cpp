#include "InstalledFixture.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using cvlib::ceChartBadMagic;
using cvlib::ceChartCacheWrite;
using cvlib::ceChartNotFound;
using cvlib::ceChartRead;
using cvlib::ceChartShort;
using cvlib::ceChartVersion;

constexpr std::uint32_t kVersion = 0x01020304;

class ChartCacheTest : public InstalledFixture {
 protected:
  // Rewrites a chart with other numbers but the same size and modification time: only a
  // cache that opens the file can see the change.
  static void RewriteBehindCache(const QString& path, int product, int module) {
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &st), 0);
    ASSERT_EQ(WriteChartFile(path, product, module, st.st_size - 16), 0);
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0), 0);
  }

  static int ProductOf(TQMR2ChartCache& cache, const QString& path) {
    int error = -1;
    const TQMR2ChartInfo* info = cache.GetChartInfo(path, error);
    EXPECT_EQ(error, 0);
    return info ? info->Header().ProductNumber() : -1;
  }
};

TEST_F(ChartCacheTest, ChartFilesThatGiveNoHeader) {
  QDir().mkpath(charts_ + "folder.qmr2");
  const QByteArray header = QByteArray("QMR2") + QByteArray("\x01\0\0\0\xe9\x03\0\0\x05\0\0\0", 12);
  struct Case {
    const char* name;
    QByteArray bytes;  // null: not written
    int error;
  };
  const Case cases[] = {
      {"missing.qmr2", QByteArray(), ceChartNotFound},
      {"folder.qmr2", QByteArray(), ceChartRead},
      {"empty.qmr2", QByteArray(""), ceChartShort},
      {"cut.qmr2", header.left(15), ceChartShort},
      {"magic.qmr2", QByteArray("QMR1") + header.mid(4), ceChartBadMagic},
      {"text.qmr2", QByteArray("hello"), ceChartBadMagic},
      {"version.qmr2", QByteArray("QMR2\x02\0\0\0", 8) + header.mid(8), ceChartVersion},
      {"good.qmr2", header + "data", 0},
  };
  auto cache = QMR2ChartCacheCreate(cacheFile_, kVersion);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const QString path = charts_ + c.name;
    if (!c.bytes.isNull()) WriteBytes(path, c.bytes);
    int error = -1;
    const TQMR2ChartInfo* info = cache->GetChartInfo(path, error);
    EXPECT_EQ(error, c.error);
    if (c.error) {
      EXPECT_EQ(info, nullptr);
      EXPECT_FALSE(ErrorToStr(error).startsWith("Unknown"));
    } else {
      ASSERT_NE(info, nullptr);
      EXPECT_EQ(info->Header().ProductNumber(), 1001);
      EXPECT_EQ(info->Header().ModuleNumber(), 5);
      EXPECT_EQ(info->FileName(), path);
    }
  }
  int error = -1;
  EXPECT_EQ(cache->GetChartInfo("", error), nullptr);
  EXPECT_EQ(error, ceChartNotFound);

  // A FIFO in a chart's place must not hang the load.
  const QString fifo = charts_ + "fifo.qmr2";
  ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
  EXPECT_EQ(cache->GetChartInfo(fifo, error), nullptr);
  EXPECT_EQ(error, ceChartRead);
}

TEST_F(ChartCacheTest, UnchangedFilesComeFromTheCacheFile) {
  const QString a = Chart("a.qmr2", 1001, 1);
  const QString b = Chart("b.qmr2", 1002, 2);
  {
    auto cache = QMR2ChartCacheCreate(cacheFile_, kVersion);
    EXPECT_EQ(ProductOf(*cache, a), 1001);
    EXPECT_EQ(ProductOf(*cache, b), 1002);
    ASSERT_EQ(cache->SaveCache(), 0);
  }
  RewriteBehindCache(a, 2001, 1);
  RewriteBehindCache(b, 2002, 2);
  // b changes in a way stat sees: a new modification time.
  const struct timespec times[2] = {{0, UTIME_OMIT}, {1600000000, 123456789}};
  ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(b).constData(), times, 0), 0);

  auto cache = QMR2ChartCacheCreate(cacheFile_, kVersion);
  EXPECT_EQ(ProductOf(*cache, a), 1001);  // size and time unchanged: the file is not opened
  EXPECT_EQ(ProductOf(*cache, b), 2002);

  // Another program version does not trust the file.
  auto other = QMR2ChartCacheCreate(cacheFile_, kVersion + 1);
  EXPECT_EQ(ProductOf(*other, a), 2001);
}

TEST_F(ChartCacheTest, DamagedCacheFilesCountAsEmptyAndAreRewritten) {
  const QString a = Chart("a.qmr2", 1001, 1);
  {
    auto cache = QMR2ChartCacheCreate(cacheFile_, kVersion);
    ProductOf(*cache, a);
    ASSERT_EQ(cache->SaveCache(), 0);
  }
  QFile f(cacheFile_);
  ASSERT_TRUE(f.open(QIODevice::ReadOnly));
  const QByteArray good = f.readAll();
  f.close();
  RewriteBehindCache(a, 2001, 1);

  QByteArray flipped = good;
  flipped[good.size() / 2] = static_cast<char>(flipped[good.size() / 2] ^ 0x40);
  QByteArray badCount = good;
  badCount[12] = '\x7f';
  struct Case {
    const char* what;
    QByteArray bytes;  // null: no file
  };
  const Case cases[] = {
      {"missing", QByteArray()},
      {"empty", QByteArray("")},
      {"truncated header", good.left(10)},
      {"truncated entry", good.left(good.size() - 20)},
      {"without checksum", good.left(good.size() - 8)},
      {"flipped byte", flipped},
      {"wrong count", badCount},
      {"foreign", QByteArray("SQLite format 3").append(200, '\0')},
      {"longer", good + "x"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    QFile::remove(cacheFile_);
    if (!c.bytes.isNull()) WriteBytes(cacheFile_, c.bytes);
    {
      auto cache = QMR2ChartCacheCreate(cacheFile_, kVersion);
      EXPECT_EQ(ProductOf(*cache, a), 2001);  // read from the chart itself
      ASSERT_EQ(cache->SaveCache(), 0);
    }
    // The rewritten file is trusted again.
    RewriteBehindCache(a, 3001, 1);
    auto cache = QMR2ChartCacheCreate(cacheFile_, kVersion);
    EXPECT_EQ(ProductOf(*cache, a), 2001);
    RewriteBehindCache(a, 2001, 1);
  }
}

TEST_F(ChartCacheTest, InformationStaysAtItsAddressAndFollowsTheFile) {
  const QString a = Chart("a.qmr2", 1001, 1);
  auto cache = QMR2ChartCacheCreate(cacheFile_, kVersion);
  int error = -1;
  const TQMR2ChartInfo* first = cache->GetChartInfo(a, error);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(cache->GetChartInfo(a, error), first);

  ASSERT_EQ(WriteChartFile(a, 1001, 7, 100), 0);  // another size
  EXPECT_EQ(cache->GetChartInfo(a, error), first);
  EXPECT_EQ(first->Header().ModuleNumber(), 7);

  struct stat before {};
  ASSERT_EQ(::stat(QFile::encodeName(a).constData(), &before), 0);
  ASSERT_TRUE(QFile::remove(a));
  EXPECT_EQ(cache->GetChartInfo(a, error), nullptr);
  EXPECT_EQ(error, ceChartNotFound);
  ASSERT_EQ(cache->SaveCache(), 0);

  // The vanished chart is no longer in the file: a chart of the same size and time in its
  // place is read afresh.
  ASSERT_EQ(WriteChartFile(a, 4001, 7, 100), 0);
  const struct timespec times[2] = {before.st_atim, before.st_mtim};
  ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(a).constData(), times, 0), 0);
  auto next = QMR2ChartCacheCreate(cacheFile_, kVersion);
  EXPECT_EQ(ProductOf(*next, a), 4001);
}

TEST_F(ChartCacheTest, APipeOrALinkAtTheCachePathIsReplacedNeverUsed) {
  const QString a = Chart("a.qmr2", 1001, 1);
  const QString outside = home_ + "/precious";
  WriteBytes(outside, "precious");
  ASSERT_TRUE(QDir().mkpath(QFileInfo(cacheFile_).path()));
  auto read = [](const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
  };
  struct Case {
    const char* what;
    std::function<void()> plant;
  } cases[] = {
      {"pipe", [&] { ASSERT_EQ(::mkfifo(QFile::encodeName(cacheFile_).constData(), 0600), 0); }},
      {"link", [&] { ASSERT_TRUE(QFile::link(outside, cacheFile_)); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    QFile::remove(cacheFile_);
    c.plant();
    // Opening the cache must not wait for a writer to the pipe.
    auto opened = std::async(std::launch::async, [&] { return QMR2ChartCacheCreate(cacheFile_, kVersion); });
    if (opened.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
      ADD_FAILURE() << "start-up hangs on the cache path";
      const int unblock = ::open(QFile::encodeName(cacheFile_).constData(), O_WRONLY | O_NONBLOCK);
      if (unblock >= 0) ::close(unblock);
    }
    auto cache = opened.get();
    EXPECT_EQ(ProductOf(*cache, a), 1001);
    EXPECT_EQ(cache->SaveCache(), 0);
    EXPECT_TRUE(QFileInfo(cacheFile_).isFile());
    EXPECT_FALSE(QFileInfo(cacheFile_).isSymLink());
    EXPECT_EQ(read(outside), "precious");
    EXPECT_EQ(ProductOf(*QMR2ChartCacheCreate(cacheFile_, kVersion), a), 1001);
  }
}

// Many charts at once (on several threads, each folder opened once) must give exactly what one
// call after the other gives: the same answers in the same order and the same cache file, with
// files missing, unreadable, odd or named twice among them, before and after the files change.
TEST_F(ChartCacheTest, ManyAtOnceGiveWhatOneAfterTheOtherGives) {
  std::vector<QString> paths;
  for (int folder = 0; folder < 10; ++folder) {
    for (int c = 0; c < 50; ++c)
      paths.push_back(Chart(QStringLiteral("f%1/c%2.qmr2").arg(folder).arg(c), 1000 + folder, c % 64));
  }
  for (int c = 0; c < 5; ++c) paths.push_back(Chart(QStringLiteral("\u00fcn\u00ef/c%1.qmr2").arg(c), 7, c));
  const QString odd = charts_ + "odd/";
  QDir().mkpath(odd + "dir.qmr2");
  WriteBytes(odd + "short.qmr2", "QMR2\1\0");
  WriteBytes(odd + "magic.qmr2", QByteArray("QMR1").append(12, '\0'));
  WriteBytes(odd + "version.qmr2", QByteArray("QMR2\2", 5).append(11, '\0'));
  ASSERT_EQ(::mkfifo(QFile::encodeName(odd + "fifo.qmr2").constData(), 0600), 0);
  ASSERT_TRUE(QFile::link(paths[3], odd + "link.qmr2"));
  ASSERT_TRUE(QFile::link(odd + "fifo.qmr2", odd + "fifolink.qmr2"));
  ASSERT_TRUE(QFile::link(odd + "nowhere", odd + "dangling.qmr2"));
  WriteBytes(charts_ + "plain", "x");
  const QStringList oddOnes = {odd + "dir.qmr2", odd + "short.qmr2", odd + "magic.qmr2", odd + "version.qmr2",
                               odd + "fifo.qmr2", odd + "link.qmr2", odd + "fifolink.qmr2", odd + "dangling.qmr2",
                               odd + "missing.qmr2", charts_ + "nofolder/c.qmr2", charts_ + "plain/c.qmr2",
                               charts_ + "f1/", QString(), "bare.qmr2", paths[51] + QChar(0) + "x",
                               paths[7], paths[7], odd + "missing.qmr2"};
  // A NUL ends the name where the system sees it: no file has that name, even when the part
  // before the NUL names one.
  {
    int error = -1;
    EXPECT_EQ(QMR2ChartCacheCreate(cacheFile_, kVersion)->GetChartInfo(paths[51] + QChar(0) + "x", error), nullptr);
    EXPECT_EQ(error, ceChartNotFound);
  }
  // Odd ones spread among the good ones, so that the threads keep changing folders.
  for (qsizetype i = 0; i < oddOnes.size(); ++i)
    paths.insert(paths.begin() + static_cast<std::ptrdiff_t>(i * 29 % paths.size()), oddOnes[i]);

  // The cache file's entries, in an order of their own.
  auto entries = [](const QString& file) {
    QFile f(file);
    EXPECT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray bytes = f.readAll();
    std::vector<std::pair<QByteArray, QByteArray>> list;  // path, the rest of the entry
    for (qsizetype pos = 16; pos < bytes.size() - 8;) {
      quint32 size = 0;
      std::memcpy(&size, bytes.constData() + pos, 4);
      list.emplace_back(bytes.mid(pos + 4, size), bytes.mid(pos + 4 + size, 28));
      pos += 4 + size + 28;
    }
    std::sort(list.begin(), list.end());
    return list;
  };
  const QString batchFile = home_ + "/cache/batch.cif";
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round == 0 ? "no cache file" : "with the cache files");
    auto batch = QMR2ChartCacheCreate(batchFile, kVersion);
    auto single = QMR2ChartCacheCreate(cacheFile_, kVersion);
    std::vector<TQMR2ChartInfo*> infos;
    std::vector<int> errors;
    batch->GetChartInfos(paths, infos, errors);
    ASSERT_EQ(infos.size(), paths.size());
    ASSERT_EQ(errors.size(), paths.size());
    int good = 0;
    for (std::size_t i = 0; i < paths.size(); ++i) {
      SCOPED_TRACE(qPrintable(paths[i]));
      int error = -1;
      const TQMR2ChartInfo* info = single->GetChartInfo(paths[i], error);
      EXPECT_EQ(errors[i], error);
      ASSERT_EQ(infos[i] == nullptr, info == nullptr);
      if (!info) continue;
      ++good;
      EXPECT_EQ(infos[i]->FileName(), info->FileName());
      EXPECT_EQ(infos[i]->Header().ProductNumber(), info->Header().ProductNumber());
      EXPECT_EQ(infos[i]->Header().ModuleNumber(), info->Header().ModuleNumber());
      EXPECT_EQ(infos[i]->FileSize(), info->FileSize());
      EXPECT_EQ(infos[i]->ModifiedNs(), info->ModifiedNs());
    }
    // The answers themselves: the good charts, the link to one and the name given twice.
    EXPECT_EQ(good, round == 0 ? 508 : 506);
    ASSERT_EQ(batch->SaveCache(), 0);
    ASSERT_EQ(single->SaveCache(), 0);
    EXPECT_EQ(entries(batchFile), entries(cacheFile_));

    if (round == 0) {
      // A chart changed with a new time, one changed behind the cache, one gone, one a FIFO.
      ASSERT_EQ(WriteChartFile(paths[40], 9001, 1, 10), 0);
      RewriteBehindCache(paths[41], 9002, 2);
      ASSERT_TRUE(QFile::remove(paths[42]));
      ASSERT_TRUE(QFile::remove(paths[43]));
      ASSERT_EQ(::mkfifo(QFile::encodeName(paths[43]).constData(), 0600), 0);
    }
  }
}

TEST_F(ChartCacheTest, SaveFailsWhereNoFileCanBe) {
  const QString a = Chart("a.qmr2", 1001, 1);
  WriteBytes(home_ + "/plainfile", "x");
  auto cache = QMR2ChartCacheCreate(home_ + "/plainfile/ChartInfo.cif", kVersion);
  ProductOf(*cache, a);
  EXPECT_EQ(cache->SaveCache(), ceChartCacheWrite);
  EXPECT_FALSE(ErrorToStr(ceChartCacheWrite).startsWith("Unknown"));
}

}  // namespace
