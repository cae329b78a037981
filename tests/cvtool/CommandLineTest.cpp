// The command line as a user meets it: help on every command and sub-command, the version,
// usage errors that say what was wrong with exit 2 before anything else happens.
#include "Args.h"
#include "ToolRun.h"

#include <gtest/gtest.h>

using cvtest::RunCvtool;

TEST(CommandLine, EveryCommandAndSubCommandAnswersHelp) {
  const QStringList commands[] = {
      {},
      {"help"},
      {"reg"},
      {"reg", "get"},
      {"reg", "set"},
      {"reg", "keys"},
      {"reg", "values"},
      {"reg", "delete"},
      {"installed"},
      {"pus"},
      {"pus", "version"},
      {"pus", "history"},
      {"pus", "download"},
      {"pus", "error-text"},
      {"pus", "http://127.0.0.1:1", "download"},
      {"account"},
      {"account", "signin"},
      {"account", "products"},
      {"account", "files"},
      {"account", "download"},
      {"account", "http://127.0.0.1:1", "download"},
      {"install"},
      {"backup"},
      {"restore"},
      {"verify"},
  };
  for (const QStringList& command : commands) {
    for (const char* help : {"--help", "-h"}) {
      SCOPED_TRACE((command.join(' ') + " " + help).toStdString());
      const cvtest::ToolResult r = RunCvtool(command + QStringList{help});
      EXPECT_EQ(r.exitCode, 0);
      EXPECT_TRUE(r.out.startsWith("usage:")) << qPrintable(r.out);
      EXPECT_TRUE(r.out.contains("Exit codes: 0 done, 1 ")) << qPrintable(r.out);
      EXPECT_EQ(r.err, "");
    }
  }
  // A sub-command's help is its own.
  EXPECT_TRUE(RunCvtool({"reg", "set", "--help"}).out.startsWith("usage: cvtool reg set ROOT KEY NAME"));
  EXPECT_EQ(RunCvtool({"help", "reg"}).out, RunCvtool({"reg", "--help"}).out);
}

TEST(CommandLine, VersionEverywhere) {
  for (const QStringList& args : {QStringList{"--version"}, QStringList{"reg", "--version"},
                                  QStringList{"account", "x", "products", "--version"}}) {
    const cvtest::ToolResult r = RunCvtool(args);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "cvtool 1.0.0.0\n");
  }
}

// Each usage error: exit 2, nothing on stdout, one line on stderr naming what was wrong.
TEST(CommandLine, UsageErrorsSayWhatWasWrong) {
  struct Case {
    QStringList args;
    const char* says;
  };
  const Case cases[] = {
      {{}, "no command given"},
      {{"frobnicate"}, "unknown command 'frobnicate'"},
      {{"help", "frobnicate"}, "unknown command 'frobnicate'"},
      {{"reg", "get", "1", "K"}, "usage: cvtool reg get ROOT KEY NAME"},
      {{"reg", "get", "1", "K", "V", "--frob"}, "unknown option '--frob'"},
      {{"installed", "--cache"}, "option '--cache' needs a value"},
      {{"installed", "--cache", "a", "--cache", "b"}, "given twice"},
      {{"installed", "extra"}, "unexpected argument 'extra'"},
      // Checked before anything goes over the network: port 1 would refuse, giving exit 1.
      {{"pus", "http://127.0.0.1:1", "version", "notaguid"}, "'notaguid' is not a GUID"},
      {{"pus", "http://127.0.0.1:1", "frob", "x"}, "unknown sub-command 'frob'"},
      {{"pus", "--lang", "9", "error-text", "-1"}, "--lang needs a number from 1 to 8"},
      {{"pus", "error-text", "x"}, "RESULT 'x' is not a whole number"},
      {{"pus", "127.0.0.1:1", "version", "{B1509FE0-9898-43E1-BCEA-AB44A70E44EE}"}, "needs http:// or https://"},
      {{"account", "http://127.0.0.1:1", "files", "1001"}, "'1001' is not PRODUCTNUMBER:MODULEMASK"},
      {{"account", "http://127.0.0.1:1", "download", "/tmp"}, "download needs FOLDER and PRODUCTNUMBER"},
      {{"account", "http://127.0.0.1:1", "products", "--email", "a"}, "--email and --password go together"},
      {{"account", "localhost:8080", "products"}, "needs http:// or https://"},
      {{"account", "http://127.0.0.1:1", "products", "--quiet"}, "--quiet belongs to download"},
      {{"account", "http://127.0.0.1:1", "list"}, "unknown sub-command 'list'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.join(' ').toStdString());
    const cvtest::ToolResult r = RunCvtool(c.args);
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(r.err.contains(c.says)) << qPrintable(r.err);
    EXPECT_EQ(r.err.count('\n'), 1) << qPrintable(r.err);
  }
}

TEST(CommandLine, ArgumentsSplitIntoOptionsAndPositionals) {
  cvtool::TArgs args("cvtool test");
  args.Flag("--quiet", "-q");
  args.Value("--out", "FILE");
  ASSERT_EQ(args.Parse({"a", "-q", "--out=x=y", "-1002", "-", "--", "--quiet"}), cvtool::TArgs::kRun);
  EXPECT_TRUE(args.Has("--quiet"));
  EXPECT_EQ(args.Get("--out"), "x=y");
  EXPECT_EQ(args.Positional(), QStringList({"a", "-1002", "-", "--quiet"}));
  // Help wins over a wrong argument, and the positionals still tell which sub-command.
  ASSERT_EQ(args.Parse({"sub", "--wrong", "-h"}), cvtool::TArgs::kHelp);
  EXPECT_EQ(args.Positional(), QStringList({"sub"}));
  EXPECT_EQ(args.Parse({"--quiet=1"}), cvtool::TArgs::kUsageError);
}

TEST(CommandLine, ServiceURLsInOneForm) {
  const std::pair<const char*, bool> cases[] = {
      {"http://127.0.0.1:8080", true},  {"https://service.example/base/", true},
      {"http://[::1]:80", true},        {"127.0.0.1:8080", false},
      {"localhost:8080", false},        {"ftp://host/", false},
      {"http://", false},               {"http://user@host/", false},
      {"http://host/?q=1", false},      {"http://host/#x", false},
      {"", false},                      {" http://host/", false}};
  for (const auto& [text, valid] : cases) {
    QUrl url;
    QString error;
    EXPECT_EQ(cvtool::ParseServiceURL(text, url, error), valid) << text;
    if (!valid) {
      EXPECT_TRUE(error.contains("is not a valid URL")) << qPrintable(error);
    }
  }
}
