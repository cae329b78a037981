// The backup-source page on a simulated volume table: the scan, the two choices and the check.
#include "BoxRecorder.h"
#include "FraPageSourceInstall.h"
#include "PagesFixture.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>
#include <QtTest/QTest>

#include <gtest/gtest.h>

namespace {

using cvtest::BoxRecorder;

class SourcePageTest : public PagesFixture {
 protected:
  void SetUp() override {
    PagesFixture::SetUp();
    window_ = std::make_unique<QWidget>();
    area_ = new QWidget(window_.get());
    new QVBoxLayout(area_);
    area_->setGeometry(0, 0, 650, 400);
    page_ = new TFramePageSourceInstall(window_.get());
    window_->resize(650, 400);
    window_->show();
  }
  void TearDown() override {
    window_.reset();
    PagesFixture::TearDown();
  }
  void Show() {
    page_->SetParent(nullptr);
    page_->SetParent(area_);
  }
  std::unique_ptr<QWidget> window_;
  QWidget* area_ = nullptr;
  TFramePageSourceInstall* page_ = nullptr;
};

TEST_F(SourcePageTest, ABackupOnAPresentRemovableMediumIsFound) {
  const QStringList roots = Volumes({{"fixed", "fixed", true},
                                     {"absent", "removable", false},
                                     {"remote", "remote", true},
                                     {"stick", "removable", true}});
  for (const QString& r : roots) Touch(r + "CorvaneBackup/cvbackup.idx");
  Show();
  EXPECT_TRUE(page_->RadioFound()->isEnabled());
  EXPECT_TRUE(page_->RadioFound()->isChecked());
  EXPECT_FALSE(page_->RadioChosen()->isChecked());
  EXPECT_EQ(page_->BackupFolder(), roots[3] + "CorvaneBackup/");
  EXPECT_FALSE(page_->EditLocation()->isEnabled());
  EXPECT_FALSE(page_->ButtonBrowse()->isEnabled());
  EXPECT_TRUE(page_->LabelFound()->isEnabled());
  EXPECT_EQ(page_->RadioFound()->text(), "Install from found backup");
  EXPECT_EQ(page_->LabelFound()->text(), "Install charts and programs from the found backup folder.");
  EXPECT_EQ(page_->RadioChosen()->text(), "Install from a chosen backup folder");
  BoxRecorder boxes;
  EXPECT_TRUE(page_->Check());
  EXPECT_TRUE(boxes.texts.isEmpty());

  // The chosen-folder choice enables its controls.
  QTest::mouseClick(page_->RadioChosen(), Qt::LeftButton, Qt::NoModifier, QPoint(6, 8));
  EXPECT_FALSE(page_->RadioFound()->isChecked());
  EXPECT_TRUE(page_->EditLocation()->isEnabled());
  EXPECT_FALSE(page_->LabelFound()->isEnabled());
  EXPECT_FALSE(page_->ImageFound()->isEnabled());
}

TEST_F(SourcePageTest, NoRemovableBackupSelectsTheChosenFolder) {
  // A backup on a fixed disk's root and one on a medium that is listed but absent are not found.
  const QStringList roots = Volumes({{"fixed", "fixed", true}, {"absent", "removable", false}});
  Touch(roots[0] + "CorvaneBackup/cvbackup.idx");
  Touch(roots[1] + "CorvaneBackup/cvbackup.idx");
  Show();
  EXPECT_FALSE(page_->RadioFound()->isEnabled());
  EXPECT_TRUE(page_->RadioChosen()->isChecked());
  EXPECT_TRUE(page_->EditLocation()->isEnabled());
  EXPECT_EQ(page_->BackupFolder(), "");
}

TEST_F(SourcePageTest, TheCheckOfAChosenFolder) {
  const QStringList roots = Volumes({{"fixed", "fixed", true}});
  Touch(roots[0] + "Backups/CorvaneBackup/cvbackup.idx");
  QDir().mkpath(roots[0] + "Empty");
  QDir().mkpath(roots[0] + "Dir/cvbackup.idx");  // a folder of that name is no index
  Show();
  BoxRecorder boxes;
  struct Case {
    QString typed;
    bool result;
    QString folder;
  } cases[] = {
      {roots[0] + "Backups", true, roots[0] + "Backups/CorvaneBackup/"},
      {roots[0] + "Backups/", true, roots[0] + "Backups/CorvaneBackup/"},
      {roots[0] + "Backups/CorvaneBackup", true, roots[0] + "Backups/CorvaneBackup/"},
      {roots[0] + "Empty", false, ""},
      {roots[0] + "Dir", false, ""},
      {"", false, ""},
      {"Backups", false, ""},
  };
  QString last;
  for (const Case& c : cases) {
    page_->EditLocation()->selectAll();
    QTest::keyClick(page_->EditLocation(), Qt::Key_Backspace);
    QTest::keyClicks(page_->EditLocation(), c.typed);
    EXPECT_EQ(GetAppReg().ReadString(rrSettings, "Settings", "BackupFolder"), c.typed);
    boxes.Clear();
    EXPECT_EQ(page_->Check(), c.result) << qPrintable(c.typed);
    if (c.result) {
      last = c.folder;
      EXPECT_TRUE(boxes.texts.isEmpty());
    } else {
      ASSERT_EQ(boxes.texts.size(), 1);
      EXPECT_EQ(boxes.texts[0], "No backup found in " + c.typed + ".\r\n\r\nPlease select a folder with a valid backup.");
      EXPECT_EQ(boxes.boxes[0].kind, mtError);
      EXPECT_EQ(boxes.boxes[0].caption, "Corvane Software Installer");
    }
    // A failed check keeps the folder found before.
    EXPECT_EQ(page_->BackupFolder(), last) << qPrintable(c.typed);
  }
  // The stored folder comes back on the next showing.
  Show();
  EXPECT_EQ(page_->EditLocation()->text(), "Backups");
}

TEST_F(SourcePageTest, AMediumThatGoesBetweenScanAndCheck) {
  const QStringList roots = Volumes({{"fixed", "fixed", true}, {"stick", "removable", true}});
  Touch(roots[1] + "CorvaneBackup/cvbackup.idx");
  Show();
  ASSERT_TRUE(page_->RadioFound()->isChecked());
  // The stick is pulled: the found choice no longer holds.
  Volumes({{"fixed", "fixed", true}, {"stick", "removable", false}});
  QFile::remove(roots[1] + "CorvaneBackup/cvbackup.idx");
  // A valid chosen folder is not taken in its place behind the user's back.
  Touch(roots[0] + "Other/cvbackup.idx");
  GetAppReg().WriteString(rrSettings, "Settings", "BackupFolder", roots[0] + "Other");
  BoxRecorder boxes;
  EXPECT_FALSE(page_->Check());
  ASSERT_EQ(boxes.texts.size(), 1);
  EXPECT_TRUE(boxes.texts[0].startsWith("No backup found in " + roots[1] + "CorvaneBackup/."));
  EXPECT_TRUE(page_->RadioChosen()->isChecked());
  EXPECT_FALSE(page_->RadioFound()->isEnabled());
  EXPECT_EQ(page_->EditLocation()->text(), roots[0] + "Other");
  // Now chosen: the next Next takes it.
  boxes.Clear();
  EXPECT_TRUE(page_->Check());
  EXPECT_EQ(page_->BackupFolder(), roots[0] + "Other/");
}

TEST_F(SourcePageTest, BrowseOffersNoNewFolderAndStoresTheChoice) {
  const QStringList roots = Volumes({{"fixed", "fixed", true}});
  GetAppReg().WriteString(rrSettings, "Settings", "BackupFolder", roots[0] + "Start");
  Show();
  TBrowseFolderDialog seen;
  page_->ExecuteBrowse = [&](TBrowseFolderDialog& d) {
    seen = d;
    d.Folder = roots[0] + "Chosen/";
    return true;
  };
  QTest::mouseClick(page_->ButtonBrowse(), Qt::LeftButton);
  EXPECT_EQ(seen.Folder, roots[0] + "Start");
  EXPECT_EQ(seen.Kind, bkOpen);
  EXPECT_EQ(seen.Options, 0);
  EXPECT_EQ(GetAppReg().ReadString(rrSettings, "Settings", "BackupFolder"), roots[0] + "Chosen/");
  EXPECT_EQ(page_->EditLocation()->text(), roots[0] + "Chosen/");
}

}  // namespace
