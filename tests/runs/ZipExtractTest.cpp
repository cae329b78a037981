// The add-on archive extraction with its two workers: what they write matches the archive entry
// for entry (whichever worker took it), an entry whose CRC or size lies leaves no file, and a
// write error in either worker fails the extraction without a half file.
#include "CvLib.h"
#include "CvZipExtract.h"
#include "FileSizeLimit.h"
#include "TestEnv.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>
#include <zip.h>

#include <map>
#include <random>
#include <set>
#include <unistd.h>

using namespace cvruns;
using cvtest::MakeTempFolder;

namespace {

struct TSpec {
  QString name;
  QByteArray data;
  zip_int32_t method = ZIP_CM_DEFLATE;
};

// Half noise, half text: entries that deflate partly, the way add-ons do.
QByteArray Content(int seed, int size) {
  std::mt19937 rng(static_cast<unsigned>(seed));
  QByteArray data(size, '\0');
  for (int i = 0; i < size; ++i) data[i] = i < size / 2 ? static_cast<char>(rng()) : "chart 52.37 4.89\n"[i % 17];
  return data;
}

void Write(const QString& path, const QByteArray& data) {
  QDir().mkpath(QFileInfo(path).path());
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write(data);
}

void MakeArchive(const QString& path, const std::vector<TSpec>& specs) {
  QDir().mkpath(QFileInfo(path).path());
  int error = 0;
  zip_t* z = zip_open(qPrintable(path), ZIP_CREATE | ZIP_TRUNCATE, &error);
  ASSERT_NE(z, nullptr);
  // zip_file_add refuses a repeated name: such an entry goes in under a stand-in of the same
  // length, given its real name in both headers below.
  std::vector<std::pair<QByteArray, QByteArray>> repeated;
  std::set<QByteArray> seen;
  for (const TSpec& s : specs) {
    QByteArray name = s.name.toUtf8();
    if (!seen.insert(name).second) {
      QByteArray standIn = name;
      standIn.back() = static_cast<char>('A' + repeated.size());
      repeated.emplace_back(standIn, name);
      name = standIn;
    }
    zip_source_t* src = zip_source_buffer(z, s.data.constData(), static_cast<zip_uint64_t>(s.data.size()), 0);
    const zip_int64_t i = zip_file_add(z, name.constData(), src, ZIP_FL_ENC_UTF_8);
    ASSERT_GE(i, 0) << name.constData();
    ASSERT_EQ(zip_set_file_compression(z, static_cast<zip_uint64_t>(i), s.method, 0), 0) << name.constData();
  }
  ASSERT_EQ(zip_close(z), 0);
  if (repeated.empty()) return;
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::ReadWrite));
  QByteArray bytes = f.readAll();
  for (const auto& [standIn, name] : repeated) {
    ASSERT_EQ(bytes.count(standIn), 2) << "a local and a central header";
    for (qsizetype at = bytes.indexOf(standIn); at >= 0; at = bytes.indexOf(standIn, at + 1))
      bytes.replace(at, standIn.size(), name);
  }
  f.seek(0);
  f.write(bytes);
}

// Sets a 32-bit field of the named entry in its local and central header: the CRC (field 0)
// or the uncompressed size (field 2).
void Patch(const QString& path, const QByteArray& name, int field, quint32 value) {
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::ReadWrite));
  QByteArray bytes = f.readAll();
  auto put = [&](qsizetype at) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>(value >> (8 * i));
  };
  int patched = 0;
  for (qsizetype at = bytes.indexOf("PK\x01\x02"); at >= 0; at = bytes.indexOf("PK\x01\x02", at + 4)) {
    const auto u16 = [&](qsizetype p) { return static_cast<quint8>(bytes[p]) | static_cast<quint8>(bytes[p + 1]) << 8; };
    const auto u32 = [&](qsizetype p) { return static_cast<quint32>(u16(p)) | static_cast<quint32>(u16(p + 2)) << 16; };
    if (bytes.mid(at + 46, u16(at + 28)) != name) continue;
    put(at + 16 + 4 * field);
    put(u32(at + 42) + 14 + 4 * field);
    ++patched;
  }
  ASSERT_EQ(patched, 1) << name.constData();
  f.seek(0);
  f.write(bytes);
}

QByteArray Read(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

QStringList Tree(const QString& base) {
  QStringList files;
  QDirIterator it(base, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
  while (it.hasNext()) files << QDir(base).relativeFilePath(it.next());
  files.sort();
  return files;
}

}  // namespace

TEST(ExtractArchiveWorkers, WriteEveryEntryAsTheArchiveHasIt) {
  const QString dir = MakeTempFolder();
  const QString base = dir + "/Addon";
  QDir().mkpath(base);
  std::vector<TSpec> specs;
  for (int i = 0; i < 240; ++i) {
    const int size = i % 40 == 7 ? 2'600'000 : i % 9 == 0 ? i : 1000 + 97 * i;  // a few beyond one chunk
    const zip_int32_t method = i % 5 == 0 ? ZIP_CM_STORE : i % 11 == 0 ? ZIP_CM_BZIP2 : ZIP_CM_DEFLATE;
    // More folders than the extraction keeps open at once.
    specs.push_back({QStringLiteral("d%1/s%2/f%3.bin").arg(i % 150).arg(i % 3).arg(i, 3, 10, QLatin1Char('0')),
                     Content(i, size), method});
  }
  // A repeated name: the last one stands, over what the folder held before (longer).
  specs.push_back({"d1/again.txt", "first", ZIP_CM_DEFLATE});
  specs.push_back({"d1/again.txt", Content(1, 3'000'000), ZIP_CM_DEFLATE});
  specs.push_back({"d1/again.txt", "third", ZIP_CM_STORE});
  Write(base + "/d1/again.txt", Content(2, 100'000));
  // Two names of one file (a hard link in the folder): one entry's bytes, never a mix.
  specs.push_back({"a.dat", Content(3, 1'500'000), ZIP_CM_DEFLATE});
  specs.push_back({"b.dat", Content(4, 1'500'000), ZIP_CM_DEFLATE});
  {
    QFile a(base + "/a.dat");
    ASSERT_TRUE(a.open(QIODevice::WriteOnly));
  }
  ASSERT_EQ(::link(qPrintable(base + "/a.dat"), qPrintable(base + "/b.dat")), 0);
  MakeArchive(dir + "/addon.zip", specs);

  std::vector<int> percents;
  QStringList refused;
  ASSERT_EQ(ExtractArchive(dir + "/addon.zip", base, [&](int p) { percents.push_back(p); return true; }, &refused), 0);
  EXPECT_TRUE(refused.isEmpty());
  std::map<QString, QByteArray> expected;
  for (const TSpec& s : specs) expected[s.name] = s.data;
  QStringList names;
  for (const auto& [name, data] : expected) {
    names << name;
    if (name == "a.dat" || name == "b.dat") continue;
    EXPECT_EQ(Read(base + "/" + name), data) << qPrintable(name);
  }
  EXPECT_EQ(Tree(base).join(','), names.join(',')) << "no file more, none less";
  const QByteArray linked = Read(base + "/a.dat");
  EXPECT_EQ(Read(base + "/b.dat"), linked);
  EXPECT_TRUE(linked == expected["a.dat"] || linked == expected["b.dat"]);
  ASSERT_FALSE(percents.empty());
  EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end()));
  EXPECT_EQ(percents.back(), 100);
}

TEST(ExtractArchiveWorkers, AnEntryWhoseCrcOrSizeLiesLeavesNoFile) {
  const QString dir = MakeTempFolder();
  const QByteArray body = Content(5, 400'000);
  MakeArchive(dir + "/addon.zip", {{"good.txt", "good"},
                                   {"crc.bin", body},
                                   {"crcstored.bin", body, ZIP_CM_STORE},
                                   {"small.bin", body},
                                   {"smallstored.bin", body, ZIP_CM_STORE},
                                   {"large.bin", body},
                                   {"after.txt", "after"}});
  Patch(dir + "/addon.zip", "crc.bin", 0, 0x12345678);
  Patch(dir + "/addon.zip", "crcstored.bin", 0, 0x12345678);
  Patch(dir + "/addon.zip", "small.bin", 2, 1000);  // inflates to far more than it declares
  Patch(dir + "/addon.zip", "smallstored.bin", 2, 1000);
  Patch(dir + "/addon.zip", "large.bin", 2, 500'000);
  // A file of the folder that a damaged entry would replace is gone too, as the entry was written.
  Write(dir + "/out/crc.bin", "old");
  // Other extraction errors pass in silence: the run goes on.
  EXPECT_EQ(ExtractArchive(dir + "/addon.zip", dir + "/out", {}), 0);
  EXPECT_EQ(Tree(dir + "/out").join(','), "after.txt,good.txt");
  EXPECT_EQ(Read(dir + "/out/after.txt"), "after");

  // The archive lies in the folder it fills (as add-ons do) and holds an entry of its own name:
  // the archive is not written over while the others are still read from it.
  std::vector<TSpec> own;
  for (int i = 0; i < 30; ++i) own.push_back({QStringLiteral("f%1.bin").arg(i, 2, 10, QLatin1Char('0')), Content(i, 200'000)});
  own.insert(own.begin() + 3, TSpec{"own.zip", "not the archive"});
  MakeArchive(dir + "/own/own.zip", own);
  const QByteArray archive = Read(dir + "/own/own.zip");
  EXPECT_EQ(ExtractArchive(dir + "/own/own.zip", dir + "/own", {}), 0);
  EXPECT_EQ(Read(dir + "/own/own.zip"), archive);
  for (const TSpec& s : own)
    if (s.name != "own.zip") {
      EXPECT_EQ(Read(dir + "/own/" + s.name), s.data) << qPrintable(s.name);
    }
}

TEST(ExtractArchiveWorkers, AWriteErrorInEitherWorkerFailsTheExtraction) {
  const QString dir = MakeTempFolder();
  std::vector<TSpec> specs;
  for (int i = 0; i < 40; ++i) specs.push_back({QStringLiteral("f%1.bin").arg(i, 2, 10, QLatin1Char('0')), Content(i, 60'000)});
  specs[5].data = specs[30].data = Content(9, 3'000'000);
  MakeArchive(dir + "/addon.zip", specs);
  QDir().mkpath(dir + "/out");
  int error = 0;
  {
    cvtest::TFileSizeLimit limit(1'000'000);
    error = ExtractArchive(dir + "/addon.zip", dir + "/out", {});
  }
  EXPECT_EQ(error, cvlib::ceFileWrite);
  EXPECT_FALSE(QFile::exists(dir + "/out/f05.bin")) << "no half file";
  EXPECT_FALSE(QFile::exists(dir + "/out/f30.bin"));
  for (const QString& name : Tree(dir + "/out")) EXPECT_EQ(Read(dir + "/out/" + name).size(), 60'000) << qPrintable(name);
}
