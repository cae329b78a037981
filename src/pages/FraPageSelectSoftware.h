#pragma once

// The product selection page: the account's or the backup's products in a tree grouped by
// kind and group, with a tick box a product (a mixed tick for a chart product whose chart sets
// are partly ticked), the status of each product and the disk space the ticked ones need.
// The records belong to the chart-check object; the page keeps pointers and writes only their
// Present, UpdateAvailable and Checked flags. Rows and ticks live in TProductTreeModel
// (CvProductTree.h), which is usable without a view.

#include "CvDynamicLists.h"
#include "CvLib.h"

#include <QTreeView>
#include <QWidget>

#include <cstdint>

class QLabel;
class QFrame;
class TInstalledCharts;
class TProductTreeModel;
class TProductTreeView;

class TFramePageSelectSoftware final : public QWidget {
  Q_OBJECT

 public:
  // Neither the model nor the chart-check object is owned; either may be nullptr (then
  // nothing counts as installed, or nothing as in the backup).
  TFramePageSelectSoftware(TInstalledCharts* installedCharts, ChartCheck* chartCheck,
                           QWidget* parent = nullptr);
  ~TFramePageSelectSoftware() override;

  // Page protocol: the wizard places the page with SetParent(page area) and takes it away with
  // SetParent(nullptr). Placed into a new parent, the page rebuilds its tree, sets its column
  // texts and recomputes the space.
  void SetParent(QWidget* parent);

  // Empties the product list; the records are not freed.
  void Clear();
  // Appends the record (not owned) and works out its Present and UpdateAvailable flags for the
  // current mode; the record starts unticked.
  void AddProduct(ProductRecord* record);

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

 protected:
  void changeEvent(QEvent* event) override;

 private:
  void ApplyTexts();

  TInstalledCharts* installedCharts_;
  ChartCheck* chartCheck_;
  TFastList products_;
  int mode_ = 3;
  std::int64_t requiredSpace_ = 0;
  std::int64_t freeSpace_ = 0;

  TProductTreeModel* model_ = nullptr;
  TProductTreeView* listView_ = nullptr;
  QFrame* panelFooterBorder_ = nullptr;
  QFrame* panelFooter_ = nullptr;
  QLabel* labelSpaceRequired_ = nullptr;
};
