#include "CvLib.h"
#include "TestEnv.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

namespace {

// Points CORVANE_VOLUMES at a table for the life of the object.
class TSimulatedVolumes {
 public:
  explicit TSimulatedVolumes(const QByteArray& table) {
    const QString file = cvtest::MakeTempFolder(QStringLiteral("volumes")) + "/volumes.tsv";
    QFile f(file);
    if (f.open(QIODevice::WriteOnly)) f.write(table);
    qputenv("CORVANE_VOLUMES", QFile::encodeName(file));
  }
  ~TSimulatedVolumes() { qunsetenv("CORVANE_VOLUMES"); }
};

TEST(Drives, SimulatedTable) {
  const QString base = cvtest::MakeTempFolder(QStringLiteral("vol"));
  for (const char* sub : {"fixed", "usb stick", "usb stick/nested", "gone", "share"}) QDir().mkpath(base + "/" + sub);
  const QByteArray b = QFile::encodeName(base);
  const TSimulatedVolumes table("# mount point\ttype\tpresent\n" + b + "/fixed\t3\t1\n" + b +
                                "/usb stick/\tremovable\tyes\n"
                                "\n" +
                                b + "/gone\t2\t0\n" + b + "/share\tremote\ttrue\n" + b +
                                "/usb stick/nested\t5\t1\r\n"
                                "not absolute\t3\t1\n" +
                                b + "/bad-type\tfloppy\t1\n" + b + "/two-fields\t3\n");

  EXPECT_EQ(GetDrives(), (QStringList{base + "/fixed/", base + "/usb stick/", base + "/gone/", base + "/share/",
                                      base + "/usb stick/nested/"}));

  struct TCase {
    QString drive;
    int type;
    bool present;
  };
  const TCase cases[] = {
      {base + "/fixed/", dtFixed, true},       {base + "/fixed", dtFixed, true},
      {base + "/usb stick/", dtRemovable, true}, {base + "/gone/", dtRemovable, false},
      {base + "/share", dtRemote, true},       {base + "/usb stick/nested/", dtOptical, true},
      {base + "/fixed/sub", 1, false},         {base + "/bad-type/", 1, false},
      {QString(), 1, false},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(qPrintable(c.drive));
    EXPECT_EQ(DriveGetType(c.drive), c.type);
    EXPECT_EQ(DiskIsPresent(c.drive), c.present);
  }

  // The drive part of a folder is the innermost volume holding it, existing or not yet.
  EXPECT_EQ(GetFolderDrive(base + "/usb stick/CorvaneBackup/new/"), base + "/usb stick/");
  EXPECT_EQ(GetFolderDrive(base + "/usb stick/nested/x"), base + "/usb stick/nested/");
  EXPECT_EQ(GetFolderDrive(base + "/usb stick"), base + "/usb stick/");
  EXPECT_EQ(GetFolderDrive(base + "/elsewhere"), QString());
  EXPECT_EQ(GetFolderDrive(QStringLiteral("relative/path")), QString());
  EXPECT_TRUE(IsDriveRoot(base + "/usb stick"));
  EXPECT_FALSE(IsDriveRoot(base + "/usb stick/CorvaneBackup"));

  qint64 freeBytes = -1, totalBytes = -1;
  EXPECT_EQ(DiskGetFreeSpace(base + "/usb stick/not/yet", freeBytes, totalBytes), 0);
  EXPECT_GT(freeBytes, 0);
  EXPECT_GE(totalBytes, freeBytes);
  EXPECT_EQ(DiskGetFreeSpace(base + "/gone/", freeBytes, totalBytes), cvlib::ceDriveNotReady);
  EXPECT_EQ(freeBytes, 0);
  EXPECT_EQ(DiskGetFreeSpace(base + "/elsewhere", freeBytes, totalBytes), cvlib::ceDriveNotFound);
}

// The whole table in one look says what the calls drive by drive say.
TEST(Drives, TableInOneLook) {
  const auto expectSame = [] {
    const std::vector<cvlib::TDriveInfo> table = cvlib::GetDriveTable();
    QStringList roots;
    for (const cvlib::TDriveInfo& d : table) {
      SCOPED_TRACE(qPrintable(d.root));
      roots << d.root;
      EXPECT_EQ(d.type, DriveGetType(d.root));
      EXPECT_EQ(d.present, DiskIsPresent(d.root));
    }
    EXPECT_EQ(roots, GetDrives());
  };
  expectSame();  // the system's volumes
  const QString base = cvtest::MakeTempFolder(QStringLiteral("vol"));
  const QByteArray b = QFile::encodeName(base);
  const TSimulatedVolumes table(b + "/a\t3\t1\n" + b + "/gone\tremovable\tno\n" + b + "/share/\t4\t1\n");
  ASSERT_EQ(cvlib::GetDriveTable().size(), 3u);
  EXPECT_FALSE(cvlib::GetDriveTable()[1].present);
  expectSame();
}

TEST(Drives, UnreadableTableGivesNoDrives) {
  qputenv("CORVANE_VOLUMES", "/nonexistent/volumes.tsv");
  EXPECT_TRUE(GetDrives().isEmpty());
  EXPECT_EQ(DriveGetType(QStringLiteral("/")), 1);
  qunsetenv("CORVANE_VOLUMES");
}

TEST(Drives, SystemVolumes) {
  const QStringList drives = GetDrives();
  ASSERT_FALSE(drives.isEmpty());
  EXPECT_EQ(drives.first(), QStringLiteral("/"));
  for (const QString& d : drives) {
    SCOPED_TRACE(qPrintable(d));
    EXPECT_TRUE(d.endsWith('/'));
    for (const char* pseudo : {"/proc/", "/sys/", "/dev/"}) EXPECT_FALSE(d.startsWith(QLatin1String(pseudo)));
    EXPECT_GE(DriveGetType(d), 2);
    EXPECT_LE(DriveGetType(d), 6);
  }
  const QString home = cvtest::TestHome();
  const QString drive = GetFolderDrive(home + "/not/there/yet");
  EXPECT_TRUE(drives.contains(drive));
  EXPECT_TRUE(home.startsWith(drive) || QDir(home).canonicalPath().startsWith(drive));
  EXPECT_TRUE(IsDriveRoot(QStringLiteral("/")));
  qint64 freeBytes = 0, totalBytes = 0;
  EXPECT_EQ(DiskGetFreeSpace(home, freeBytes, totalBytes), 0);
  EXPECT_GT(totalBytes, 0);
}

}  // namespace
