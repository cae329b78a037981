// What a user runs against the real service: cvtool account, and a demo setup that the engine
// downloaded, run silently as the wizard runs it.
#include "IntegrationFixture.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

using namespace cvtest;

namespace {

struct ToolResult {
  int exitCode = -1;
  QStringList lines;
  QString err;

  QStringList Starting(const QString& word) const {
    QStringList out;
    for (const QString& l : lines)
      if (l.startsWith(word + '\t')) out << l;
    return out;
  }
};

ToolResult Cvtool(const QStringList& args) {
  QProcess p;
  p.start(BinDir() + "/cvtool", QStringList{"account", DemoService().url} + args);
  ToolResult r;
  if (!p.waitForFinished(30000)) return r;
  r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
  r.lines = QString::fromUtf8(p.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
  r.err = QString::fromUtf8(p.readAllStandardError());
  return r;
}

TEST(ToolsOnService, CvtoolAccountPrintsItsLinesAndExitCodes) {
  GetAppReg().DeleteKey(rrSettings, "Account");
  const QString email = DemoService().email, password = DemoService().password;
  const QStringList signIn{"--email", email, "--password", password};

  ToolResult r = Cvtool({"signin", email, "wrong"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(r.err.startsWith("cvtool account: ") && r.err.contains("(4)")) << r.err.toStdString();
  EXPECT_TRUE(r.Starting("signedin").isEmpty());

  r = Cvtool({"signin", email, password});
  ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
  EXPECT_EQ(r.lines.last(), "signedin\t" + email + "\tonce");
  r = Cvtool({"products"});  // nothing remembered
  EXPECT_EQ(r.exitCode, 1);

  r = Cvtool(QStringList{"products"} + signIn);
  ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
  const QStringList products = r.Starting("product");
  EXPECT_EQ(products.size(), 7);
  const QStringList navigator = products.filter(QRegularExpression("^product\t100\t1\t")).value(0).split('\t');
  ASSERT_EQ(navigator.size(), 13);
  EXPECT_EQ(navigator.mid(1, 6), QStringList({"100", "1", "0", "9999", "7", "5.2.0.0"}));
  EXPECT_EQ(navigator.mid(8), QStringList({"0", "Navigator", "Navigator", "Corvane Navigator", ""}));
  EXPECT_EQ(products.filter(QRegularExpression("^product\t100\t2\t99\t")).size(), 1);

  r = Cvtool(QStringList{"files", "1001:7"} + signIn);
  ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
  const QStringList items = r.Starting("item");
  ASSERT_EQ(items.size(), 3);
  EXPECT_EQ(items.mid(0, 3),
            QStringList({"item\t1001\t1\t0\t2\tNS\tNL\t5\tQMR2/NS/NL/\t\tNorth Sea Charts\tNetherlands",
                         "item\t1001\t2\t0\t2\tNS\tBE\t4\tQMR2/NS/BE/\t\tNorth Sea Charts\tBelgium",
                         "item\t1001\t4\t1\t2\tNS\tDE\t0\tQMR2/NS/DE/\t\tNorth Sea Charts\tGermany North"}));
  const QStringList files = r.Starting("file");
  ASSERT_EQ(files.size(), 9);
  EXPECT_TRUE(files[0].startsWith("file\t1001\t1\t0\t24592\t1709251200\t0\t")) << files[0].toStdString();
  EXPECT_TRUE(files[0].endsWith("\t\tNL_1.qmr2")) << files[0].toStdString();
  EXPECT_EQ(Cvtool(QStringList{"files", "1001"} + signIn).exitCode, 2);

  const QString folder = MakeTempFolder("cvtool-backup");
  r = Cvtool(QStringList{"download", folder, "1002:1"} + signIn);
  ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
  EXPECT_EQ(r.Starting("download").size(), 4);
  EXPECT_EQ(r.Starting("event").filter(QRegularExpression("^event\t130\t")).size(), 4 + 2);  // sign-in, list
  EXPECT_TRUE(r.Starting("event").filter(QRegularExpression("^event\t130\t[^0]")).isEmpty());
  EXPECT_EQ(r.lines.last(), "index\t" + folder + "/cvbackup.idx");
  EXPECT_TRUE(QFileInfo(folder + "/QMR2/BA/DK/DK_1.qmr2").isFile());
  // A remembered sign-in carries the next runs without credentials.
  r = Cvtool({"signin", email, password, "--remember"});
  ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
  EXPECT_EQ(r.lines.last(), "signedin\t" + email + "\tremembered");
  EXPECT_EQ(Cvtool({"products"}).exitCode, 0);
  EXPECT_EQ(Cvtool({"files", "1002:1"}).exitCode, 0);
  // A second download finds every file current.
  r = Cvtool({"download", folder, "1002:1"});
  ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
  EXPECT_EQ(r.Starting("current").size(), 4);
  EXPECT_TRUE(r.Starting("download").isEmpty());
  GetAppReg().DeleteKey(rrSettings, "Account");
}

TEST(ToolsOnService, DownloadedDemoSetupInstallsAndRegistersItsFolder) {
  EngineOnService engine(DemoService().url);
  ASSERT_EQ(engine.SignIn(DemoCredentials()), 0);
  ASSERT_EQ(engine.FileList({{100, 1}}), 0);
  InstallItem* item = engine.FindItem(100, 1);
  const ProductRecord* record = engine.check->FindProductRecord(100, 1);
  ASSERT_TRUE(item && record);
  const QString downloads = MakeTempFolder("setup");
  ASSERT_EQ(engine.Download(item, 0, downloads), 0);

  const QString key = record->RegistryKey();
  GetAppReg().DeleteKey(rrSoftware, key);
  const QString dir = MakeTempFolder("install") + "/Corvane Navigator";
  int exitCode = -1;
  ASSERT_EQ(RunAndWait(downloads + "/" + item->FileName(0), "/SILENT /DIR=\"" + dir + "\" /LANG=nl", QString(),
                       [](bool&) { QCoreApplication::processEvents(); }, exitCode),
            0);
  EXPECT_EQ(exitCode, 0);
  EXPECT_TRUE(QFileInfo(dir + "/Navigator").isExecutable());
  EXPECT_EQ(QFileInfo(dir + "/Navigator.exe").symLinkTarget(), QFileInfo(dir + "/Navigator").absoluteFilePath());
  EXPECT_EQ(QFileInfo(dir + "/Data/Ports.dat").size(), 8 * 1024);
  QFile readme(dir + "/ReadMe.txt");
  ASSERT_TRUE(readme.open(QIODevice::ReadOnly));
  EXPECT_TRUE(readme.readAll().startsWith("Bedankt"));
  EXPECT_EQ(GetAppReg().ReadString(rrSoftware, key, "RootDir"), dir);
  EXPECT_EQ(GetAppReg().ReadString(rrSoftware, key, "Version"), "5.2.0.0");
  EXPECT_EQ(GetAppReg().ReadString(rrSoftware, key, "Language"), "nl");
}

}  // namespace
