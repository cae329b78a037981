#include "CvBrowseFolderFrm.h"
#include "CvDialogs.h"
#include "CvLanguage.h"
#include "CvLib.h"
#include "CvShellView.h"
#include "BoxRecorder.h"
#include "TestEnv.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPushButton>
#include <QTimer>
#include <QtTest/QTest>

#include <sys/inotify.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

using cvtest::BoxRecorder;

class FolderBrowserTest : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = cvtest::MakeTempFolder("browse");
    QDir(base_).mkpath("a/b");
    // One simulated removable drive besides the system's folders.
    const QString volumes = base_ + "/volumes.txt";
    QDir(base_).mkpath("usb");
    QFile file(volumes);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write((base_ + "/usb\t2\t1\n").toUtf8());
    file.close();
    qputenv("CORVANE_VOLUMES", volumes.toUtf8());
  }
  void TearDown() override {
    SetCurrentLanguage(lgEnglish);
    qunsetenv("CORVANE_VOLUMES");
  }
  QString base_;
};

TEST_F(FolderBrowserTest, StartFolderClimbsToAnExistingFolder) {
  TFormBrowseFolder form(false, bkSave, bfNewFolder, base_ + "/a/Missing/Deeper", "", nullptr);
  EXPECT_EQ(form.ShellTree()->SelectedPath(), base_ + "/a/");
  EXPECT_TRUE(form.ButtonOK()->isEnabled());
  EXPECT_TRUE(form.ButtonNewFolder()->isEnabled());
  EXPECT_EQ(form.windowTitle(), "Select Destination Folder");
  EXPECT_EQ(form.size(), QSize(361, 300));

  TFormBrowseFolder empty(false, bkOpen, 0, "", "Backup", nullptr);
  EXPECT_EQ(empty.ShellTree()->SelectedData(), nullptr);  // nothing selected
  EXPECT_EQ(empty.ShellTree()->SelectedPath(), "");
  EXPECT_FALSE(empty.ButtonOK()->isEnabled());
  EXPECT_FALSE(empty.ButtonNewFolder()->isEnabled());
  EXPECT_TRUE(empty.ButtonNewFolder()->isHidden());
  EXPECT_EQ(empty.windowTitle(), "Backup");

  // A drive is a node of its own at the top, and its folders are found through it.
  QDir(base_).mkpath("usb/Charts");
  ASSERT_TRUE(empty.ShellTree()->SelectPath(base_ + "/usb/Charts"));
  QTreeWidgetItem* drive = empty.ShellTree()->currentItem()->parent();
  ASSERT_TRUE(drive);
  EXPECT_EQ(drive->parent(), nullptr);
  EXPECT_EQ(drive->text(0), "usb");

  BoxRecorder boxes;
  EXPECT_FALSE(empty.ShellTree()->SelectPath(base_ + "/nowhere"));
  ASSERT_EQ(boxes.texts.size(), 1);
  EXPECT_TRUE(boxes.texts[0].startsWith("This folder cannot be found."));
}

// The top as the desktop's file dialogs show it: the home folder and the volumes, no
// "Desktop" root that holds them.
TEST_F(FolderBrowserTest, TopHoldsHomeTheFileSystemAndTheVolumes) {
  TShellTreeViewEx tree;
  ASSERT_GE(tree.topLevelItemCount(), 3);
  EXPECT_EQ(tree.topLevelItem(0)->text(0), "Home");
  EXPECT_EQ(tree.topLevelItem(0)->toolTip(0), QDir::homePath());
  EXPECT_EQ(tree.topLevelItem(1)->text(0), "File System");
  EXPECT_EQ(tree.topLevelItem(1)->toolTip(0), "/");
  for (int i = 0; i < tree.topLevelItemCount(); ++i) EXPECT_NE(tree.topLevelItem(i)->text(0), "Desktop");
}

// A start folder inside a hidden one (the default install folder ~/.local/opt/Corvane/ is)
// is reached, not replaced by the nearest shown folder. Hidden folders show on request, and
// the choice is remembered.
TEST_F(FolderBrowserTest, HiddenFoldersOnTheWayAndOnRequest) {
  QDir(base_).mkpath(".local/opt/Corvane");
  QDir(base_).mkpath(".cache");
  {
    TFormBrowseFolder form(false, bkSave, bfNewFolder, base_ + "/.local/opt/Corvane/", "", nullptr);
    EXPECT_EQ(form.ShellTree()->SelectedPath(), base_ + "/.local/opt/Corvane/");
    EXPECT_TRUE(form.ButtonOK()->isEnabled());
    EXPECT_FALSE(form.ShellTree()->ShowHidden());
    // Only the way to it shows; the other hidden folder stays out.
    const QTreeWidgetItem* local = form.ShellTree()->currentItem()->parent()->parent();
    ASSERT_TRUE(local);
    EXPECT_EQ(local->text(0), ".local");
    const QTreeWidgetItem* base = local->parent();
    for (int i = 0; i < base->childCount(); ++i) EXPECT_NE(base->child(i)->text(0), ".cache");
    form.ShellTree()->SetShowHidden(true);
    EXPECT_EQ(form.ShellTree()->SelectedPath(), base_ + "/.local/opt/Corvane/");
  }
  TFormBrowseFolder again(false, bkSave, bfNewFolder, base_ + "/a", "", nullptr);
  EXPECT_TRUE(again.ShellTree()->ShowHidden());
  const QTreeWidgetItem* base = again.ShellTree()->currentItem()->parent();
  QStringList names;
  for (int i = 0; i < base->childCount(); ++i) names << base->child(i)->text(0);
  EXPECT_TRUE(names.contains(".cache")) << qPrintable(names.join(' '));
  again.ShellTree()->SetShowHidden(false);
  EXPECT_FALSE(GetAppReg().ReadBool(rrSettings, "FolderBrowser", "ShowHidden", true));
}

// Delete moves a folder to the desktop's trash, after a question that says so.
TEST_F(FolderBrowserTest, DeleteMovesToTheTrash) {
  QDir(base_).mkpath("a/old/inner");
  TFormBrowseFolder form(false, bkSave, bfNewFolder, base_ + "/a/old", "", nullptr);
  TShellTreeViewEx* tree = form.ShellTree();
  ASSERT_EQ(tree->SelectedPath(), base_ + "/a/old/");
  {
    BoxRecorder boxes(mrNo);
    QTest::keyClick(tree, Qt::Key_Delete);
    ASSERT_EQ(boxes.texts.size(), 1);
    EXPECT_TRUE(boxes.texts[0].contains("\"old\"") && boxes.texts[0].contains("trash")) << qPrintable(boxes.texts[0]);
    EXPECT_TRUE(QFileInfo(base_ + "/a/old/inner").isDir());
  }
  BoxRecorder boxes(mrYes);
  QTest::keyClick(tree, Qt::Key_Delete);
  EXPECT_FALSE(QFileInfo::exists(base_ + "/a/old"));
  const QString trash = qEnvironmentVariable("XDG_DATA_HOME") + "/Trash";
  EXPECT_TRUE(QFileInfo(trash + "/files/old/inner").isDir());
  EXPECT_TRUE(QFileInfo(trash + "/info/old.trashinfo").isFile());
  EXPECT_EQ(tree->SelectedPath(), base_ + "/a/");
  // The top nodes are not for deleting.
  tree->setCurrentItem(tree->topLevelItem(0));
  boxes.Clear();
  QTest::keyClick(tree, Qt::Key_Delete);
  EXPECT_TRUE(boxes.texts.isEmpty());
}

// A remote volume is named at the top but not read until the user opens it: a dead server
// would stall the window as it opens.
TEST_F(FolderBrowserTest, RemoteVolumeIsNotReadUntilOpened) {
  QDir(base_).mkpath("remote/share");
  QFile file(base_ + "/volumes.txt");
  ASSERT_TRUE(file.open(QIODevice::Append));
  file.write((base_ + "/remote\t4\t1\n").toUtf8());
  file.close();
  const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(inotify_add_watch(watch, QFile::encodeName(base_ + "/remote").constData(), IN_OPEN | IN_ACCESS), 0);
  auto reads = [&] {
    char buffer[4096];
    int events = 0;
    for (ssize_t n; (n = ::read(watch, buffer, sizeof buffer)) > 0;) events += int(n);
    return events;
  };
  TFormBrowseFolder form(false, bkOpen, bfNewFolder, base_ + "/a", "", nullptr);
  QTreeWidgetItem* remote = nullptr;
  for (int i = 0; i < form.ShellTree()->topLevelItemCount(); ++i)
    if (form.ShellTree()->topLevelItem(i)->text(0) == "remote") remote = form.ShellTree()->topLevelItem(i);
  ASSERT_TRUE(remote);
  EXPECT_EQ(remote->childIndicatorPolicy(), QTreeWidgetItem::ShowIndicator);
  EXPECT_EQ(reads(), 0) << "the remote volume was read as the window opened";
  remote->setExpanded(true);
  EXPECT_GT(reads(), 0);
  ASSERT_EQ(remote->childCount(), 1);
  EXPECT_EQ(remote->child(0)->text(0), "share");
  ::close(watch);
}

TEST_F(FolderBrowserTest, NewFolderNamesAndRefusals) {
  SetCurrentLanguage(lgGerman);
  QDir(base_).mkpath("a/Neuer Ordner");
  QDir(base_).mkpath("a/Neuer Ordner (1)");
  TFormBrowseFolder form(false, bkSave, bfNewFolder, base_ + "/a", "", nullptr);
  TShellTreeViewEx* tree = form.ShellTree();
  ASSERT_TRUE(tree->CreateNewFolder());
  EXPECT_TRUE(QDir(base_ + "/a/Neuer Ordner (2)").exists());
  EXPECT_EQ(tree->SelectedPath(), base_ + "/a/Neuer Ordner (2)/");

  BoxRecorder boxes;
  struct Case {
    QString name;
    bool created;
    QString message;
  };
  const Case cases[] = {
      {"bad:name", false, LangText(ctFolderNameInvalid)},
      {"Neuer Ordner", false, LangText(ctFolderNameExists)},
      {"Gut", true, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name.toStdString());
    ASSERT_TRUE(tree->SelectPath(base_ + "/a"));
    tree->OnFolderCreate = [&](TShellTreeViewEx*, QString& name, bool&) { name = c.name; };
    boxes.Clear();
    EXPECT_EQ(tree->CreateNewFolder(), c.created);
    if (c.message.isEmpty()) {
      EXPECT_TRUE(boxes.texts.isEmpty());
    } else {
      EXPECT_EQ(boxes.texts, QStringList{c.message});
    }
  }
  EXPECT_TRUE(QDir(base_ + "/a/Gut").exists());
  EXPECT_FALSE(QFile::exists(base_ + "/a/bad:name"));

  tree->OnFolderCreate = [](TShellTreeViewEx*, QString&, bool& can) { can = false; };
  EXPECT_FALSE(tree->CreateNewFolder());

  TFormBrowseFolder readOnly(true, bkSave, bfNewFolder, base_ + "/a", "", nullptr);
  EXPECT_FALSE(readOnly.ShellTree()->CreateNewFolder());
}

TEST_F(FolderBrowserTest, ReadOnlyFolderIsNotReturnedWithNoReadOnlyReturn) {
  const QString locked = base_ + "/locked";
  QDir().mkpath(locked);
  QFile::setPermissions(locked, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
  TFormBrowseFolder strict(false, bkSave, bfNewFolder | bfNoReadOnlyReturn, locked, "", nullptr);
  EXPECT_EQ(strict.ShellTree()->SelectedPath(), locked + "/");
  EXPECT_FALSE(strict.ButtonOK()->isEnabled());
  EXPECT_TRUE(strict.ButtonNewFolder()->isEnabled());
  TFormBrowseFolder lenient(false, bkOpen, bfNewFolder, locked, "", nullptr);
  EXPECT_TRUE(lenient.ButtonOK()->isEnabled());
  QFile::setPermissions(locked, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

TEST_F(FolderBrowserTest, RenameInPlaceAndRefresh) {
  TFormBrowseFolder form(false, bkSave, bfNewFolder, base_ + "/a/b", "", nullptr);
  TShellTreeViewEx* tree = form.ShellTree();
  QTreeWidgetItem* item = tree->currentItem();
  ASSERT_TRUE(item);
  BoxRecorder boxes;
  item->setText(0, "c");  // what the in-place editor commits
  EXPECT_TRUE(QDir(base_ + "/a/c").exists());
  EXPECT_FALSE(QDir(base_ + "/a/b").exists());
  EXPECT_EQ(tree->SelectedPath(), base_ + "/a/c/");

  item->setText(0, "x/y");
  EXPECT_EQ(boxes.texts, QStringList{LangText(ctFolderNameInvalid)});
  EXPECT_EQ(item->text(0), "c");

  QDir(base_).mkpath("a/c/new-outside");
  QTest::keyClick(tree, Qt::Key_F5);
  EXPECT_EQ(tree->SelectedPath(), base_ + "/a/c/");
  tree->currentItem()->setExpanded(true);
  EXPECT_EQ(tree->currentItem()->childCount(), 1);

  // A vanished selection falls back to the nearest folder that still exists.
  QDir(base_ + "/a/c").removeRecursively();
  tree->Refresh();
  EXPECT_EQ(tree->SelectedPath(), base_ + "/a/");
}

TEST_F(FolderBrowserTest, ExecuteReturnsTheFolderWithATrailingSlash) {
  TBrowseFolderDialog dialog;
  dialog.Folder = base_ + "/a/b";
  QTimer::singleShot(0, [] {
    auto* form = qobject_cast<TFormBrowseFolder*>(QApplication::activeModalWidget());
    ASSERT_TRUE(form);
    form->ButtonOK()->click();
  });
  ASSERT_TRUE(dialog.Execute());
  EXPECT_EQ(dialog.Folder, base_ + "/a/b/");

  dialog.Folder = base_;
  QTimer::singleShot(0, [] {
    auto* form = qobject_cast<TFormBrowseFolder*>(QApplication::activeModalWidget());
    ASSERT_TRUE(form);
    form->ButtonCancel()->click();
  });
  EXPECT_FALSE(dialog.Execute());
  EXPECT_EQ(dialog.Folder, base_);
}

}  // namespace
