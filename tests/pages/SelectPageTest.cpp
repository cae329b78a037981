// The product selection page with its view: placing, the checks on Next, the footer, the
// empty list, and ticking with the mouse and the keyboard.
#include "BoxRecorder.h"
#include "CvProductTree.h"
#include "CvStrUtils.h"
#include "FraPageSelectSoftware.h"
#include "PagesFixture.h"

#include <QAccessible>
#include <QHeaderView>
#include <QLabel>
#include <QVBoxLayout>
#include <QtTest/QTest>

#include <gtest/gtest.h>

namespace {

using cvtest::BoxRecorder;

class SelectPageTest : public PagesFixture {
 protected:
  void SetUp() override {
    PagesFixture::SetUp();
    window_ = std::make_unique<QWidget>();
    window_->resize(650, 300);
    area_ = new QWidget(window_.get());
    new QVBoxLayout(area_);
    area_->setGeometry(0, 0, 650, 300);
    page_ = new TFramePageSelectSoftware(nullptr, nullptr, window_.get());
    window_->show();
  }
  void TearDown() override {
    window_.reset();
    PagesFixture::TearDown();
  }
  void Place() {
    page_->SetParent(nullptr);
    page_->SetParent(area_);
    QCoreApplication::processEvents();
  }
  QRect RowRect(const QModelIndex& index) { return page_->ListView()->visualRect(index); }

  std::unique_ptr<QWidget> window_;
  QWidget* area_ = nullptr;
  TFramePageSelectSoftware* page_ = nullptr;
};

TEST_F(SelectPageTest, EmptyListShowsTheDutchLinesOfTheModeAndAsksForAProduct) {
  BoxRecorder boxes;
  for (int mode : {0, 1, 3}) {
    page_->SetMode(mode);
    page_->Clear();
    Place();
    EXPECT_TRUE(page_->ListView()->isHeaderHidden());
    EXPECT_EQ(page_->ListView()->EmptyTextAbove(), mode == 1 ? "De gekozen backup bevat geen software."
                                                             : "Het ingevoerde account bevat geen software die kan "
                                                               "worden gedownload.");
    EXPECT_EQ(page_->ListView()->EmptyTextBelow(), mode == 1 ? "Kies een andere backup alstublieft."
                                                             : "Kies een ander account of koppel software aan het "
                                                               "gekozen account.");
    page_->SetFreeSpace(0);
    boxes.Clear();
    EXPECT_FALSE(page_->ValidateSelection());
    ASSERT_EQ(boxes.boxes.size(), 1);
    EXPECT_EQ(boxes.texts[0], "You haven't selected a product.\r\n\r\nPlease select at least one product.");
    EXPECT_EQ(boxes.boxes[0].kind, mtInformation);
    EXPECT_EQ(boxes.boxes[0].caption, "Information");  // the kind's caption
  }
  // The empty tree paints without rows.
  const QImage shot = page_->ListView()->viewport()->grab().toImage();
  EXPECT_FALSE(shot.isNull());
}

TEST_F(SelectPageTest, ValidationTable) {
  BoxRecorder boxes;
  struct Case {
    const char* name;
    int mode;
    qint64 free;
    bool present1, present2;
    int answer;
    bool result;
    QStringList texts;
  };
  const QString overwrite =
      "You have selected one or more products that have been installed already.\r\n\r\nDo you wish to overwrite these?";
  const QString noSpace =
      "There is not enough disk space available in the selected folder.\r\n\r\nSelect a different installation "
      "location by going back or select fewer software.";
  const Case cases[] = {
      {"backup, one byte short", 0, 299, false, false, mrOk, false, {noSpace}},
      {"backup, space equal", 0, 300, true, true, mrOk, true, {}},
      {"online, two present, yes", 3, 0, true, true, mrYes, true, {overwrite}},
      {"online, two present, no", 3, 0, true, true, mrNo, false, {overwrite}},
      {"online, none present", 3, 0, false, false, mrYes, true, {}},
      {"from backup, present", 1, 0, true, true, mrNo, true, {}},
  };
  for (const Case& c : cases) {
    page_->Clear();  // before the records go: the page points at them
    records_.clear();
    page_->SetMode(c.mode);
    ProductRecord* a = Rec(pkProgram, 1, 1, 1, "A", "", 100);
    ProductRecord* b = Rec(pkProgram, 2, 1, 1, "B", "", 200);
    page_->AddProduct(a);
    page_->AddProduct(b);
    a->SetChecked(true);
    b->SetChecked(true);
    a->SetPresent(c.present1);
    b->SetPresent(c.present2);
    page_->SetFreeSpace(c.free);
    Place();
    EXPECT_EQ(page_->RequiredSpace(), 300) << c.name;
    EXPECT_EQ(page_->FooterRed(), c.mode == 0 && c.free < 300) << c.name;
    boxes.Clear();
    boxes.Answer(c.answer);
    EXPECT_EQ(page_->ValidateSelection(), c.result) << c.name;
    EXPECT_EQ(boxes.texts, c.texts) << c.name;
    for (const auto& box : boxes.boxes) EXPECT_EQ(box.caption, "Corvane Software Installer") << c.name;
  }
  page_->Clear();
  records_.clear();
}

TEST_F(SelectPageTest, PlacingBuildsTheTreeFromTheRecordsTicks) {
  page_->SetMode(3);
  page_->Clear();
  ProductRecord* nav = Rec(pkProgram, 100, 1, 9999, "Navigator", "", 1 << 20);
  ProductRecord* drv = Rec(pkCompanion, 100, 2, 9999, "Drivers", "", 1 << 20);
  ProductRecord* a = Rec(pkChartSet, 1001, 1, 2019, "North Sea", "Part A", 1 << 20);
  ProductRecord* b = Rec(pkChartSet, 1001, 2, 2019, "North Sea", "Part B", 1 << 20);
  for (ProductRecord* r : {nav, drv, a, b}) page_->AddProduct(r);
  // The wizard ticks after adding; ticks show once the page is placed.
  nav->SetChecked(true);
  drv->SetChecked(true);
  a->SetChecked(true);
  Place();
  EXPECT_FALSE(page_->ListView()->isHeaderHidden());
  EXPECT_EQ(page_->TreeModel()->headerData(0, Qt::Horizontal).toString(), "Products");
  EXPECT_EQ(page_->TreeModel()->headerData(1, Qt::Horizontal).toString(), "Status");
  EXPECT_EQ(page_->RequiredSpace(), 3 << 20);
  EXPECT_EQ(page_->LabelSpaceRequired()->text(), " Disk space required: " + SizeToStr(suKB | suMB | suGB, 1, false, 3 << 20));
  EXPECT_FALSE(page_->FooterRed());  // only backup mode turns red
  TProductTreeModel* m = page_->TreeModel();
  const QModelIndex chartRow = m->index(5, 0);
  EXPECT_EQ(m->data(chartRow, Qt::CheckStateRole).toInt(), Qt::PartiallyChecked);
  EXPECT_TRUE(page_->ListView()->isExpanded(chartRow));
  EXPECT_EQ(page_->ListView()->header()->sectionSize(1), 140);

  // Going away and coming back keeps the ticks in the records.
  page_->SetParent(nullptr);
  b->SetChecked(true);
  page_->SetParent(area_);
  EXPECT_EQ(m->data(m->index(5, 0), Qt::CheckStateRole).toInt(), Qt::Checked);
  EXPECT_EQ(page_->RequiredSpace(), 4 << 20);
}

TEST_F(SelectPageTest, MouseAndKeysTickAndExpand) {
  page_->SetMode(0);
  page_->Clear();
  ProductRecord* nav = Rec(pkProgram, 100, 1, 9999, "Navigator", "", 500);
  ProductRecord* drv = Rec(pkCompanion, 100, 2, 9999, "Drivers", "", 50);
  ProductRecord* a = Rec(pkChartSet, 1001, 1, 2019, "North Sea", "Part A", 10);
  ProductRecord* b = Rec(pkChartSet, 1001, 2, 2019, "North Sea", "Part B", 20);
  for (ProductRecord* r : {nav, drv, a, b}) page_->AddProduct(r);
  page_->SetFreeSpace(560);
  Place();
  TProductTreeView* view = page_->ListView();
  TProductTreeModel* m = page_->TreeModel();
  QWidget* vp = view->viewport();

  // A click on the program's text ticks it and its companion; the footer turns red when the
  // sum passes the free space.
  const QModelIndex navRow = m->index(2, 0);
  QTest::mouseClick(vp, Qt::LeftButton, Qt::NoModifier, RowRect(navRow).center());
  EXPECT_TRUE(nav->Checked());
  EXPECT_TRUE(drv->Checked());
  EXPECT_EQ(page_->RequiredSpace(), 550);
  EXPECT_FALSE(page_->FooterRed());
  // A click with a modifier key changes nothing.
  QTest::mouseClick(vp, Qt::LeftButton, Qt::ControlModifier, RowRect(navRow).center());
  EXPECT_TRUE(nav->Checked());
  // Top-level rows keep neither selection nor focus.
  EXPECT_FALSE(view->currentIndex().isValid());
  EXPECT_TRUE(view->selectionModel()->selectedIndexes().isEmpty());

  // The chart product row: its text ticks every chart set.
  const QModelIndex chartRow = m->index(5, 0);
  QTest::mouseClick(vp, Qt::LeftButton, Qt::NoModifier, RowRect(chartRow).center());
  EXPECT_TRUE(a->Checked() && b->Checked());
  EXPECT_EQ(page_->RequiredSpace(), 580);
  EXPECT_TRUE(page_->FooterRed());
  // A chart-set row takes the selection; space toggles it from the keyboard.
  const QModelIndex partB = m->index(1, 0, chartRow);
  QTest::mouseClick(vp, Qt::LeftButton, Qt::NoModifier, RowRect(partB).center());
  EXPECT_FALSE(b->Checked());
  EXPECT_EQ(view->currentIndex().row(), 1);
  EXPECT_EQ(m->data(chartRow, Qt::CheckStateRole).toInt(), Qt::PartiallyChecked);
  QTest::keyClick(view, Qt::Key_Space);
  EXPECT_TRUE(b->Checked());

  // The expand button at the row's right end collapses and expands without ticking.
  const QRect button = view->ExpandButtonRect(chartRow);
  ASSERT_FALSE(button.isEmpty());
  EXPECT_EQ(button.size(), QSize(11, 11));
  EXPECT_EQ(button.right(), vp->width() - 6);
  EXPECT_TRUE(view->isExpanded(chartRow));
  // Under the mouse the button is hot; pressed, it is the pressed one until released.
  QTest::mouseMove(vp, button.center());
  EXPECT_EQ(view->HotButton(), chartRow);
  QTest::mousePress(vp, Qt::LeftButton, Qt::NoModifier, button.center());
  EXPECT_EQ(view->PressedButton(), chartRow);
  EXPECT_TRUE(view->isExpanded(chartRow));  // only the release acts
  QTest::mouseRelease(vp, Qt::LeftButton, Qt::NoModifier, button.center());
  EXPECT_FALSE(view->PressedButton().isValid());
  EXPECT_FALSE(view->isExpanded(chartRow));
  QTest::mouseClick(vp, Qt::LeftButton, Qt::NoModifier, view->ExpandButtonRect(chartRow).center());
  EXPECT_TRUE(view->isExpanded(chartRow));
  QTest::mouseClick(vp, Qt::LeftButton, Qt::NoModifier, button.center());
  EXPECT_FALSE(view->isExpanded(chartRow));
  EXPECT_TRUE(a->Checked() && b->Checked());
  QTest::mouseClick(vp, Qt::LeftButton, Qt::NoModifier, view->ExpandButtonRect(chartRow).center());
  EXPECT_TRUE(view->isExpanded(chartRow));
  // Rows without children have no button.
  EXPECT_TRUE(view->ExpandButtonRect(navRow).isEmpty());

  // A click on the header flips the arrow but keeps the order of the rows.
  const Qt::SortOrder before = view->header()->sortIndicatorOrder();
  QTest::mouseClick(view->header()->viewport(), Qt::LeftButton, Qt::NoModifier,
                    QPoint(view->header()->sectionViewportPosition(0) + 20, view->header()->height() / 2));
  EXPECT_NE(view->header()->sortIndicatorOrder(), before);
  EXPECT_EQ(m->data(m->index(2, 0)).toString(), "Navigator");
  // The painted tree is there (delegate and view paint without complaint).
  EXPECT_FALSE(vp->grab().toImage().isNull());
}

// What a screen reader sees of the tree: rows of cells named by their texts, the tick as the
// cell's checked state, and a "Toggle" action that ticks and unticks as the space bar does, on
// child rows too. (That the new state is heard is checked on the real bus, tests/accessibility.)
QAccessibleInterface* CellNamed(QAccessibleInterface* tree, const QString& name) {
  for (int i = 0; i < tree->childCount(); ++i)
    if (QAccessibleInterface* c = tree->child(i); c && c->role() == QAccessible::TreeItem && c->text(QAccessible::Name) == name)
      return c;
  return nullptr;
}

TEST_F(SelectPageTest, ScreenReaderTogglesTicksAndHearsTheNewState) {
  page_->SetMode(0);
  page_->Clear();
  ProductRecord* nav = Rec(pkProgram, 100, 1, 9999, "Navigator", "", 500);
  ProductRecord* a = Rec(pkChartSet, 1001, 1, 2019, "North Sea", "Part A", 10);
  ProductRecord* b = Rec(pkChartSet, 1001, 2, 2019, "North Sea", "Part B", 20);
  for (ProductRecord* r : {nav, a, b}) page_->AddProduct(r);
  page_->SetFreeSpace(1 << 20);
  Place();
  TProductTreeView* view = page_->ListView();
  QAccessibleInterface* tree = QAccessible::queryAccessibleInterface(view);
  ASSERT_NE(tree, nullptr);
  ASSERT_NE(tree->tableInterface(), nullptr);

  // Header cells first, then every row's two cells in the order the view shows them.
  EXPECT_EQ(tree->childCount(), (1 + tree->tableInterface()->rowCount()) * 2);
  EXPECT_EQ(tree->child(0)->role(), QAccessible::ColumnHeader);
  TProductTreeModel* m = page_->TreeModel();
  const QModelIndex chartRow = m->index(5, 0);
  ASSERT_TRUE(view->isExpanded(chartRow));
  QAccessibleInterface* navCell = CellNamed(tree, "Navigator");
  QAccessibleInterface* partB = CellNamed(tree, m->index(1, 0, chartRow).data().toString());
  ASSERT_TRUE(navCell && partB);
  EXPECT_EQ(tree->child(tree->indexOfChild(partB)), partB);
  EXPECT_TRUE(navCell->state().checkable);
  ASSERT_EQ(navCell->actionInterface()->actionNames(), QStringList{QAccessibleActionInterface::toggleAction()});

  struct Step {
    QAccessibleInterface* cell;
    ProductRecord* record;
    bool ticked;
  };
  const Step steps[] = {{navCell, nav, true}, {partB, b, true}, {partB, b, false}, {navCell, nav, false}};
  for (const Step& s : steps) {
    s.cell->actionInterface()->doAction(QAccessibleActionInterface::toggleAction());
    EXPECT_EQ(s.record->Checked(), s.ticked) << s.cell->text(QAccessible::Name).toStdString();
    EXPECT_EQ(s.cell->state().checked, s.ticked);
  }
  EXPECT_FALSE(a->Checked());
  // Toggling a row moves no selection; the cell of the current row has the focus.
  EXPECT_TRUE(view->selectionModel()->selectedIndexes().isEmpty());
  view->setCurrentIndex(m->index(1, 0, chartRow));
  EXPECT_EQ(tree->focusChild(), partB);
  EXPECT_TRUE(partB->state().focused);
  // Rows without a tick box offer no action.
  EXPECT_TRUE(tree->child(2)->actionInterface()->actionNames().isEmpty());
}

}  // namespace
