#include "CvProductTreeAccessible.h"

#include "FraPageSelectSoftware.h"

#include <QAccessibleWidget>
#include <QHash>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QPointer>

#include <vector>

namespace {

// The rows as the view shows them, top to bottom (first column).
std::vector<QModelIndex> ViewRows(const QTreeView* view) {
  std::vector<QModelIndex> rows;
  const QAbstractItemModel* model = view->model();
  if (!model) return rows;
  auto walk = [&](auto&& self, const QModelIndex& parent) -> void {
    const int count = model->rowCount(parent);
    for (int r = 0; r < count; ++r) {
      if (view->isRowHidden(r, parent)) continue;
      const QModelIndex index = model->index(r, 0, parent);
      rows.push_back(index);
      if (view->isExpanded(index)) self(self, index);
    }
  };
  walk(walk, view->rootIndex());
  return rows;
}

int ViewRowOf(const QTreeView* view, const QModelIndex& index) {
  const QModelIndex first = index.sibling(index.row(), 0);
  const std::vector<QModelIndex> rows = ViewRows(view);
  for (std::size_t i = 0; i < rows.size(); ++i)
    if (rows[i] == first) return static_cast<int>(i);
  return -1;
}

int HeaderRows(const QTreeView* view) { return view->header()->isHidden() ? 0 : 1; }

int Columns(const QTreeView* view) {
  return view->model() ? view->model()->columnCount(view->rootIndex()) : 0;
}

// The place of a cell among the tree's children; the view numbers its focus events the same.
int LogicalIndex(const QTreeView* view, const QModelIndex& index) {
  const int row = ViewRowOf(view, index);
  if (row < 0) return -1;
  return (row + HeaderRows(view)) * Columns(view) + index.column();
}

QRect GlobalRect(const QWidget* widget, QRect r) {
  return r.isNull() ? r : r.translated(widget->mapToGlobal(QPoint(0, 0)));
}

class TTickCellAccessible final : public QAccessibleInterface,
                                  public QAccessibleActionInterface,
                                  public QAccessibleTableCellInterface {
 public:
  TTickCellAccessible(QTreeView* view, const QModelIndex& index) : view_(view), index_(index) {}

  QModelIndex Index() const { return index_; }

  bool isValid() const override { return view_ && view_->model() && index_.isValid(); }
  QObject* object() const override { return nullptr; }
  QAccessibleInterface* childAt(int, int) const override { return nullptr; }
  QAccessibleInterface* parent() const override { return view_ ? QAccessible::queryAccessibleInterface(view_) : nullptr; }
  QAccessibleInterface* child(int) const override { return nullptr; }
  int childCount() const override { return 0; }
  int indexOfChild(const QAccessibleInterface*) const override { return -1; }
  void setText(QAccessible::Text, const QString&) override {}
  QAccessible::Role role() const override { return QAccessible::TreeItem; }

  QString text(QAccessible::Text t) const override {
    if (!isValid()) return {};
    if (t == QAccessible::Name) {
      QString value = index_.data(Qt::AccessibleTextRole).toString();
      return value.isEmpty() ? index_.data(Qt::DisplayRole).toString() : value;
    }
    if (t == QAccessible::Description) return index_.data(Qt::AccessibleDescriptionRole).toString();
    return {};
  }

  QRect rect() const override {
    if (!isValid()) return {};
    return GlobalRect(view_->viewport(), view_->visualRect(index_));
  }

  QAccessible::State state() const override {
    QAccessible::State st;
    if (!isValid()) return st;
    const QRect visible = GlobalRect(view_, view_->rect());
    if (!visible.intersects(rect())) st.invisible = true;
    const QItemSelectionModel* selection = view_->selectionModel();
    if (selection && selection->isSelected(index_)) st.selected = true;
    if (selection && selection->currentIndex() == index_) st.focused = true;
    const QModelIndex first = FirstCell();
    const QVariant tick = first.data(Qt::CheckStateRole);
    if ((first.flags() & Qt::ItemIsUserCheckable) && tick.isValid()) {
      st.checkable = true;
      st.checked = tick.toInt() == Qt::Checked;
      st.checkStateMixed = tick.toInt() == Qt::PartiallyChecked;
    }
    if (index_.flags() & Qt::ItemIsSelectable) st.selectable = st.focusable = true;
    if (view_->model()->hasChildren(first)) st.expandable = true;
    if (view_->isExpanded(first)) st.expanded = true;
    return st;
  }

  void* interface_cast(QAccessible::InterfaceType t) override {
    if (t == QAccessible::ActionInterface) return static_cast<QAccessibleActionInterface*>(this);
    if (t == QAccessible::TableCellInterface) return static_cast<QAccessibleTableCellInterface*>(this);
    return nullptr;
  }

  // Every cell of a row with a tick box ticks that row.
  QStringList actionNames() const override {
    if (!isValid() || !(FirstCell().flags() & Qt::ItemIsUserCheckable)) return {};
    return {toggleAction()};
  }
  void doAction(const QString& name) override {
    if (name != toggleAction() || !isValid()) return;
    if (auto* tree = qobject_cast<TProductTreeView*>(view_.data())) tree->ToggleRow(index_);
  }
  QStringList keyBindingsForAction(const QString& name) const override {
    return name == toggleAction() ? QStringList{QStringLiteral("Space")} : QStringList();
  }

  bool isSelected() const override {
    return isValid() && view_->selectionModel() && view_->selectionModel()->isSelected(index_);
  }
  QList<QAccessibleInterface*> columnHeaderCells() const override {
    QAccessibleInterface* tree = parent();
    if (!isValid() || !tree || HeaderRows(view_) == 0) return {};
    if (QAccessibleInterface* header = tree->child(index_.column())) return {header};
    return {};
  }
  QList<QAccessibleInterface*> rowHeaderCells() const override { return {}; }
  int columnIndex() const override { return isValid() ? index_.column() : -1; }
  int rowIndex() const override { return isValid() ? ViewRowOf(view_, index_) : -1; }
  int columnExtent() const override { return 1; }
  int rowExtent() const override { return 1; }
  QAccessibleInterface* table() const override { return parent(); }

 private:
  QModelIndex FirstCell() const { return index_.sibling(index_.row(), 0); }

  QPointer<QTreeView> view_;
  QPersistentModelIndex index_;
};

class THeaderCellAccessible final : public QAccessibleInterface {
 public:
  THeaderCellAccessible(QTreeView* view, int column) : view_(view), column_(column) {}

  bool isValid() const override { return view_ && view_->model() && column_ < Columns(view_); }
  QObject* object() const override { return nullptr; }
  QAccessibleInterface* childAt(int, int) const override { return nullptr; }
  QAccessibleInterface* parent() const override { return view_ ? QAccessible::queryAccessibleInterface(view_) : nullptr; }
  QAccessibleInterface* child(int) const override { return nullptr; }
  int childCount() const override { return 0; }
  int indexOfChild(const QAccessibleInterface*) const override { return -1; }
  void setText(QAccessible::Text, const QString&) override {}
  QAccessible::Role role() const override { return QAccessible::ColumnHeader; }
  int Column() const { return column_; }

  QString text(QAccessible::Text t) const override {
    if (!isValid() || t != QAccessible::Name) return {};
    return view_->model()->headerData(column_, Qt::Horizontal, Qt::DisplayRole).toString();
  }
  QRect rect() const override {
    if (!isValid()) return {};
    const QHeaderView* header = view_->header();
    return GlobalRect(header, QRect(header->sectionPosition(column_), 0, header->sectionSize(column_), header->height()));
  }
  QAccessible::State state() const override {
    QAccessible::State st;
    if (view_) st.invisible = view_->header()->isHidden();
    return st;
  }

 private:
  QPointer<QTreeView> view_;
  int column_;
};

class TProductTreeAccessible final : public QAccessibleWidget, public QAccessibleTableInterface {
 public:
  explicit TProductTreeAccessible(QTreeView* view) : QAccessibleWidget(view, QAccessible::Tree) {}
  ~TProductTreeAccessible() override { DropAll(); }

  QTreeView* View() const { return static_cast<QTreeView*>(widget()); }

  void* interface_cast(QAccessible::InterfaceType t) override {
    if (t == QAccessible::TableInterface) return static_cast<QAccessibleTableInterface*>(this);
    return QAccessibleWidget::interface_cast(t);
  }

  int childCount() const override {
    return (static_cast<int>(ViewRows(View()).size()) + HeaderRows(View())) * Columns(View());
  }

  QAccessibleInterface* child(int logical) const override {
    const int columns = Columns(View());
    if (logical < 0 || columns == 0) return nullptr;
    const int row = logical / columns - HeaderRows(View());
    const int column = logical % columns;
    if (row < 0) return HeaderCell(column);
    const std::vector<QModelIndex> rows = ViewRows(View());
    if (row >= static_cast<int>(rows.size())) return nullptr;
    return Cell(rows[row].sibling(rows[row].row(), column));
  }

  int indexOfChild(const QAccessibleInterface* iface) const override {
    if (!iface) return -1;
    if (iface->role() == QAccessible::ColumnHeader) {
      const auto* header = static_cast<const THeaderCellAccessible*>(iface);
      return HeaderRows(View()) ? header->Column() : -1;
    }
    if (iface->role() == QAccessible::TreeItem && iface->parent() == this)
      return LogicalIndex(View(), static_cast<const TTickCellAccessible*>(iface)->Index());
    return -1;
  }

  QAccessibleInterface* focusChild() const override {
    const QModelIndex current = View()->currentIndex();
    return current.isValid() ? Cell(current) : nullptr;
  }

  QAccessibleInterface* childAt(int x, int y) const override {
    const QPoint at = View()->viewport()->mapFromGlobal(QPoint(x, y));
    const QModelIndex index = View()->indexAt(at);
    return index.isValid() ? Cell(index) : QAccessibleWidget::childAt(x, y);
  }

  // --- table --------------------------------------------------------------------------------
  QAccessibleInterface* caption() const override { return nullptr; }
  QAccessibleInterface* summary() const override { return nullptr; }
  QAccessibleInterface* cellAt(int row, int column) const override {
    const std::vector<QModelIndex> rows = ViewRows(View());
    if (row < 0 || row >= static_cast<int>(rows.size()) || column < 0 || column >= Columns(View())) return nullptr;
    return Cell(rows[row].sibling(rows[row].row(), column));
  }
  int selectedCellCount() const override { return static_cast<int>(SelectedIndexes().size()); }
  QList<QAccessibleInterface*> selectedCells() const override {
    QList<QAccessibleInterface*> cells;
    for (const QModelIndex& index : SelectedIndexes())
      if (QAccessibleInterface* cell = Cell(index)) cells << cell;
    return cells;
  }
  QString columnDescription(int column) const override {
    return View()->model() ? View()->model()->headerData(column, Qt::Horizontal).toString() : QString();
  }
  QString rowDescription(int) const override { return {}; }
  int selectedColumnCount() const override { return 0; }
  int selectedRowCount() const override { return static_cast<int>(selectedRows().size()); }
  int columnCount() const override { return Columns(View()); }
  int rowCount() const override { return static_cast<int>(ViewRows(View()).size()); }
  QList<int> selectedColumns() const override { return {}; }
  QList<int> selectedRows() const override {
    QList<int> rows;
    const std::vector<QModelIndex> all = ViewRows(View());
    for (int i = 0; i < static_cast<int>(all.size()); ++i)
      if (isRowSelected(i)) rows << i;
    return rows;
  }
  bool isColumnSelected(int) const override { return false; }
  bool isRowSelected(int row) const override {
    const std::vector<QModelIndex> rows = ViewRows(View());
    const QItemSelectionModel* selection = View()->selectionModel();
    return selection && row >= 0 && row < static_cast<int>(rows.size()) &&
           selection->isRowSelected(rows[row].row(), rows[row].parent());
  }
  // Selecting a row moves the view's current row there, as the arrow keys do.
  bool selectRow(int row) override {
    const std::vector<QModelIndex> rows = ViewRows(View());
    if (row < 0 || row >= static_cast<int>(rows.size()) || !(rows[row].flags() & Qt::ItemIsSelectable)) return false;
    View()->setCurrentIndex(rows[row]);
    return true;
  }
  bool selectColumn(int) override { return false; }
  bool unselectRow(int) override { return false; }
  bool unselectColumn(int) override { return false; }

  void modelChange(QAccessibleTableModelChangeEvent* event) override {
    if (event->modelChangeType() == QAccessibleTableModelChangeEvent::ModelReset) {
      DropAll();
      return;
    }
    // Cells follow their rows; a cell whose row went away goes too, and the rest are keyed
    // again by where their rows are now.
    QHash<QModelIndex, QAccessible::Id> rekeyed;
    for (const QAccessible::Id id : std::as_const(cells_)) {
      auto* cell = static_cast<TTickCellAccessible*>(QAccessible::accessibleInterface(id));
      if (cell && cell->isValid()) rekeyed.insert(cell->Index(), id);
      else QAccessible::deleteAccessibleInterface(id);
    }
    cells_ = std::move(rekeyed);
  }

 private:
  std::vector<QModelIndex> SelectedIndexes() const {
    std::vector<QModelIndex> out;
    if (const QItemSelectionModel* selection = View()->selectionModel())
      for (const QModelIndex& index : selection->selectedIndexes()) out.push_back(index);
    return out;
  }

  QAccessibleInterface* Cell(const QModelIndex& index) const {
    if (!index.isValid()) return nullptr;
    if (const auto it = cells_.constFind(index); it != cells_.constEnd()) {
      auto* cell = static_cast<TTickCellAccessible*>(QAccessible::accessibleInterface(*it));
      if (cell && cell->isValid() && cell->Index() == index) return cell;
      if (cell) QAccessible::deleteAccessibleInterface(*it);
      cells_.remove(index);
    }
    auto* cell = new TTickCellAccessible(View(), index);
    cells_.insert(index, QAccessible::registerAccessibleInterface(cell));
    return cell;
  }

  QAccessibleInterface* HeaderCell(int column) const {
    if (const auto it = headers_.constFind(column); it != headers_.constEnd())
      return QAccessible::accessibleInterface(*it);
    auto* header = new THeaderCellAccessible(View(), column);
    headers_.insert(column, QAccessible::registerAccessibleInterface(header));
    return header;
  }

  void DropAll() {
    for (const QAccessible::Id id : std::as_const(cells_)) QAccessible::deleteAccessibleInterface(id);
    for (const QAccessible::Id id : std::as_const(headers_)) QAccessible::deleteAccessibleInterface(id);
    cells_.clear();
    headers_.clear();
  }

  mutable QHash<QModelIndex, QAccessible::Id> cells_;
  mutable QHash<int, QAccessible::Id> headers_;
};

QAccessibleInterface* ProductTreeFactory(const QString& className, QObject* object) {
  if (className == QLatin1String("TProductTreeView") && object && object->isWidgetType())
    return new TProductTreeAccessible(static_cast<QTreeView*>(object));
  return nullptr;
}

}  // namespace

void InstallProductTreeAccessible() {
  static const bool installed = [] {
    QAccessible::installFactory(ProductTreeFactory);
    return true;
  }();
  (void)installed;
}

void AnnounceProductTick(QTreeView* view, const QModelIndex& index) {
  if (!view) return;
  const int logical = LogicalIndex(view, index.sibling(index.row(), 0));
  if (logical < 0) return;
  QAccessible::State changed;
  changed.checked = true;
  changed.checkStateMixed = true;
  QAccessibleStateChangeEvent event(view, changed);
  event.setChild(logical);
  QAccessible::updateAccessibility(&event);
}
