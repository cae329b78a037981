// The destination page on a simulated volume table: defaults, remembered folders, the five
// checks and the folder dialog's start.
#include "BoxRecorder.h"
#include "FraPageDestinationInstall.h"
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

const QString kNoFolder =
    "No installation folder specified. \r\n\r\nPlease specify the folder where you would like the charts to be "
    "installed to.";
const QString kNoDrive = "The specified installation-drive does not exist. \r\n\r\nPlease specify a folder on an existing drive.";
const QString kShare =
    "The specified destination folder is invalid because it is on a network share.\r\n\r\nPlease specify a folder "
    "on a harddrive.";
const QString kBackup =
    "The specified installation folder contains a backup. It is not possible to install a backup into a folder "
    "with the same or other backup.\r\n\r\nPlease specify a different installation folder.";

class DestinationPageTest : public PagesFixture {
 protected:
  void SetUp() override {
    PagesFixture::SetUp();
    window_ = std::make_unique<QWidget>();
    area_ = new QWidget(window_.get());
    new QVBoxLayout(area_);
    area_->setGeometry(0, 0, 650, 400);
    page_ = new TFramePageDestinationInstall(window_.get());
    page_->ProbeFreeSpace = [this](const QString& folder, std::int64_t& free) {
      probed_ << folder;
      free = free_;
      return 0;
    };
    window_->resize(650, 400);
    window_->show();
  }
  void TearDown() override {
    window_.reset();
    PagesFixture::TearDown();
  }
  void Show(int mode, qint64 required = 0) {
    page_->SetParent(nullptr);
    page_->SetMode(mode);
    page_->SetRequiredSpace(required);
    page_->SetParent(area_);
  }
  QString Stored(const char* name) { return GetAppReg().ReadString(rrSettings, "Settings", name); }

  std::unique_ptr<QWidget> window_;
  QWidget* area_ = nullptr;
  TFramePageDestinationInstall* page_ = nullptr;
  qint64 free_ = 1000;
  QStringList probed_;
};

TEST_F(DestinationPageTest, FirstShowingInInstallMode) {
  const QStringList roots = Volumes({{"sys", "fixed", true}});
  QString programFiles;
  ASSERT_TRUE(ShlGetSpecialFolderPath(csfProgramFiles, programFiles));
  EXPECT_EQ(page_->ProgramFilesFolder(), programFiles + "/");
  Show(3, 500);
  EXPECT_TRUE(page_->RadioDefault()->isChecked());
  EXPECT_FALSE(page_->RadioUser()->isChecked());
  EXPECT_EQ(page_->ChosenFolder(), programFiles + "/Corvane/");
  EXPECT_FALSE(page_->ButtonBrowse()->isEnabled());
  EXPECT_FALSE(page_->EditUser()->isEnabled());
  EXPECT_TRUE(page_->EditDefault()->isReadOnly());
  EXPECT_EQ(page_->EditUser()->text(), programFiles + "/Corvane/");
  EXPECT_FALSE(page_->LabelSpaceRequired()->isHidden());
  EXPECT_EQ(page_->RadioDefault()->text(), "Default folder");
  EXPECT_EQ(page_->RadioUser()->text(), "User defined folder");
  EXPECT_EQ(page_->ButtonBrowse()->text(), "Browse...");
  EXPECT_TRUE(page_->LabelSpaceAvailable()->text().startsWith("Disk space available: "));
  EXPECT_TRUE(page_->LabelSpaceRequired()->text().startsWith(" Disk space required: "));
  // The user choice with nothing stored shows the default and yields what it shows.
  QTest::mouseClick(page_->RadioUser(), Qt::LeftButton, Qt::NoModifier, QPoint(6, 8));
  EXPECT_EQ(page_->EditUser()->text(), programFiles + "/Corvane/");
  EXPECT_EQ(page_->ChosenFolder(), programFiles + "/Corvane/");
  // A text set by a program is stored as typed text is.
  page_->EditUser()->setText(roots[0] + "Set");
  EXPECT_EQ(Stored("FolderDestination"), roots[0] + "Set");
}

TEST_F(DestinationPageTest, PathEllipsisDropsLeadingFolders) {
  const QFontMetrics fm(page_->font());
  const QString path = "/very/long/leading/folders/Corvane/";
  EXPECT_EQ(PathEllipsis(path, fm, 10000), path);
  const QString shortened = PathEllipsis(path, fm, fm.horizontalAdvance(".../folders/Corvane/") + 1);
  EXPECT_EQ(shortened, ".../folders/Corvane/");
  EXPECT_LE(fm.horizontalAdvance(PathEllipsis(path, fm, 30)), 30);
}

TEST_F(DestinationPageTest, BackupModeOffersTheFirstPresentRemovableMedium) {
  const QStringList roots = Volumes({{"sys", "fixed", true},
                                     {"reader", "removable", false},  // listed, no medium
                                     {"E", "removable", true},
                                     {"F", "removable", true}});
  Show(0);
  EXPECT_TRUE(page_->RadioDefault()->isEnabled());
  EXPECT_TRUE(page_->RadioDefault()->isChecked());
  EXPECT_EQ(page_->EditDefault()->text(), roots[2]);
  EXPECT_EQ(page_->ChosenFolder(), roots[2] + "CorvaneBackup/");
  EXPECT_TRUE(page_->LabelSpaceRequired()->isHidden());

  // No removable medium at all: the user choice, the default disabled.
  Volumes({{"sys", "fixed", true}, {"reader", "removable", false}});
  Show(3);
  Show(0);
  EXPECT_FALSE(page_->RadioDefault()->isEnabled());
  EXPECT_TRUE(page_->RadioUser()->isChecked());
  EXPECT_EQ(page_->EditDefault()->text(), "");
  EXPECT_TRUE(page_->ButtonBrowse()->isEnabled());
  // Install mode offers its default again.
  Show(3);
  EXPECT_TRUE(page_->RadioDefault()->isEnabled());
}

TEST_F(DestinationPageTest, ADeletedStoredFolderIsForgotten) {
  const QStringList roots = Volumes({{"sys", "fixed", true}});
  const QString folder = roots[0] + "Mine";
  QDir().mkpath(folder);
  Show(3);
  // The user types a folder: it is stored and chosen.
  QTest::mouseClick(page_->RadioUser(), Qt::LeftButton, Qt::NoModifier, QPoint(6, 8));
  EXPECT_FALSE(GetAppReg().ReadBool(rrSettings, "Settings", "FolderDefault", true));
  EXPECT_TRUE(page_->EditUser()->isEnabled());
  page_->EditUser()->clear();
  QTest::keyClicks(page_->EditUser(), folder);
  EXPECT_EQ(Stored("FolderDestination"), folder);
  EXPECT_EQ(page_->ChosenFolder(), folder + "/");
  EXPECT_EQ(probed_.last(), roots[0]);
  Show(3);
  EXPECT_TRUE(page_->RadioUser()->isChecked());

  QDir(folder).removeRecursively();
  Show(3);
  EXPECT_EQ(Stored("FolderDestination"), "");
  EXPECT_TRUE(page_->RadioDefault()->isChecked());
}

TEST_F(DestinationPageTest, TheChecksInTheirOrder) {
  const QStringList roots = Volumes({{"sys", "fixed", true},
                                     {"share", "remote", true},
                                     {"deadshare", "remote", false},
                                     {"stick", "removable", false}});
  QDir().mkpath(roots[0] + "WithBackup");
  Touch(roots[0] + "WithBackup/cvbackup.idx");
  QDir().mkpath(roots[1] + "charts");
  BoxRecorder boxes;
  struct Case {
    const char* name;
    int mode;
    QString folder;
    qint64 free, required;
    bool result;
    QString text;
  };
  const QString noSpace = "There is not enough disk space available on drive '" + roots[0] +
                          "'\r\n\r\nSelect a different installation location.";
  const Case cases[] = {
      {"empty, backup mode", 0, "", 0, 0, false, kNoFolder},
      {"relative", 3, "relative/folder", 0, 0, false, kNoDrive},
      {"on no volume", 3, "/nowhere/at/all", 0, 0, false, kNoDrive},
      {"medium absent", 3, roots[3] + "x", 0, 0, false, kNoDrive},
      {"reachable share", 3, roots[1] + "charts", 10, 0, false, kShare},
      {"dead share", 3, roots[2] + "charts", 10, 0, false, kNoDrive},
      {"backup inside, from a backup", 1, roots[0] + "WithBackup", 10, 0, false, kBackup},
      {"backup inside, online", 3, roots[0] + "WithBackup", 10, 0, true, ""},
      {"space equal", 3, roots[0] + "New/Deeper", 500, 500, true, ""},
      {"one byte short", 3, roots[0] + "New/Deeper", 499, 500, false, noSpace},
  };
  for (const Case& c : cases) {
    GetAppReg().WriteBool(rrSettings, "Settings", "FolderDefault", false);
    GetAppReg().WriteString(rrSettings, "Settings", "FolderDestination", c.folder);
    GetAppReg().WriteString(rrSettings, "Settings", "FolderDestinationBackup", c.folder);
    free_ = c.free;
    page_->SetMode(c.mode);
    page_->SetRequiredSpace(c.required);
    // Not placed again: a stored folder that does not exist would be forgotten, and the check
    // must hold on its own.
    page_->RadioUser()->setChecked(true);
    page_->RadioDefault()->setChecked(false);
    boxes.Clear();
    EXPECT_EQ(page_->Check(), c.result) << c.name;
    EXPECT_EQ(boxes.texts, c.text.isEmpty() ? QStringList() : QStringList{c.text}) << c.name;
    for (const auto& b : boxes.boxes) {
      EXPECT_EQ(b.kind, mtError);
      EXPECT_EQ(b.caption, "Corvane Software Installer");
    }
    // Remote volumes are never asked for their free space.
    for (const QString& p : probed_) EXPECT_FALSE(p.startsWith(roots[1]) || p.startsWith(roots[2])) << c.name;
  }
  // The label turns red when short.
  EXPECT_TRUE(page_->AvailableRed());
  EXPECT_EQ(page_->AvailableSpace(), 499);
}

TEST_F(DestinationPageTest, BrowseStartsWhereTheModeSays) {
  const QStringList roots = Volumes({{"sys", "fixed", true}});
  QDir().mkpath(roots[0] + "Picked");
  TBrowseFolderDialog seen;
  bool answer = false;
  page_->ExecuteBrowse = [&](TBrowseFolderDialog& d) {
    seen = d;
    d.Folder = roots[0] + "Picked/";
    return answer;
  };
  Show(3);
  QTest::mouseClick(page_->RadioUser(), Qt::LeftButton, Qt::NoModifier, QPoint(6, 8));
  GetAppReg().WriteString(rrSettings, "Settings", "FolderDestination", "");
  QTest::mouseClick(page_->ButtonBrowse(), Qt::LeftButton);
  EXPECT_EQ(seen.Folder, page_->ProgramFilesFolder() + "Corvane/");
  EXPECT_EQ(seen.Kind, bkOpen);
  EXPECT_EQ(seen.Options, bfNewFolder);
  EXPECT_EQ(Stored("FolderDestination"), "");  // cancelled: nothing stored
  answer = true;
  QTest::mouseClick(page_->ButtonBrowse(), Qt::LeftButton);
  EXPECT_EQ(Stored("FolderDestination"), roots[0] + "Picked/");
  EXPECT_EQ(page_->EditUser()->text(), roots[0] + "Picked/");
  QTest::mouseClick(page_->ButtonBrowse(), Qt::LeftButton);
  EXPECT_EQ(seen.Folder, roots[0] + "Picked/");

  // Backup mode with nothing stored starts at the program's own folder.
  Show(0);
  QTest::mouseClick(page_->ButtonBrowse(), Qt::LeftButton);
  EXPECT_EQ(seen.Folder, QCoreApplication::applicationDirPath() + "/");
  EXPECT_EQ(Stored("FolderDestinationBackup"), roots[0] + "Picked/");
  EXPECT_EQ(page_->ChosenFolder(), roots[0] + "Picked/");
}

}  // namespace
