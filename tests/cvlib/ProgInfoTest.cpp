#include "CvLib.h"
#include "TestEnv.h"

#include <QFile>

#include <gtest/gtest.h>

namespace {

// The marker text, put together so that this test program carries no marker of its own.
const QByteArray kTag = QByteArray("CVPRODUCT") + "VERSION=";

QString WriteFixture(const QString& name, const QByteArray& data) {
  const QString path = cvtest::MakeTempFolder(QStringLiteral("ver")) + "/" + name;
  QFile f(path);
  if (f.open(QIODevice::WriteOnly)) f.write(data);
  return path;
}

TEST(ProgInfo, NameAndVersionMatchTheMarkerOfOurExecutable) {
  const TProgInfo info = GetProgInfo();
  EXPECT_EQ(info.Name, QStringLiteral("Deployer"));
  EXPECT_NE(info.Version, 0u);
  std::uint32_t version = 0;
  ASSERT_EQ(VersionInfoGetProgVersion(cvtest::BinDir() + "/cvtool", version), 0);
  EXPECT_EQ(version, info.Version);
  // The library itself must not look like a versioned program.
  EXPECT_EQ(VersionInfoGetProgVersion(cvtest::BinDir() + "/libCvLibNav5.so", version), cvlib::ceNoVersionInfo);
}

TEST(ProgInfo, VersionMarkers) {
  const QByteArray z(1, '\0');
  struct TCase {
    const char* name;
    QByteArray data;
    int error;
    std::uint32_t version;
  };
  const TCase cases[] = {
      {"plain", "junk" + kTag + "1.2.3.4" + z + "tail", 0, 0x01020304},
      {"short", kTag + "7.1" + z, 0, 0x07010000},
      {"max", kTag + "255.255.255.255" + z, 0, 0xFFFFFFFF},
      {"first bad then good", kTag + "1.2.x" + z + kTag + kTag + "2.0.0.1" + z, 0, 0x02000001},
      {"too big", kTag + "256.0" + z, cvlib::ceNoVersionInfo, 0},
      {"five parts", kTag + "1.2.3.4.5" + z, cvlib::ceNoVersionInfo, 0},
      {"empty", kTag + z, cvlib::ceNoVersionInfo, 0},
      {"trailing point", kTag + "1." + z, cvlib::ceNoVersionInfo, 0},
      {"no zero at end of file", kTag + "1.2.3.4", cvlib::ceNoVersionInfo, 0},
      {"none", QByteArray(5000, 'C'), cvlib::ceNoVersionInfo, 0},
      {"empty file", QByteArray(), cvlib::ceNoVersionInfo, 0},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::uint32_t version = 99;
    EXPECT_EQ(VersionInfoGetProgVersion(WriteFixture("f.bin", c.data), version), c.error);
    EXPECT_EQ(version, c.version);
  }
  std::uint32_t version = 0;
  EXPECT_EQ(VersionInfoGetProgVersion(WriteFixture("x", "") + ".missing", version), cvlib::ceFileNotFound);
  EXPECT_EQ(VersionInfoGetProgVersion(cvtest::TestHome(), version), cvlib::ceFileRead);
}

// The file is read in chunks of 1 MiB: a marker cut by a chunk border in any place must
// still be found, and one far into a large file too.
TEST(ProgInfo, MarkerAcrossChunkBorders) {
  const qsizetype chunk = qsizetype{1} << 20;
  const QByteArray marker = kTag + "3.14.15.9" + QByteArray(1, '\0');
  for (qsizetype before = chunk - marker.size() - 1; before <= chunk + 1; ++before) {
    SCOPED_TRACE(before);
    QByteArray data(before, 'C');  // 'C' also begins the tag: no false starts allowed
    data += marker;
    std::uint32_t version = 0;
    ASSERT_EQ(VersionInfoGetProgVersion(WriteFixture("border.bin", data), version), 0);
    EXPECT_EQ(version, 0x030E0F09u);
  }
  QByteArray large(qsizetype{40} << 20, 'x');
  large += marker;
  std::uint32_t version = 0;
  EXPECT_EQ(VersionInfoGetProgVersion(WriteFixture("large.bin", large), version), 0);
  EXPECT_EQ(version, 0x030E0F09u);
}

}  // namespace
