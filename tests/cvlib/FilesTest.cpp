#include "CvLib.h"
#include "TestEnv.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QByteArray Pattern(qint64 size) {
  QByteArray data(size, Qt::Uninitialized);
  quint32 x = 2463534242u;
  for (qint64 i = 0; i < size; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    data[i] = static_cast<char>(x);
  }
  return data;
}

void WriteFile(const QString& path, const QByteArray& data) {
  QDir().mkpath(QFileInfo(path).path());
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  ASSERT_EQ(f.write(data), data.size());
}

QByteArray ReadFile(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Entries of a folder, hidden ones too: a copy must leave no temporary file behind.
QStringList Entries(const QString& folder) {
  return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
}

void SetModified(const QString& path, time_t seconds) {
  const struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0), 0);
}

struct TProgressLog {
  std::vector<std::pair<qint64, qint64>> calls;
  TFileCopyProgress Callback() {
    return [this](const QString&, qint64 done, qint64 total) {
      calls.emplace_back(done, total);
      return true;
    };
  }
};

void ExpectCopied(const QString& source, const QString& target, qint64 size, const TProgressLog& log) {
  EXPECT_EQ(ReadFile(target), ReadFile(source));
  int e1 = 0, e2 = 0;
  EXPECT_DOUBLE_EQ(FileGetTimeModified(target, e1), FileGetTimeModified(source, e2));
  ASSERT_FALSE(log.calls.empty());
  EXPECT_EQ(log.calls.front(), std::make_pair(qint64{0}, size));
  EXPECT_EQ(log.calls.back(), std::make_pair(size, size));
  for (size_t i = 1; i < log.calls.size(); ++i) EXPECT_GT(log.calls[i].first, log.calls[i - 1].first);
}

TEST(FileCopy, CopiesContentTimeAndReportsProgressForEverySize) {
  const QString dir = cvtest::MakeTempFolder(QStringLiteral("copy"));
  // Empty, one byte, exactly one copy chunk (8 MiB), and several chunks with a ragged end.
  for (const qint64 size : {qint64{0}, qint64{1}, qint64{8} << 20, (qint64{21} << 20) + 7}) {
    SCOPED_TRACE(size);
    const QString source = dir + QStringLiteral("/src-%1.bin").arg(size);
    const QString target = dir + QStringLiteral("/out/dst-%1.bin").arg(size);
    WriteFile(source, Pattern(size));
    SetModified(source, 1600000000);
    QDir().mkpath(dir + QStringLiteral("/out"));
    TProgressLog log;
    ASSERT_EQ(FileCopy(source, target, log.Callback()), 0);
    ExpectCopied(source, target, size, log);
    if (size <= 1) {
      EXPECT_EQ(log.calls.size(), size == 0 ? 1u : 2u);
    }
  }
  EXPECT_EQ(Entries(dir + QStringLiteral("/out")).size(), 4);
}

TEST(FileCopy, KeepsExecuteBitAndReplacesAnOlderTarget) {
  const QString dir = cvtest::MakeTempFolder(QStringLiteral("copy"));
  WriteFile(dir + "/setup", "#!/bin/sh\n");
  ::chmod(QFile::encodeName(dir + "/setup").constData(), 0755);
  WriteFile(dir + "/out/setup", "old content that is longer than the new one");
  ASSERT_EQ(FileCopy(dir + "/setup", dir + "/out/setup"), 0);
  EXPECT_EQ(ReadFile(dir + "/out/setup"), QByteArray("#!/bin/sh\n"));
  EXPECT_TRUE(QFileInfo(dir + "/out/setup").isExecutable());
  EXPECT_EQ(Entries(dir + "/out"), QStringList{"setup"});
}

// Across file systems the kernel cannot copy ranges; the buffered way must give the same.
TEST(FileCopy, CopiesAcrossFileSystems) {
  if (!QFileInfo(QStringLiteral("/dev/shm")).isWritable()) GTEST_SKIP() << "no /dev/shm";
  const QString dir = cvtest::MakeTempFolder(QStringLiteral("copy"));
  const QString shmFile = QStringLiteral("/dev/shm/cvtest-copy-%1.bin").arg(::getpid());
  WriteFile(shmFile, Pattern((qint64{10} << 20) + 3));
  TProgressLog log;
  const int error = FileCopy(shmFile, dir + "/from-shm.bin", log.Callback());
  const QByteArray expected = ReadFile(shmFile);
  QFile::remove(shmFile);
  ASSERT_EQ(error, 0);
  EXPECT_EQ(ReadFile(dir + "/from-shm.bin"), expected);
  EXPECT_EQ(log.calls.back().first, expected.size());
}

TEST(FileCopy, StoppedCopyLeavesNothingAndKeepsTheOldTarget) {
  const QString dir = cvtest::MakeTempFolder(QStringLiteral("copy"));
  WriteFile(dir + "/big.bin", Pattern(qint64{20} << 20));
  WriteFile(dir + "/out/big.bin", "previous version");

  int calls = 0;
  EXPECT_EQ(FileCopy(dir + "/big.bin", dir + "/out/big.bin",
                     [&](const QString&, qint64, qint64) { return ++calls < 2; }),
            cvlib::ceAborted);
  EXPECT_EQ(ReadFile(dir + "/out/big.bin"), QByteArray("previous version"));

  std::atomic<bool> stop{false};
  EXPECT_EQ(FileCopy(dir + "/big.bin", dir + "/out/new.bin",
                     [&](const QString&, qint64 done, qint64) {
                       if (done > 0) stop = true;
                       return true;
                     },
                     &stop),
            cvlib::ceAborted);
  EXPECT_EQ(Entries(dir + "/out"), QStringList{"big.bin"});
}

TEST(FileCopy, Errors) {
  const QString dir = cvtest::MakeTempFolder(QStringLiteral("copy"));
  WriteFile(dir + "/a.txt", "a");
  QDir().mkpath(dir + "/folder");
  EXPECT_EQ(FileCopy(dir + "/missing.txt", dir + "/b.txt"), cvlib::ceFileNotFound);
  EXPECT_EQ(FileCopy(dir + "/a.txt", dir + "/no/such/folder/b.txt"), cvlib::ceFileNotFound);
  EXPECT_EQ(FileCopy(dir + "/folder", dir + "/b.txt"), cvlib::ceFileRead);
  EXPECT_EQ(FileCopy(dir + "/a.txt", dir + "/folder"), cvlib::ceFileCreate);
  EXPECT_TRUE(QFileInfo(dir + "/folder").isDir());
  EXPECT_EQ(Entries(dir), (QStringList{"a.txt", "folder"}));
}

TEST(FindFiles, OrderAndMasks) {
  const QString dir = cvtest::MakeTempFolder(QStringLiteral("find"));
  for (const char* name : {"b.txt", "A.qmr2", "noext", ".hidden", "sub/z.TXT", "sub/deeper/y.db", "Sub2/c.qmr2",
                           "sub/a.txt"})
    WriteFile(dir + "/" + name, "x");
  // A link back up must not be followed.
  ASSERT_EQ(::symlink(QFile::encodeName(dir).constData(), QFile::encodeName(dir + "/sub/loop").constData()), 0);

  auto rel = [&](const QStringList& paths) {
    QStringList out;
    for (const QString& p : paths) out << p.mid(dir.size() + 1);
    return out;
  };
  struct TCase {
    const char* mask;
    bool recursive;
    QStringList expected;
  };
  const TCase cases[] = {
      {"*.*", true, {".hidden", "A.qmr2", "b.txt", "noext", "sub/a.txt", "sub/z.TXT", "sub/deeper/y.db", "Sub2/c.qmr2"}},
      {"*", false, {".hidden", "A.qmr2", "b.txt", "noext"}},
      {"*.qmr2", true, {"A.qmr2", "Sub2/c.qmr2"}},
      {"*.txt", true, {"b.txt", "sub/a.txt", "sub/z.TXT"}},
      {"?.txt;*.db", true, {"b.txt", "sub/a.txt", "sub/z.TXT", "sub/deeper/y.db"}},
      {"no*", true, {"noext"}},
      {"*.zip", true, {}},
      {"", true, {}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.mask);
    EXPECT_EQ(rel(FindFiles(dir, QString::fromLatin1(c.mask), c.recursive)), c.expected);
  }
  EXPECT_EQ(FindFiles(dir + "/", "*.db", true), QStringList{dir + "/sub/deeper/y.db"});
  EXPECT_TRUE(FindFiles(dir + "/missing", "*.*", true).isEmpty());
}

TEST(Folders, CreateUniqueDeleteTree) {
  const QString dir = cvtest::MakeTempFolder(QStringLiteral("dirs"));
  EXPECT_EQ(DirCreate(dir + "/a/b/c"), 0);
  EXPECT_TRUE(QFileInfo(dir + "/a/b/c").isDir());
  EXPECT_EQ(DirCreate(dir + "/a/b/c"), 0);
  WriteFile(dir + "/file", "x");
  EXPECT_EQ(DirCreate(dir + "/file"), cvlib::ceDirCreate);
  EXPECT_EQ(DirCreate(dir + "/file/below"), cvlib::ceDirCreate);
  EXPECT_EQ(DirCreate(QString()), cvlib::ceInvalidPath);

  QString first, second;
  ASSERT_EQ(_DirCreateUnique(dir + "/u", "run", first), 0);
  ASSERT_EQ(_DirCreateUnique(dir + "/u", "run", second), 0);
  EXPECT_NE(first, second);
  EXPECT_TRUE(first.endsWith('/') && QFileInfo(first).isDir() && QFileInfo(second).isDir());
  EXPECT_TRUE(first.startsWith(dir + "/u/run"));

  // Deleting a tree removes a link inside it, not what the link points to.
  WriteFile(dir + "/keep/precious.txt", "keep");
  WriteFile(dir + "/a/b/c/f.txt", "x");
  ASSERT_EQ(::symlink(QFile::encodeName(dir + "/keep").constData(), QFile::encodeName(dir + "/a/link").constData()), 0);
  EXPECT_EQ(DirDeleteTree(dir + "/a"), 0);
  EXPECT_FALSE(QFileInfo::exists(dir + "/a"));
  EXPECT_EQ(ReadFile(dir + "/keep/precious.txt"), QByteArray("keep"));
  EXPECT_EQ(DirDeleteTree(dir + "/a"), cvlib::ceFileNotFound);
  EXPECT_EQ(DirDeleteTree(dir + "/file"), cvlib::ceDirDelete);
  EXPECT_EQ(DirDeleteTree(QStringLiteral("/")), cvlib::ceInvalidPath);
  EXPECT_EQ(DirDeleteTree(QStringLiteral("//.")), cvlib::ceInvalidPath);
  EXPECT_EQ(DirDeleteTree(QString()), cvlib::ceInvalidPath);

  EXPECT_EQ(FileDelete(dir + "/file"), 0);
  EXPECT_FALSE(QFileInfo::exists(dir + "/file"));
  EXPECT_EQ(FileDelete(dir + "/file"), cvlib::ceFileNotFound);
  EXPECT_EQ(FileDelete(dir + "/keep"), cvlib::ceFileDelete);
  EXPECT_TRUE(QFileInfo(dir + "/keep").isDir());
}

TEST(Files, TimeModifiedIsDaysSince1899) {
  const QString dir = cvtest::MakeTempFolder(QStringLiteral("time"));
  WriteFile(dir + "/f", "x");
  SetModified(dir + "/f", 86400 * 3 + 43200);  // 1970-01-04 12:00 UTC
  int error = -1;
  EXPECT_DOUBLE_EQ(FileGetTimeModified(dir + "/f", error), 25569 + 3.5);
  EXPECT_EQ(error, 0);
  EXPECT_EQ(FileGetTimeModified(dir + "/missing", error), 0);
  EXPECT_EQ(error, cvlib::ceFileNotFound);
}

TEST(Files, SpecialAndTempFolders) {
  QString path;
  ASSERT_TRUE(ShlGetSpecialFolderPath(csfCommonAppData, path));
  EXPECT_EQ(path, qEnvironmentVariable("XDG_DATA_HOME"));
  ASSERT_TRUE(ShlGetSpecialFolderPath(csfProgramFiles, path));
  EXPECT_EQ(path, ::geteuid() == 0 ? QStringLiteral("/opt") : qEnvironmentVariable("HOME") + "/.local/opt");
  EXPECT_FALSE(ShlGetSpecialFolderPath(36, path));
  EXPECT_TRUE(path.isEmpty());

  const QByteArray saved = qgetenv("XDG_DATA_HOME");
  qputenv("XDG_DATA_HOME", "relative/data");  // not absolute: ignored
  ASSERT_TRUE(ShlGetSpecialFolderPath(csfCommonAppData, path));
  EXPECT_EQ(path, qEnvironmentVariable("HOME") + "/.local/share");
  qputenv("XDG_DATA_HOME", saved);

  EXPECT_EQ(_GetTempDir(), qEnvironmentVariable("TMPDIR") + "/");
  // A TMPDIR that does not exist stays the temporary folder; it never becomes "/".
  const QByteArray tmp = qgetenv("TMPDIR");
  qputenv("TMPDIR", tmp + "/missing/tmp");
  EXPECT_EQ(_GetTempDir(), QString::fromLocal8Bit(tmp) + "/missing/tmp/");
  qputenv("TMPDIR", tmp);
}

}  // namespace
