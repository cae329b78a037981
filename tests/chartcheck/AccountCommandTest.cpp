// cvtool account end to end against the scripted service: the line format of
// docs/cvtool-account.md, a remembered sign-in between runs, and a download into a backup.
#include "EngineFixture.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QProcess>

using namespace cvtest;
using nlohmann::json;

namespace {

struct Result {
  int exitCode = -1;
  QStringList lines;
  QString err;
};

Result Cvtool(const QStringList& args) {
  QProcess p;
  p.start(BinDir() + "/cvtool", QStringList{"account"} + args);
  Result r;
  if (!p.waitForFinished(60000)) return r;
  r.exitCode = p.exitCode();
  r.lines = QString::fromUtf8(p.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
  r.err = QString::fromUtf8(p.readAllStandardError());
  return r;
}

QStringList Starting(const QStringList& lines, const QString& word) {
  QStringList out;
  for (const QString& l : lines)
    if (l.startsWith(word + '\t')) out << l;
  return out;
}

}  // namespace

TEST_F(EngineTest, CvtoolAccountSignsInListsAndDownloadsABackup) {
  service.products = json::array(
      {{{"number", 100}, {"kind", 0}, {"group", 9999}, {"displayName", "Navigator"}, {"moduleMask", 1},
        {"latestVersion", "5.2.1.7"}, {"size", 9}, {"checked", true}, {"registryKey", "Corvane\\Navigator"}},
       {{"number", 1001}, {"kind", 1}, {"group", 2019}, {"displayName", "North Sea"},
        // A name that would break its line and fake another, were it not escaped.
        {"itemTitle", "Part A\nproduct\t9"}, {"moduleMask", 1}, {"size", 5}}});
  service.items = json::array(
      {{{"product", 100}, {"mask", 1}, {"productCode", "NAV"}, {"productName", "Navigator"},
        {"files", json::array({service.AddFile("setup.bin", "setup"), service.AddFile("a.zip", "zip", 1700000000, "", true)})}},
       {{"product", 1001}, {"mask", 1}, {"productCode", "NS"}, {"moduleCode", "A"},
        {"files", json::array({service.AddFile("a.qmr2", "chart")})}}});
  const QString url = service.URL();

  Result r = Cvtool({url, "signin", "anna@example.com", "wrong"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(r.err.contains("(4)")) << r.err.toStdString();

  r = Cvtool({url, "signin", "anna@example.com", "secret", "--remember"});
  ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
  EXPECT_EQ(r.lines.last(), "signedin\tanna@example.com\tremembered");

  r = Cvtool({url, "products"});  // signs in with the remembered token
  ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
  EXPECT_EQ(Starting(r.lines, "product"),
            QStringList({"product\t100\t1\t0\t9999\t0\t5.2.1.7\t9\t1\tCorvane\\\\Navigator\t\tNavigator\t",
                         "product\t1001\t1\t1\t2019\t0\t0.0.0.0\t5\t0\t\t\tNorth Sea\tPart A\\nproduct\\t9"}));

  // A one-off run with a password leaves the remembered sign-in alone: the next run uses it.
  r = Cvtool({url, "products", "--email", "anna@example.com", "--password", "secret"});
  ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
  r = Cvtool({url, "files", "1001:1"});
  ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
  EXPECT_EQ(Starting(r.lines, "item"), QStringList({"item\t1001\t1\t0\t0\tNS\tA\t1\tQMR2/NS/A/\t\t\t"}));
  ASSERT_EQ(Starting(r.lines, "file").size(), 1);
  EXPECT_TRUE(Starting(r.lines, "file")[0].startsWith("file\t1001\t1\t0\t5\t1700000000\t0\t"));
  EXPECT_TRUE(Starting(r.lines, "file")[0].endsWith("\t\ta.qmr2"));
  EXPECT_EQ(Cvtool({url, "files", "1001"}).exitCode, 2);

  const QString folder = MakeTempFolder("backup");
  r = Cvtool({url, "download", folder, "100:1", "1001:1"});
  ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
  EXPECT_EQ(Starting(r.lines, "download").size(), 3);
  EXPECT_EQ(r.lines.last(), "index\t" + folder + "/cvbackup.idx");
  EXPECT_TRUE(QFile::exists(folder + "/Setups/setup.bin"));
  EXPECT_TRUE(QFile::exists(folder + "/Setups/Addons100/a.zip"));
  EXPECT_TRUE(QFile::exists(folder + "/QMR2/NS/A/a.qmr2"));
  ASSERT_EQ(check->ReadBackupIndex(folder + "/cvbackup.idx"), 0);
  EXPECT_EQ(check->ItemCount(), 2);

  // A second run finds every file current and downloads nothing.
  r = Cvtool({url, "download", folder, "100:1", "1001:1"});
  ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
  EXPECT_EQ(Starting(r.lines, "download").size(), 0);
  EXPECT_EQ(Starting(r.lines, "current").size(), 3);
}

TEST_F(EngineTest, CvtoolAccountDownloadUpdatesABackupAndNeverLosesItsIndex) {
  service.products = json::array({{{"number", 100}, {"kind", 0}, {"displayName", "Navigator"}, {"moduleMask", 1}},
                                   {{"number", 1001}, {"kind", 1}, {"displayName", "North Sea"}, {"moduleMask", 1}},
                                   {{"number", 1002}, {"kind", 1}, {"displayName", "Baltic"}, {"moduleMask", 1}}});
  json missing = service.AddFile("b.qmr2", "gone");
  missing["url"] = "files/not-there";
  service.items = json::array(
      {{{"product", 100}, {"mask", 1}, {"productCode", "NAV"}, {"files", json::array({service.AddFile("setup.bin", "setup")})}},
       {{"product", 1001}, {"mask", 1}, {"productCode", "NS"}, {"moduleCode", "A"},
        {"files", json::array({service.AddFile("a.qmr2", "chart")})}},
       {{"product", 1002}, {"mask", 1}, {"productCode", "BS"}, {"moduleCode", "B"}, {"files", json::array({missing})}}});
  const QStringList signIn = {"--email", "anna@example.com", "--password", "secret"};
  auto download = [&](const QString& folder, const QStringList& selection) {
    return Cvtool(QStringList{service.URL(), "download", folder} + selection + signIn);
  };

  // A folder that cannot be made.
  const QString blocker = MakeTempFolder("blocked") + "/file";
  QFile(blocker).open(QIODevice::WriteOnly);
  Result r = download(blocker + "/backup", {"100:1"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(r.err.contains(blocker + "/backup")) << r.err.toStdString();

  const QString folder = MakeTempFolder("backup");
  const QString index = folder + "/cvbackup.idx";
  ASSERT_EQ(download(folder, {"100:1"}).exitCode, 0);

  // The chart file there is not the service's copy though newer: it is fetched anew. The chart
  // set that fails stays out of the index; the program of the first run stays in.
  ASSERT_TRUE(QDir(folder).mkpath("QMR2/NS/A"));
  {
    QFile stale(folder + "/QMR2/NS/A/a.qmr2");
    ASSERT_TRUE(stale.open(QIODevice::WriteOnly));
    stale.write("a chart cut short or from elsewhere");
  }
  r = download(folder, {"1001:1", "1002:1"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(Starting(r.lines, "download").size(), 2);
  EXPECT_EQ(r.lines.last(), "index\t" + index);
  QFile chart(folder + "/QMR2/NS/A/a.qmr2");
  ASSERT_TRUE(chart.open(QIODevice::ReadOnly));
  EXPECT_EQ(chart.readAll(), "chart");
  ASSERT_EQ(check->ReadBackupIndex(index), 0);
  EXPECT_EQ(check->ItemCount(), 2);
  EXPECT_NE(check->FindBackupItem(100, 1), nullptr);
  EXPECT_NE(check->FindBackupItem(1001, 1), nullptr);
  EXPECT_EQ(check->FindBackupItem(1002, 1), nullptr);

  // An index this program cannot read is not replaced by one without its items.
  for (const QByteArray& unreadable : {QByteArray("CVBACKUPIDX 2 2 ") +
                                           QCryptographicHash::hash("{}", QCryptographicHash::Sha256).toHex() + "\n{}",
                                       QByteArray("CVBACKUPIDX 1 5 00\n{}")}) {
    {
      QFile f(index);
      ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
      f.write(unreadable);
    }
    r = download(folder, {"100:1"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.err.contains(index)) << r.err.toStdString();
    EXPECT_TRUE(Starting(r.lines, "download").isEmpty());
    QFile f(index);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), unreadable);
  }
}
