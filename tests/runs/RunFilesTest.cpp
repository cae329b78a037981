// The file work of the runs: the checked copy, the currency test, the private setups folder
// and the add-on archive extraction, on files made in a temporary folder.
#include "CvLib.h"
#include "CvRunFiles.h"
#include "CvZipExtract.h"
#include "IntegrationFixture.h"
#include "TestEnv.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>
#include <xxhash.h>
#include <zip.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace cvruns;
using cvtest::MakeTempFolder;

namespace {

void Write(const QString& path, const QByteArray& data) {
  QDir().mkpath(QFileInfo(path).path());
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write(data);
}

QByteArray Read(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QString Sha(const QString& path) { return QString::fromLatin1(cvtest::Sha256OfFile(path)); }

QString Xxh3(const QByteArray& data) {
  return QStringLiteral("%1").arg(XXH3_64bits(data.constData(), static_cast<size_t>(data.size())), 16, 16, QLatin1Char('0'));
}

// Leftovers of a copy: hidden temporary files beside the target.
QStringList Hidden(const QString& folder) {
  return QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System).filter(QStringLiteral(".cvrun-"));
}

}  // namespace

TEST(CopyChecked, CopiesChecksAndSetsTheFileTime) {
  const QString dir = MakeTempFolder();
  Write(dir + "/src/a.qmr2", QByteArray(3'000'000, 'x'));
  const QString sha = Sha(dir + "/src/a.qmr2");
  QDir().mkpath(dir + "/dst");
  int calls = 0;
  ASSERT_EQ(CopyChecked(dir + "/src/a.qmr2", dir + "/dst/a.qmr2", 3'000'000, sha, 1600000000,
                        [&](const QString&, qint64, qint64) { return ++calls > 0; }),
            0);
  EXPECT_EQ(Sha(dir + "/dst/a.qmr2"), sha);
  EXPECT_EQ(QFileInfo(dir + "/dst/a.qmr2").lastModified().toSecsSinceEpoch(), 1600000000);
  EXPECT_GE(calls, 2);
  EXPECT_TRUE(Hidden(dir + "/dst").isEmpty());
}

TEST(CopyChecked, AWrongFileLeavesNothingAndKeepsTheOldTarget) {
  const QString dir = MakeTempFolder();
  Write(dir + "/good", "the right content");
  Write(dir + "/swapped", "the wrong content");  // same size, other bytes
  Write(dir + "/short", "short");
  Write(dir + "/dst/file", "installed before");
  const QString sha = Sha(dir + "/good");
  EXPECT_EQ(CopyChecked(dir + "/swapped", dir + "/dst/file", 17, sha, 0), cvlib::ceChkChecksum);
  EXPECT_EQ(CopyChecked(dir + "/short", dir + "/dst/file", 17, sha, 0), cvlib::ceChkChecksum);
  EXPECT_EQ(CopyChecked(dir + "/missing", dir + "/dst/file", 17, sha, 0), cvlib::ceFileNotFound);
  EXPECT_EQ(Read(dir + "/dst/file"), "installed before");
  EXPECT_TRUE(Hidden(dir + "/dst").isEmpty());
  // Stopped half way: no half file under the name.
  EXPECT_EQ(CopyChecked(dir + "/good", dir + "/dst/new", 17, sha, 0, [](const QString&, qint64, qint64) { return false; }),
            cvlib::ceAborted);
  EXPECT_FALSE(QFile::exists(dir + "/dst/new"));
  EXPECT_TRUE(Hidden(dir + "/dst").isEmpty());
}

// Without a checksum the kernel copies: every size comes out whole, with the file's time.
TEST(CopyChecked, WithoutAChecksumEverySizeComesOutWhole) {
  const QString dir = MakeTempFolder();
  QDir().mkpath(dir + "/dst");
  for (const int size : {0, 1, 4097, 3'000'001}) {
    QByteArray data(size, '\0');
    for (int i = 0; i < size; ++i) data[i] = static_cast<char>(i * 7 + i / 4096);
    const QString name = QString::number(size);
    Write(dir + "/src/" + name, data);
    ASSERT_EQ(CopyChecked(dir + "/src/" + name, dir + "/dst/" + name, -1, QString(), 1600000000), 0) << size;
    EXPECT_EQ(Read(dir + "/dst/" + name), data) << size;
    EXPECT_EQ(QFileInfo(dir + "/dst/" + name).lastModified().toSecsSinceEpoch(), 1600000000) << size;
  }
  EXPECT_TRUE(Hidden(dir + "/dst").isEmpty());
}

TEST(CopyChecked, NeverThroughALink) {
  const QString dir = MakeTempFolder();
  Write(dir + "/outside", "keep me");
  Write(dir + "/src", "new data");
  QDir().mkpath(dir + "/dst");
  ASSERT_EQ(::symlink(qPrintable(dir + "/outside"), qPrintable(dir + "/dst/file")), 0);
  ASSERT_EQ(CopyChecked(dir + "/src", dir + "/dst/file", -1, QString(), 0), 0);
  EXPECT_EQ(Read(dir + "/outside"), "keep me");
  EXPECT_FALSE(QFileInfo(dir + "/dst/file").isSymLink());
  EXPECT_EQ(Read(dir + "/dst/file"), "new data");
  // A backup's file that is a link is not read.
  ASSERT_EQ(::symlink(qPrintable(dir + "/outside"), qPrintable(dir + "/linked")), 0);
  EXPECT_EQ(CopyChecked(dir + "/linked", dir + "/dst/other", -1, QString(), 0), cvlib::ceFileRead);
}

// Installing from a backup checks by XXH3 where the index has it: one byte off anywhere (the
// last chunk of a large file too) fails the copy, whether it would have replaced a file or
// made a new one, and nothing half-written stays under the name.
TEST(CopyChecked, ByXxh3OneWrongByteFailsAndLeavesNothing) {
  const QString dir = MakeTempFolder();
  QByteArray big(17 * 1024 * 1024 + 3, '\0');  // read ahead on a thread of its own
  for (int i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + (i >> 12));
  const QByteArray small = "a small chart of a few bytes";
  for (const QByteArray& content : {big, small}) {
    SCOPED_TRACE(content.size());
    const QString xxh3 = Xxh3(content);
    for (qsizetype at : {qsizetype{0}, content.size() - 1}) {
      QByteArray bad = content;
      bad[at] = static_cast<char>(bad[at] ^ 0x01);
      Write(dir + "/bad", bad);
      Write(dir + "/dst/old", "installed before");
      for (bool newInPlace : {false, true}) {
        TCopyCheck check;
        check.size = content.size();
        check.xxh3 = xxh3;
        check.newInPlace = newInPlace;
        EXPECT_EQ(CopyChecked(dir + "/bad", dir + "/dst/new", check), cvlib::ceChkChecksum);
        EXPECT_EQ(CopyChecked(dir + "/bad", dir + "/dst/old", check), cvlib::ceChkChecksum);
        EXPECT_FALSE(QFile::exists(dir + "/dst/new"));
        EXPECT_EQ(Read(dir + "/dst/old"), "installed before");
        EXPECT_TRUE(Hidden(dir + "/dst").isEmpty());
      }
    }
    // The right content passes, in place or replacing, and hands back its first bytes.
    Write(dir + "/good", content);
    TCopyCheck check;
    check.size = content.size();
    check.xxh3 = xxh3;
    check.sha256 = QString(64, u'0');  // not looked at when the XXH3 is known
    check.newInPlace = true;
    QByteArray head;
    ASSERT_EQ(CopyChecked(dir + "/good", dir + "/dst/new", check, {}, nullptr, &head), 0);
    EXPECT_EQ(head, content.left(kCopyHeadBytes));
    ASSERT_EQ(CopyChecked(dir + "/good", dir + "/dst/old", check), 0);
    EXPECT_EQ(Read(dir + "/dst/new"), content);
    EXPECT_EQ(Read(dir + "/dst/old"), content);
    QFile::remove(dir + "/dst/new");
    // Stopped after its first chunk (the small one when done): nothing of it stays.
    EXPECT_EQ(CopyChecked(dir + "/good", dir + "/dst/new", check, [](const QString&, qint64 done, qint64) { return done == 0; }),
              cvlib::ceAborted);
    EXPECT_FALSE(QFile::exists(dir + "/dst/new"));
  }
  // Without an XXH3 (an older backup) the SHA-256 still catches it.
  Write(dir + "/bad", "the wrong content");
  Write(dir + "/good", "the right content");
  TCopyCheck bySha;
  bySha.size = 17;
  bySha.sha256 = Sha(dir + "/good");
  bySha.newInPlace = true;
  EXPECT_EQ(CopyChecked(dir + "/bad", dir + "/dst/new", bySha), cvlib::ceChkChecksum);
  EXPECT_FALSE(QFile::exists(dir + "/dst/new"));
  EXPECT_EQ(CopyChecked(dir + "/good", dir + "/dst/new", bySha), 0);
}

// A backup on another file system (a stick): the kernel cannot copy the range there, and the
// plain copy checks the same.
TEST(CopyChecked, ALargeFileFromAnotherFileSystemIsCheckedToo) {
  if (!QFileInfo(QStringLiteral("/dev/shm")).isWritable()) GTEST_SKIP() << "no /dev/shm";
  const QString dir = MakeTempFolder();
  const QString source = QStringLiteral("/dev/shm/cvtest-run-copy-%1").arg(::getpid());
  QByteArray content(17 * 1024 * 1024, 'c');
  content[5 * 1024 * 1024] = 'x';
  Write(source, content);
  TCopyCheck check;
  check.size = content.size();
  check.xxh3 = Xxh3(content);
  check.newInPlace = true;
  QByteArray head;
  EXPECT_EQ(CopyChecked(source, dir + "/copy", check, {}, nullptr, &head), 0);
  EXPECT_EQ(Read(dir + "/copy"), content);
  EXPECT_EQ(head, content.left(kCopyHeadBytes));
  content[5 * 1024 * 1024] = 'y';
  Write(source, content);
  EXPECT_EQ(CopyChecked(source, dir + "/bad", check), cvlib::ceChkChecksum);
  EXPECT_FALSE(QFile::exists(dir + "/bad"));
  QFile::remove(source);
}

// A FIFO in a backup is refused at once, never waited on for a writer; a link in a new file's
// place is replaced, not written through.
TEST(CopyChecked, AFifoIsNotReadAndANewFileNeverGoesThroughALink) {
  const QString dir = MakeTempFolder();
  QDir().mkpath(dir + "/dst");
  ASSERT_EQ(::mkfifo(qPrintable(dir + "/fifo"), 0600), 0);
  TCopyCheck check;
  check.newInPlace = true;
  EXPECT_EQ(CopyChecked(dir + "/fifo", dir + "/dst/fifo", check), cvlib::ceFileRead);
  EXPECT_FALSE(QFile::exists(dir + "/dst/fifo"));
  Write(dir + "/src", "new data");
  ASSERT_EQ(::symlink(qPrintable(dir + "/elsewhere"), qPrintable(dir + "/dst/file")), 0);  // dangling
  ASSERT_EQ(CopyChecked(dir + "/src", dir + "/dst/file", check), 0);
  EXPECT_FALSE(QFile::exists(dir + "/elsewhere"));
  EXPECT_FALSE(QFileInfo(dir + "/dst/file").isSymLink());
  EXPECT_EQ(Read(dir + "/dst/file"), "new data");
}

TEST(IsFileCurrent, TimeSizeAndContent) {
  const QString dir = MakeTempFolder();
  const QString f = dir + "/chart.qmr2";
  Write(f, "0123456789");
  const QString sha = Sha(f);
  QFile file(f);
  ASSERT_TRUE(file.open(QIODevice::ReadWrite));
  file.setFileTime(QDateTime::fromSecsSinceEpoch(1600000000), QFileDevice::FileModificationTime);
  file.close();
  EXPECT_TRUE(IsFileCurrent(f, 10, 1600000000, sha));
  EXPECT_FALSE(IsFileCurrent(f, 10, 1600000002, sha)) << "older than the server's copy";
  // One second below the listed time is a 2-second medium's rounding (vfat): the content decides.
  EXPECT_TRUE(IsFileCurrent(f, 10, 1600000001, sha));
  EXPECT_FALSE(IsFileCurrent(f, 10, 1600000001, QString(64, 'a'))) << "within the step, other content";
  EXPECT_FALSE(IsFileCurrent(f, 10, 1600000001, QString())) << "within the step, nothing to check by";
  EXPECT_FALSE(IsFileCurrent(f, 11, 1600000000, sha)) << "another size";
  EXPECT_FALSE(IsFileCurrent(dir + "/none", 10, 1600000000, sha));
  // Written after it arrived: newer and current while the content matches, fetched again
  // when it was damaged.
  Write(f, "0123456789");
  EXPECT_TRUE(IsFileCurrent(f, 10, 1600000000, sha));
  Write(f, "0123456X89");
  EXPECT_FALSE(IsFileCurrent(f, 10, 1600000000, sha));
  EXPECT_TRUE(IsFileCurrent(f, 10, 1600000000, QString())) << "without a checksum the time decides";
  // A download not yet settled (the listed second and a nanosecond) is checked by its content.
  const struct timespec unsettled[2] = {{0, UTIME_OMIT}, {1600000000, 1}};
  ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(f).constData(), unsettled, 0), 0);
  EXPECT_FALSE(IsFileCurrent(f, 10, 1600000000, sha));
  Write(f, "0123456789");
  ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(f).constData(), unsettled, 0), 0);
  EXPECT_TRUE(IsFileCurrent(f, 10, 1600000000, sha));
}

TEST(PrivateSetupsFolder, OwnFolderModeSevenHundred) {
  const QString cache = MakeTempFolder("cache");
  qputenv("XDG_CACHE_HOME", cache.toUtf8());
  QString folder;
  ASSERT_EQ(PrivateSetupsFolder(folder), 0);
  EXPECT_EQ(folder, cache + "/Corvane/Deployer/Setups/");
  struct stat st {};
  ASSERT_EQ(::stat(qPrintable(folder), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  // Loosened by someone: tightened again.
  ::chmod(qPrintable(folder), 0777);
  ASSERT_EQ(PrivateSetupsFolder(folder), 0);
  ASSERT_EQ(::stat(qPrintable(folder), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  // A link in its place (planted to point elsewhere) is refused.
  const QString other = MakeTempFolder("cache2");
  qputenv("XDG_CACHE_HOME", other.toUtf8());
  QDir().mkpath(other + "/Corvane/Deployer");
  ASSERT_EQ(::symlink(qPrintable(MakeTempFolder("elsewhere")), qPrintable(other + "/Corvane/Deployer/Setups")), 0);
  EXPECT_NE(PrivateSetupsFolder(folder), 0);
  qputenv("XDG_CACHE_HOME", (cvtest::TestHome() + "/.cache").toUtf8());
}

namespace {

struct Entry {
  const char* name;
  QByteArray data;
  bool link = false;
};

void MakeZip(const QString& path, const std::vector<Entry>& entries) {
  int error = 0;
  zip_t* z = zip_open(qPrintable(path), ZIP_CREATE | ZIP_TRUNCATE, &error);
  ASSERT_NE(z, nullptr);
  for (const Entry& e : entries) {
    zip_source_t* s = zip_source_buffer(z, e.data.constData(), static_cast<zip_uint64_t>(e.data.size()), 0);
    const zip_int64_t i = zip_file_add(z, e.name, s, ZIP_FL_ENC_UTF_8 | ZIP_FL_OVERWRITE);
    ASSERT_GE(i, 0) << e.name;
    if (e.link)
      zip_file_set_external_attributes(z, static_cast<zip_uint64_t>(i), 0, ZIP_OPSYS_UNIX, (S_IFLNK | 0777) << 16);
  }
  ASSERT_EQ(zip_close(z), 0);
}

}  // namespace

TEST(ExtractArchive, WritesBelowItsFolderOnly) {
  const QString dir = MakeTempFolder();
  const QString base = dir + "/Samples";
  QDir().mkpath(base);
  Write(dir + "/victim", "untouched");
  QByteArray big(600'000, 'b');
  MakeZip(base + "/Samples.zip", {{"Routes/a.rte", "route"},
                                  {"Routes/", ""},
                                  {"big.bin", big},
                                  {"../escape.txt", "out"},
                                  {"/abs.txt", "abs"},
                                  {"a/../../up.txt", "up"},
                                  {"link", "../victim", true},
                                  {"linkdir/x", "through"}});
  // A link already in the folder is never written through.
  ASSERT_EQ(::symlink(qPrintable(dir), qPrintable(base + "/linkdir")), 0);
  std::vector<int> percents;
  QStringList refused;
  ASSERT_EQ(ExtractArchive(base + "/Samples.zip", base, [&](int p) { percents.push_back(p); return true; }, &refused), 0);
  EXPECT_EQ(Read(base + "/Routes/a.rte"), "route");
  EXPECT_EQ(Read(base + "/big.bin"), big);
  EXPECT_FALSE(QFile::exists(dir + "/escape.txt"));
  EXPECT_FALSE(QFile::exists("/abs.txt"));
  EXPECT_FALSE(QFile::exists(dir + "/up.txt"));
  EXPECT_FALSE(QFileInfo::exists(base + "/link"));
  EXPECT_FALSE(QFile::exists(dir + "/x"));
  EXPECT_EQ(Read(dir + "/victim"), "untouched");
  EXPECT_EQ(refused.size(), 5) << qPrintable(refused.join(','));
  ASSERT_FALSE(percents.empty());
  EXPECT_EQ(percents.back(), 100);
  EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end()));
}

TEST(ExtractArchive, StopsOnRequestAndFailsOnGarbage) {
  const QString dir = MakeTempFolder();
  MakeZip(dir + "/a.zip", {{"one", QByteArray(300'000, '1')}, {"two", QByteArray(300'000, '2')}});
  int calls = 0;
  EXPECT_EQ(ExtractArchive(dir + "/a.zip", dir, [&](int) { return ++calls < 3; }), cvlib::ceAborted);
  EXPECT_FALSE(QFile::exists(dir + "/two"));
  Write(dir + "/bad.zip", "PK not really");
  EXPECT_NE(ExtractArchive(dir + "/bad.zip", dir, {}), 0);
  EXPECT_EQ(SafeEntryPath("a\\b.txt"), "a/b.txt");
  EXPECT_EQ(SafeEntryPath("a/./b"), "");
  EXPECT_EQ(SafeEntryPath(QString::fromUtf8("a/\x01.txt")), "");
}
