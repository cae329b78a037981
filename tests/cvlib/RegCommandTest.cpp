#include "StoreFixture.h"
#include "ToolRun.h"

#include <QDir>
#include <QProcess>

namespace {

using Result = cvtest::ToolResult;

class RegCommandTest : public StoreFixture {
 protected:
  static Result Reg(const QStringList& args) { return cvtest::RunCvtool(QStringList{"reg"} + args); }
};

TEST_F(RegCommandTest, SetThenGetEachType) {
  struct Case {
    const char* type;
    QString value;
    QString printed;
    TRegType stored;
  };
  const Case cases[] = {
      {"string", "C:/Charts/Fran\u00e7ais \\ x", "C:/Charts/Fran\u00e7ais \\ x\n", TRegType::rtString},
      {"string", "", "\n", TRegType::rtString},
      {"int", "-42", "-42\n", TRegType::rtInteger},
      {"bool", "true", "true\n", TRegType::rtBool},
      {"bool", "false", "false\n", TRegType::rtBool},
      {"float", "45123.5", "45123.5\n", TRegType::rtFloat},
      {"float", "0.1", "0.1\n", TRegType::rtFloat},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.type) + " " + c.value.toStdString());
    Result set = Reg({"set", "2", "Corvane Navigator\\Sub", "RootDir", c.type, c.value});
    ASSERT_EQ(set.exitCode, 0) << qPrintable(set.err);
    EXPECT_EQ(set.out + set.err, "");
    Result get = Reg({"get", "2", "corvane navigator\\SUB", "rootdir"});
    EXPECT_EQ(get.exitCode, 0);
    EXPECT_EQ(get.out, c.printed);
    // What cvtool wrote is what the library reads.
    TRegValue v;
    ASSERT_EQ(GetAppReg().ReadValue(rrSoftware, "Corvane Navigator\\Sub", "RootDir", v), 0);
    EXPECT_EQ(v.type, c.stored);
  }
}

TEST_F(RegCommandTest, KeysValuesAndDelete) {
  TAppReg& reg = GetAppReg();
  reg.WriteString(rrProducts, "prod2\\Modules\\A", "Name", "Two");
  reg.WriteString(rrProducts, "Prod1", "Name", "One\tTab\nLine \\ back");
  reg.WriteInteger(rrProducts, "Prod1", "count", 3);
  reg.WriteBool(rrProducts, "Prod1", "Active", true);
  reg.WriteFloat(rrProducts, "Prod1", "LastUpdate", -1.0);
  reg.CreateKey(rrProducts, "Prod10");

  Result keys = Reg({"keys", "3", ""});
  EXPECT_EQ(keys.exitCode, 0);
  EXPECT_EQ(keys.out, "Prod1\nProd10\nprod2\n");
  EXPECT_EQ(Reg({"keys", "3", "Prod2\\Modules"}).out, "A\n");
  Result none = Reg({"keys", "3", "Missing"});
  EXPECT_EQ(none.exitCode, 0);
  EXPECT_EQ(none.out, "");

  Result values = Reg({"values", "3", "PROD1"});
  EXPECT_EQ(values.exitCode, 0);
  EXPECT_EQ(values.out,
            "Active\tbool\ttrue\n"
            "count\tint\t3\n"
            "LastUpdate\tfloat\t-1\n"
            "Name\tstring\tOne\\tTab\\nLine \\\\ back\n");

  Result del = Reg({"delete", "3", "Prod2"});
  EXPECT_EQ(del.exitCode, 0);
  EXPECT_EQ(Reg({"keys", "3", ""}).out, "Prod1\nProd10\n");
  EXPECT_FALSE(reg.KeyExists(rrProducts, "prod2\\Modules\\A"));
}

TEST_F(RegCommandTest, MissingGivesOneAndErrorsGiveTwo) {
  GetAppReg().WriteInteger(rrSettings, "Settings", "SetupType", 3);
  struct Case {
    QStringList args;
    int exitCode;
    const char* errorPart;
  };
  const Case cases[] = {
      {{"get", "1", "Settings", "Nothing"}, 1, "no value 'Nothing'"},
      {{"get", "1", "NoKey", "SetupType"}, 1, "no value"},
      {{"delete", "1", "NoKey"}, 1, "no key 'NoKey'"},
      {{"get", "4", "Settings", "SetupType"}, 2, "unknown root '4'"},
      {{"keys", "x", ""}, 2, "unknown root 'x'"},
      {{"set", "1", "Settings", "V", "text", "a"}, 2, "unknown type 'text'"},
      {{"set", "1", "Settings", "V", "bool", "yes"}, 2, "not a bool"},
      {{"set", "1", "Settings", "V", "int", "12abc"}, 2, "not an integer"},
      {{"set", "1", "Settings", "V", "float", "nan"}, 2, "not a number"},
      {{"set", "1", "A\\\\B", "V", "int", "1"}, 2, "Invalid settings key"},
      {{"delete", "1", ""}, 2, "Invalid settings key"},
      {{"get", "1", "Settings"}, 2, "wrong number of arguments"},
      {{"frobnicate"}, 2, "unknown sub-command 'frobnicate'"},
      {{}, 2, "unknown sub-command"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.join(' ').toStdString());
    const Result r = Reg(c.args);
    EXPECT_EQ(r.exitCode, c.exitCode);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(r.err.startsWith("cvtool reg: ")) << qPrintable(r.err);
    EXPECT_TRUE(r.err.contains(c.errorPart)) << qPrintable(r.err);
    EXPECT_EQ(r.err.count('\n'), 1) << qPrintable(r.err);
  }
  EXPECT_EQ(GetAppReg().ReadInteger(rrSettings, "Settings", "SetupType", 0), 3);
  EXPECT_FALSE(GetAppReg().ValueExists(rrSettings, "Settings", "V"));
}

// Bytes that are not UTF-8 would reach the store with each bad byte replaced: refused.
TEST_F(RegCommandTest, KeysThatAreNotTextAreRefused) {
  QProcess p;
  p.start("/bin/sh", {"-c", "exec \"$0\" reg set 1 \"$(printf 'Key\\377')\" V string x", cvtest::BinDir() + "/cvtool"});
  ASSERT_TRUE(p.waitForFinished(30000));
  EXPECT_EQ(p.exitCode(), 2);
  const QString err = QString::fromUtf8(p.readAllStandardError());
  EXPECT_TRUE(err.contains("not valid UTF-8") && err.contains("Key%FF")) << qPrintable(err);
  QStringList keys;
  GetAppReg().GetKeyNames(rrSettings, "", keys);
  for (const QString& key : keys) EXPECT_FALSE(key.startsWith("Key")) << qPrintable(key);
}

TEST_F(RegCommandTest, UnreadableStoreIsAnError) {
  const QString file = TAppReg::RootFileName(rrProducts);
  QDir().mkpath(file);  // a folder in the store's place
  for (const QStringList& args : {QStringList{"get", "3", "P", "Name"}, QStringList{"keys", "3", ""},
                                  QStringList{"set", "3", "P", "Name", "string", "x"}}) {
    SCOPED_TRACE(args.join(' ').toStdString());
    const Result r = Reg(args);
    EXPECT_EQ(r.exitCode, 1);  // the operation failed; the command line was right
    EXPECT_EQ(r.err, "cvtool reg: The settings store cannot be opened. (" + file + ")\n");
  }
}

}  // namespace
