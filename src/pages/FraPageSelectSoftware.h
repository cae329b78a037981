#pragma once

// The product selection page: the account's or the backup's products in a tree grouped by
// kind and group, with a tick box a product (a mixed tick for a chart product whose chart sets
// are partly ticked), the status of each product and the disk space the ticked ones need.
// The records belong to the chart-check object; the page keeps pointers and writes only their
// Present, UpdateAvailable and Checked flags. Rows and ticks live in TProductTreeModel
// (CvProductTree.h), which is usable without a view; a delegate paints them.

#include "CvDynamicLists.h"
#include "CvLib.h"
#include "CvWizardPage.h"

#include <QStyledItemDelegate>
#include <QTreeView>

#include <cstdint>
#include <memory>

class QLabel;
class QFrame;
class TInstalledCharts;
class TPresenceSource;
class TProductTreeModel;

// The tree: rows of the model, an expand button at the right end of every row with children,
// a click on a row's text toggles its tick, and an empty list paints the mode's two lines.
class TProductTreeView final : public QTreeView {
  Q_OBJECT

 public:
  explicit TProductTreeView(QWidget* parent = nullptr);

  // The two lines shown instead of rows when the list is empty.
  void SetEmptyTexts(const QString& above, const QString& below);
  const QString& EmptyTextAbove() const { return emptyAbove_; }
  const QString& EmptyTextBelow() const { return emptyBelow_; }

  // The expand button of a row (in viewport coordinates; empty for rows without children).
  QRect ExpandButtonRect(const QModelIndex& index) const;
  QModelIndex HotButton() const { return hot_; }

  // Ticks or unticks the row as a click or the space bar does, and tells a screen reader the
  // new state. False for rows without a tick box.
  bool ToggleRow(const QModelIndex& index);
  QModelIndex PressedButton() const { return pressed_; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void drawBranches(QPainter* painter, const QRect& rect, const QModelIndex& index) const override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void leaveEvent(QEvent* event) override;

 private:
  QModelIndex ButtonAt(const QPoint& pos) const;
  void SetHot(const QModelIndex& index);

  QString emptyAbove_;
  QString emptyBelow_;
  QPersistentModelIndex hot_;
  QPersistentModelIndex pressed_;
  QPersistentModelIndex clicked_;
};

// Paints the rows: header rows, green group rows, alternate chart-set rows, the status colour
// and the expand buttons.
class TProductTreeDelegate final : public QStyledItemDelegate {
  Q_OBJECT

 public:
  explicit TProductTreeDelegate(TProductTreeView* view);

  void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
  // Ticks change through the view's click and key rules only.
  bool editorEvent(QEvent* event, QAbstractItemModel* model, const QStyleOptionViewItem& option,
                   const QModelIndex& index) override;

  static constexpr int kRowHeight = 24;

 private:
  void PaintExpandButton(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const;
  TProductTreeView* view_;
};

class TFramePageSelectSoftware final : public TWizardPage {
  Q_OBJECT

 public:
  // Neither the model nor the chart-check object is owned; either may be nullptr (then
  // nothing counts as installed, or nothing as in the backup).
  TFramePageSelectSoftware(TInstalledCharts* installedCharts, ChartCheck* chartCheck, QWidget* owner = nullptr);
  ~TFramePageSelectSoftware() override;

  // Empties the product list; the records are not freed.
  void Clear();
  // Appends the record (not owned) and works out its Present and UpdateAvailable flags for the
  // current mode; the record starts unticked.
  void AddProduct(ProductRecord* record);
  // The installed-products model, once the wizard has it; products added from now on are
  // worked out against it.
  void SetInstalledCharts(TInstalledCharts* installedCharts);

  // The setup type: 0 create a backup, 1 install from a backup, 3 install from the internet.
  void SetMode(int mode);
  int Mode() const { return mode_; }
  void SetFreeSpace(std::int64_t bytes);
  std::int64_t FreeSpace() const { return freeSpace_; }
  // The sum of Size over the ticked records, companions included, as last computed.
  std::int64_t RequiredSpace() const { return requiredSpace_; }

  // The check on Next: enough space in backup mode, the overwrite question (install from the
  // internet, at most once), something ticked. Shows its message and returns false to stay.
  bool ValidateSelection();

  // Rebuilds the tree from the product list (done when the page is placed) and recomputes the
  // space.
  void BuildTree();
  // Recomputes the required space, the footer text and its colour.
  void RecomputeSpace();

  const TFastList& Products() const { return products_; }
  int ProductCount() const { return products_.Count(); }
  ProductRecord* Product(int index) const { return products_.ItemAs<ProductRecord>(index); }

  // Controls, for the wizard and for tests.
  TProductTreeView* ListView() const { return listView_; }
  TProductTreeModel* TreeModel() const { return model_; }
  QLabel* LabelSpaceRequired() const { return labelSpaceRequired_; }
  QFrame* PanelFooter() const { return panelFooter_; }
  // True while the footer shows the space in red (backup mode, not enough room).
  bool FooterRed() const { return footerRed_; }

 protected:
  void PagePlaced() override;
  void PageRemoved() override;
  void changeEvent(QEvent* event) override;

 private:
  void ApplyTexts();

  TInstalledCharts* installedCharts_;
  ChartCheck* chartCheck_;
  TFastList products_;
  // What the presence rules read, loaded once for the records added since the last Clear.
  std::unique_ptr<TPresenceSource> presence_;
  int mode_ = 3;
  std::int64_t requiredSpace_ = 0;
  std::int64_t freeSpace_ = 0;
  bool footerRed_ = false;

  TProductTreeModel* model_ = nullptr;
  TProductTreeView* listView_ = nullptr;
  QFrame* panelFooterBorder_ = nullptr;
  QFrame* panelFooter_ = nullptr;
  QLabel* labelSpaceRequired_ = nullptr;
};
