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
#include <QPushButton>
#include <QTimer>
#include <QtTest/QTest>

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
  const TShellData* selected = empty.ShellTree()->SelectedData();
  ASSERT_TRUE(selected);
  EXPECT_TRUE(selected->isVirtual);  // the root stays selected and has no path
  EXPECT_EQ(empty.ShellTree()->SelectedPath(), "");
  EXPECT_FALSE(empty.ButtonOK()->isEnabled());
  EXPECT_FALSE(empty.ButtonNewFolder()->isEnabled());
  EXPECT_TRUE(empty.ButtonNewFolder()->isHidden());
  EXPECT_EQ(empty.windowTitle(), "Backup");

  // A drive is a node of its own under the root, and its folders are found through it.
  QDir(base_).mkpath("usb/Charts");
  ASSERT_TRUE(empty.ShellTree()->SelectPath(base_ + "/usb/Charts"));
  QTreeWidgetItem* drive = empty.ShellTree()->currentItem()->parent();
  ASSERT_TRUE(drive && drive->parent());
  EXPECT_EQ(drive->parent(), empty.ShellTree()->topLevelItem(0));

  BoxRecorder boxes;
  EXPECT_FALSE(empty.ShellTree()->SelectPath(base_ + "/nowhere"));
  ASSERT_EQ(boxes.texts.size(), 1);
  EXPECT_TRUE(boxes.texts[0].startsWith("This folder cannot be found."));
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
