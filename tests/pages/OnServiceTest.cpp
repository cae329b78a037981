// The three pages on what the real service and cvtool make: the demo account's product list,
// and a backup made by cvtool account download on a (simulated) USB stick.
#include "BoxRecorder.h"
#include "CvProductTree.h"
#include "FraPageDestinationInstall.h"
#include "FraPageSelectSoftware.h"
#include "FraPageSourceInstall.h"
#include "IntegrationFixture.h"
#include "PagesFixture.h"

#include <QProcess>
#include <QRadioButton>
#include <QVBoxLayout>

namespace {

using cvtest::BoxRecorder;

class OnServiceTest : public PagesFixture {
 protected:
  void SetUp() override {
    PagesFixture::SetUp();
    window_ = std::make_unique<QWidget>();
    area_ = new QWidget(window_.get());
    new QVBoxLayout(area_);
    area_->setGeometry(0, 0, 650, 400);
    window_->resize(650, 400);
  }
  void TearDown() override {
    window_.reset();
    PagesFixture::TearDown();
  }
  // The tree's rows as "text|status", children indented.
  static QStringList Rows(const TProductTreeModel& m, const QModelIndex& parent = {}, const QString& indent = {}) {
    QStringList rows;
    for (int r = 0; r < m.rowCount(parent); ++r) {
      const QModelIndex i = m.index(r, 0, parent);
      rows << indent + m.data(i).toString() + "|" + m.data(i.sibling(r, 1)).toString();
      rows += Rows(m, i, indent + "  ");
    }
    return rows;
  }
  std::unique_ptr<QWidget> window_;
  QWidget* area_ = nullptr;
};

TEST_F(OnServiceTest, TheDemoAccountsProductsWithAnInstalledProgram) {
  // Navigator 5.1 is installed; the service offers 5.2.
  const QString dir = cvtest::MakeTempFolder("nav") + "/Corvane Navigator/";
  Touch(dir + "Navigator", QByteArray("CVPRODUCTVERSION=5.1.0.0") + QByteArray(1, '\0'));
  ASSERT_EQ(GetAppReg().WriteString(rrSoftware, "Navigator", "RootDir", dir), 0);

  cvtest::EngineOnService engine(cvtest::DemoService().url);
  ASSERT_EQ(engine.SignIn(cvtest::DemoCredentials()), 0);
  TFramePageSelectSoftware page(nullptr, engine.check.get(), window_.get());
  page.SetMode(3);
  page.Clear();
  for (int i = 0; i < engine.check->ProductCount(); ++i) page.AddProduct(engine.check->Product(i));
  page.SetParent(area_);
  EXPECT_EQ(Rows(*page.TreeModel()), QStringList({
                                         "Programs|",
                                         "General|",
                                         "Corvane Navigator|update available",
                                         "QMR Manager|new software",
                                         "Charts|",
                                         "2019|",
                                         "North Sea Charts|",
                                         "  Netherlands|new chartset",
                                         "  Belgium|new chartset",
                                         "General|",
                                         "Baltic Charts|",
                                         "  Denmark|new chartset",
                                         "Addons|",
                                         "General|",
                                         "Tide Planner|new software",
                                     }))
      << qPrintable(Rows(*page.TreeModel()).join('\n'));
  // The navigator's tick carries its driver companion.
  ASSERT_TRUE(page.TreeModel()->ToggleTick(page.TreeModel()->index(2, 0)));
  const ProductRecord* drivers = engine.check->FindProductRecord(100, 2);
  ASSERT_TRUE(drivers);
  EXPECT_TRUE(drivers->Checked());
  EXPECT_EQ(page.RequiredSpace(), engine.check->FindProductRecord(100, 1)->Size() + drivers->Size());
  BoxRecorder boxes(mrYes);
  EXPECT_TRUE(page.ValidateSelection());
  EXPECT_EQ(boxes.texts.size(), 1);  // the overwrite question, once
  page.SetParent(nullptr);
}

TEST_F(OnServiceTest, ABackupMadeByCvtoolOnAStick) {
  const QStringList roots = Volumes({{"disk", "fixed", true}, {"stick", "removable", true}});
  const QString backup = roots[1] + "CorvaneBackup";
  QProcess tool;
  tool.start(cvtest::BinDir() + "/cvtool",
             {"account", cvtest::DemoService().url, "download", backup, "1002:1", "1001:1", "110:1", "--email",
              cvtest::DemoService().email, "--password", cvtest::DemoService().password});
  ASSERT_TRUE(tool.waitForFinished(60000));
  ASSERT_EQ(tool.exitCode(), 0) << tool.readAllStandardError().toStdString();

  // Page 6 finds the backup on the stick.
  TFramePageSourceInstall source(window_.get());
  source.SetParent(area_);
  EXPECT_TRUE(source.RadioFound()->isChecked());
  BoxRecorder boxes(mrYes);
  ASSERT_TRUE(source.Check());
  EXPECT_EQ(source.BackupFolder(), backup + "/");
  source.SetParent(nullptr);

  // As the wizard goes on to page 2: the backup's products, all ticked.
  cvtest::EngineOnService engine{QString()};
  ASSERT_EQ(engine.check->ReadBackupIndex(source.BackupFolder() + "cvbackup.idx"), 0);
  engine.check->ClearProducts();
  for (int i = 0; i < engine.check->ItemCount(); ++i) engine.check->AddItemProduct(engine.check->Item(i));
  engine.check->FinishProducts();
  ASSERT_EQ(engine.check->ProductCount(), 3);
  TFramePageSelectSoftware page(nullptr, engine.check.get(), window_.get());
  page.SetMode(1);
  page.Clear();
  for (int i = 0; i < engine.check->ProductCount(); ++i) {
    page.AddProduct(engine.check->Product(i));
    engine.check->Product(i)->SetChecked(true);
  }
  page.SetParent(area_);
  EXPECT_EQ(Rows(*page.TreeModel()), QStringList({"Programs|", "General|", "QMR Manager|new software", "Charts|",
                                                  "2019|", "North Sea Charts|", "  Netherlands|new chartset",
                                                  "General|", "Baltic Charts|", "  Denmark|new chartset"}))
      << qPrintable(Rows(*page.TreeModel()).join('\n'));
  boxes.Clear();
  EXPECT_TRUE(page.ValidateSelection());
  EXPECT_TRUE(boxes.texts.isEmpty());
  page.SetParent(nullptr);

  // Page 3 refuses to install into the backup itself.
  TFramePageDestinationInstall destination(window_.get());
  destination.SetMode(1);
  destination.SetRequiredSpace(page.RequiredSpace());
  GetAppReg().WriteBool(rrSettings, "Settings", "FolderDefault", false);
  GetAppReg().WriteString(rrSettings, "Settings", "FolderDestination", backup);
  destination.SetParent(area_);
  boxes.Clear();
  EXPECT_FALSE(destination.Check());
  ASSERT_EQ(boxes.texts.size(), 1);
  EXPECT_TRUE(boxes.texts[0].startsWith("The specified installation folder contains a backup."));
  destination.SetParent(nullptr);

  // Creating a backup again into the same folder: what it holds is "already in backup".
  page.SetMode(0);
  page.Clear();
  for (int i = 0; i < engine.check->ProductCount(); ++i) page.AddProduct(engine.check->Product(i));
  page.SetParent(area_);
  EXPECT_EQ(Rows(*page.TreeModel()).filter("already in backup").size(), 3);
  page.SetParent(nullptr);
}

}  // namespace
