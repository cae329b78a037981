// cvtool installed prints what cvtool reg put into the store, as the wizard would load it.
#include "InstalledFixture.h"
#include "ToolRun.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

namespace {

using Result = cvtest::ToolResult;

class InstalledCommandTest : public InstalledFixture {
 protected:
  static Result Tool(const QStringList& args) { return cvtest::RunCvtool(args); }
  static void Reg(const QString& key, const QString& name, const char* type, const QString& value) {
    const Result r = Tool({"reg", "set", "3", key, name, type, value});
    ASSERT_EQ(r.exitCode, 0) << qPrintable(r.err);
  }
};

TEST_F(InstalledCommandTest, PrintsTheStoreFilledWithReg) {
  const QString folder = charts_ + "Nav Charts/A";
  Reg("Nav", "Name", "string", " Nav charts\nof the North ");
  Reg("Nav\\Modules\\A", "Name", "string", "Module A");
  Reg("Nav\\Modules\\A", "Path", "string", folder);
  Reg("Nav\\Modules\\A", "InternetInstall", "bool", "true");
  Reg("Nav\\Modules\\A\\Charts\\one.qmr2", "LastUpdate", "float", "45000.5");
  Reg("Nav\\Modules\\A\\Charts\\two.qmr2", "LastUpdate", "float", "45000.5");
  Reg("Nav\\Modules\\A\\Databases\\ports.db", "LastUpdate", "float", "45000.5");
  Reg("Nav\\Modules\\A\\Dependencies\\read me.txt", "LastUpdate", "float", "45000.5");
  Reg("Nav\\Modules\\B", "Path", "string", "");
  Reg("Empty", "Name", "string", "Nothing here");
  Chart("Nav Charts/A/one.qmr2", 1234, 35);

  const QString cache = home_ + "/own.cif";
  const Result r = Tool({"installed", "--cache", cache});
  EXPECT_EQ(r.exitCode, 0) << qPrintable(r.err);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out.toStdString(),
            ("product Empty 0 Nothing here\n"
            "product Nav 1234 Nav charts\\nof the North\n"
            "module A 1234 35 0x800000000 " + folder + "/\n"
            "chart " + folder + "/one.qmr2 0 35 1234\n"
            "chart " + folder + "/two.qmr2 400 0 0\n"
            "database " + folder + "/ports.db\n"
            "dependency " + folder + "/read me.txt\n"
            "module B 0 0 0x0 \n").toStdString());
  EXPECT_TRUE(QFileInfo(cache).isFile());

  // Without --cache: the wizard's cache in the data folder.
  EXPECT_EQ(Tool({"installed"}).out, r.out);
  EXPECT_TRUE(QFileInfo(home_ + "/data/Corvane/Deployer/Cache/ChartInfo.cif").isFile());
}

TEST_F(InstalledCommandTest, Errors) {
  WriteBytes(home_ + "/plainfile", "x");
  const Result bad = Tool({"installed", "--cache", home_ + "/plainfile/x.cif"});
  EXPECT_EQ(bad.exitCode, 1);
  EXPECT_TRUE(bad.err.startsWith("cvtool installed: ")) << qPrintable(bad.err);
  EXPECT_TRUE(bad.err.contains("Saving chart cache file: ")) << qPrintable(bad.err);
  for (const QStringList& args : {QStringList{"installed", "--cache"}, QStringList{"installed", "extra"}}) {
    const Result r = Tool(args);
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.out, "");
  }
}

// A listing command never overwrites a file the user named that it did not make: whatever is
// at --cache and is not a chart cache stays as it was.
TEST_F(InstalledCommandTest, CacheFileThatIsNotAChartCacheIsLeftAlone) {
  const QString cache = home_ + "/real.cif";
  ASSERT_EQ(Tool({"installed", "--cache", cache}).exitCode, 0);  // one this program made
  ASSERT_EQ(Tool({"installed", "--cache", cache}).exitCode, 0);  // is used again
  struct Case {
    const char* name;
    QByteArray bytes;
  };
  const Case cases[] = {{"passwd", "root:x:0:0:root:/root:/bin/bash\n"},
                        {"empty", ""},
                        {"short", "CV"},
                        {"chart.qmr2", QByteArray("QMR2\1\0\0\0", 8) + QByteArray(40, 'x')}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const QString file = home_ + "/" + c.name;
    WriteBytes(file, c.bytes);
    const Result r = Tool({"installed", "--cache", file});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(r.err.startsWith("cvtool installed: ") && r.err.contains("not a chart cache")) << qPrintable(r.err);
    EXPECT_EQ(r.err.count('\n'), 1);
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), c.bytes);
  }
  // A folder and a pipe in the cache's place: refused, and the pipe does not stall the run.
  QDir().mkpath(home_ + "/folder.cif");
  EXPECT_EQ(Tool({"installed", "--cache", home_ + "/folder.cif"}).exitCode, 1);
  ASSERT_EQ(::mkfifo(QFile::encodeName(home_ + "/pipe.cif").constData(), 0600), 0);
  EXPECT_EQ(Tool({"installed", "--cache", home_ + "/pipe.cif"}).exitCode, 1);
}

}  // namespace
