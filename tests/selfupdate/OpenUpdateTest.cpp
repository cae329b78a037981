// The step after a downloaded update: the recorded file is checked again and opened, a
// program started detached, anything else handed to the desktop.
#include "BoxRecorder.h"
#include "CvLib.h"
#include "FrmWizardUpdate.h"
#include "SelfUpdateSupport.h"
#include "TestEnv.h"

#include <QDesktopServices>
#include <QFile>
#include <QFileInfo>
#include <QUrl>

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace sutest;

namespace {

// Stands in for the desktop's handler of local files.
class TFileHandler final : public QObject {
  Q_OBJECT
 public:
  TFileHandler() { QDesktopServices::setUrlHandler(QStringLiteral("file"), this, "Open"); }
  ~TFileHandler() override { QDesktopServices::unsetUrlHandler(QStringLiteral("file")); }
  QList<QUrl> opened;
 public slots:
  void Open(const QUrl& url) { opened.append(url); }
};

class OpenUpdate : public ::testing::Test {
 public:
  void SetUp() override {
    if (BuildSigningKey().isEmpty()) GTEST_SKIP() << "release key: no private half here";
    folder = cvtest::MakeTempFolder("update");
    ::chmod(folder.toLocal8Bit().constData(), 0700);
    marker = cvtest::MakeTempFolder("marker") + "/started";
  }
  void TearDown() override { GetAppReg().DeleteValue(rrSettings, "Update", "Filename"); }

  // A signed installer script that leaves a marker when it runs; recorded as the update.
  QString Installer(const QString& name = QStringLiteral("DeployerSetup-9.0.0.0.sh")) {
    const QString file = folder + "/" + name;
    WriteFile(file, "#!/bin/sh\necho started > '" + marker.toUtf8() + "'\n");
    EXPECT_TRUE(SignFile(BuildSigningKey(), file));
    GetAppReg().WriteString(rrSettings, "Update", "Filename", file);
    return file;
  }

  QString folder;
  QString marker;
  cvtest::BoxRecorder boxes;
};

TEST_F(OpenUpdate, AProgramIsStartedDetached) {
  const QString file = Installer();
  EXPECT_TRUE(OpenDownloadedUpdate());
  EXPECT_TRUE(boxes.texts.isEmpty()) << boxes.texts.join('|').toStdString();
  EXPECT_TRUE(WaitUntil([&] { return QFileInfo::exists(marker); }, 10000));
  EXPECT_TRUE(QFileInfo(file).isExecutable());
}

TEST_F(OpenUpdate, APackageGoesToTheDesktop) {
  TFileHandler handler;
  const QString file = folder + "/corvane-deployer_9.0.0.0_amd64.deb";
  WriteFile(file, "!<arch>\ndebian-binary   ");
  ASSERT_TRUE(SignFile(BuildSigningKey(), file));
  GetAppReg().WriteString(rrSettings, "Update", "Filename", file);
  EXPECT_TRUE(OpenDownloadedUpdate());
  EXPECT_EQ(handler.opened, QList<QUrl>({QUrl::fromLocalFile(file)}));
  EXPECT_TRUE(boxes.texts.isEmpty());
}

TEST_F(OpenUpdate, NothingUntrustedIsStarted) {
  const struct {
    const char* name;
    std::function<void(OpenUpdate&)> prepare;
    const char* reason;
  } cases[] = {
      {"nothing recorded", [](OpenUpdate&) {
         GetAppReg().DeleteValue(rrSettings, "Update", "Filename");
       }, "No downloaded program update has been recorded."},
      {"changed after the download", [](OpenUpdate& t) {
         const QString file = t.Installer();
         WriteFile(file, "#!/bin/sh\necho started > '" + t.marker.toUtf8() + "' # evil\n");
       }, "changed after it was signed"},
      {"signature gone", [](OpenUpdate& t) { QFile::remove(t.Installer() + ".sig"); },
       "The update has no signature."},
      // Recorded by an earlier run of this program, then replaced by an older installer
      // with its own valid manifest.
      {"an older release in its place", [](OpenUpdate& t) {
         const QString file = t.Installer();
         ASSERT_TRUE(SignFile(BuildSigningKey(), file, VersionToStr(GetProgInfo().Version, 4)));
       }, "not newer than this program"},
      {"folder writable by others", [](OpenUpdate& t) {
         t.Installer();
         ::chmod(t.folder.toLocal8Bit().constData(), 0777);
       }, "a folder that only you can change"},
      {"a link in place of the file", [](OpenUpdate& t) {
         const QString file = t.Installer();
         QFile::rename(file, file + ".real");
         QFile::rename(file + ".sig", file + ".real.sig");
         QFile::link(file + ".real", file);
         QFile::link(file + ".real.sig", file + ".sig");
       }, "a folder that only you can change"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TFileHandler handler;
    folder = cvtest::MakeTempFolder("update");
    ::chmod(folder.toLocal8Bit().constData(), 0700);
    boxes.Clear();
    c.prepare(*this);
    EXPECT_FALSE(OpenDownloadedUpdate());
    ASSERT_EQ(boxes.boxes.size(), 1);
    EXPECT_EQ(boxes.boxes[0].kind, mtError);
    EXPECT_TRUE(boxes.texts[0].contains(c.reason)) << boxes.texts[0].toStdString();
    EXPECT_TRUE(handler.opened.isEmpty());
  }
  WaitUntil([] { return false; }, 300);
  EXPECT_FALSE(QFileInfo::exists(marker)) << "nothing was started";
}

}  // namespace

#include "OpenUpdateTest.moc"
