// cvtool pus download of the installer's own product from the real service: the signed
// manifest decides whether the installer is kept, as in the wizard's self-update.
#include "SelfUpdateSupport.h"
#include "TestEnv.h"
#include "ToolRun.h"

#include <QDir>
#include <QFileInfo>

#include <gtest/gtest.h>

using namespace sutest;

namespace {

TEST(CvtoolUpdateDownload, KeepsOnlyWhatWasSignedForANewerRelease) {
  if (BuildSigningKey().isEmpty()) GTEST_SKIP() << "release key: no private half here";
  const QByteArray installer = "#!/bin/sh\necho new installer\n";
  const struct {
    const char* name;
    std::function<void(TContent&)> prepare;
    const char* reason;  // empty: kept
  } cases[] = {
      {"signed for the release the service names", [&](TContent& c) { c.SetInstaller(installer); }, ""},
      // An installer signed once for an older release, served as 9.0.0.0.
      {"rollback", [&](TContent& c) { c.SetInstaller(installer, true, "0.9.0.0"); }, "not newer than this program"},
      {"signed for another product", [&](TContent& c) {
         c.SetInstaller(installer, false);
         ASSERT_TRUE(SignFile(BuildSigningKey(), c.InstallerPath(), "9.0.0.0", "{6D3C1A52-0F4B-4C55-9E0B-2B1E3A7C9D10}"));
       }, "signed for another product"},
      {"changed after signing", [&](TContent& c) {
         c.SetInstaller(installer);
         WriteFile(c.InstallerPath(), "#!/bin/sh\necho evil installer\n");
       }, "changed after it was signed"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TContent content;
    c.prepare(content);
    TService service;
    ASSERT_TRUE(service.Start(content.Root()));
    const QString folder = cvtest::MakeTempFolder("dl");
    const cvtest::ToolResult run = cvtest::RunCvtool({"pus", service.URL(), "download", folder, kInstallerGuid});
    const QString file = folder + "/" + TContent::InstallerName();
    if (QByteArray(c.reason).isEmpty()) {
      EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
      EXPECT_EQ(ReadFile(file), installer);
      EXPECT_TRUE(QFileInfo::exists(file + ".sig"));
    } else {
      EXPECT_EQ(run.exitCode, 1);
      EXPECT_TRUE(run.err.contains(c.reason)) << run.err.toStdString();
      EXPECT_TRUE(run.out.contains("error '" + file + "' was refused and deleted")) << run.out.toStdString();
      EXPECT_EQ(QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden), QStringList());
    }
  }
}

}  // namespace
