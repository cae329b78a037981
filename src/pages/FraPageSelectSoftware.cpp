#include "FraPageSelectSoftware.h"

#include "CvMsgBoxPresenter.h"
#include "CvProductTree.h"
#include "CvProductTreeAccessible.h"

#include <QApplication>
#include <QEvent>
#include <QHeaderView>
#include <QHBoxLayout>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>

namespace {

// Shown in Dutch whatever the language.
const char* const kEmptyBackupAbove = "De gekozen backup bevat geen software.";
const char* const kEmptyBackupBelow = "Kies een andere backup alstublieft.";
const char* const kEmptyAccountAbove = "Het ingevoerde account bevat geen software die kan worden gedownload.";
const char* const kEmptyAccountBelow = "Kies een ander account of koppel software aan het gekozen account.";

QFont SizedFont(const QFont& base, int points, bool bold) {
  QFont f = base;
  f.setPointSize(points);
  f.setBold(bold);
  return f;
}

QColor Blend(const QColor& over, double share, const QColor& base) {
  return QColor::fromRgbF(static_cast<float>(share * over.redF() + (1 - share) * base.redF()),
                          static_cast<float>(share * over.greenF() + (1 - share) * base.greenF()),
                          static_cast<float>(share * over.blueF() + (1 - share) * base.blueF()));
}

int NodeType(const QModelIndex& index) { return index.data(TProductTreeModel::NodeTypeRole).toInt(); }

}  // namespace

// --- View ---------------------------------------------------------------------------------

TProductTreeView::TProductTreeView(QWidget* parent) : QTreeView(parent) {
  setRootIsDecorated(false);
  setUniformRowHeights(true);
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setSelectionMode(QAbstractItemView::SingleSelection);
  setExpandsOnDoubleClick(false);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setMouseTracking(true);
  setAllColumnsShowFocus(true);
  InstallProductTreeAccessible();
}

bool TProductTreeView::ToggleRow(const QModelIndex& index) {
  auto* m = qobject_cast<TProductTreeModel*>(model());
  if (!m || !index.isValid()) return false;
  const QModelIndex first = index.sibling(index.row(), 0);
  if (!m->ToggleTick(first)) return false;
  AnnounceProductTick(this, first);
  return true;
}

void TProductTreeView::SetEmptyTexts(const QString& above, const QString& below) {
  emptyAbove_ = above;
  emptyBelow_ = below;
  viewport()->update();
}

QRect TProductTreeView::ExpandButtonRect(const QModelIndex& index) const {
  if (!index.isValid() || !model()) return {};
  const QModelIndex first = index.sibling(index.row(), 0);
  if (model()->rowCount(first) == 0) return {};
  const QRect row = visualRect(first);
  if (!row.isValid()) return {};
  const int right = viewport()->width();
  return QRect(right - 16, row.top() + (row.height() - 11) / 2, 11, 11);
}

QModelIndex TProductTreeView::ButtonAt(const QPoint& pos) const {
  const QModelIndex index = indexAt(pos);
  if (!index.isValid()) return {};
  const QModelIndex first = index.sibling(index.row(), 0);
  return ExpandButtonRect(first).contains(pos) ? first : QModelIndex();
}

void TProductTreeView::SetHot(const QModelIndex& index) {
  if (QModelIndex(hot_) == index) return;
  const QModelIndex old = hot_;
  hot_ = index;
  if (old.isValid()) viewport()->update(ExpandButtonRect(old).adjusted(-2, -2, 2, 2));
  if (index.isValid()) viewport()->update(ExpandButtonRect(index).adjusted(-2, -2, 2, 2));
}

void TProductTreeView::paintEvent(QPaintEvent* event) {
  if (model() && model()->rowCount() > 0) {
    QTreeView::paintEvent(event);
    return;
  }
  QPainter p(viewport());
  p.fillRect(viewport()->rect(), palette().color(QPalette::Base));
  const QRect r = viewport()->rect();
  const int width = std::min(300, r.width() - 20);
  if (width <= 0) return;
  const int y = r.height() / 2;
  const int left = (r.width() - width) / 2;
  p.setPen(palette().color(QPalette::Mid));
  p.drawLine(left, y, left + width, y);

  const QFont above = SizedFont(font(), 11, false);
  const QFontMetrics fa(above);
  p.setFont(above);
  p.setPen(palette().color(QPalette::Highlight));
  p.drawText(QRect(10, y - 4 - fa.height(), r.width() - 20, fa.height()), Qt::AlignHCenter | Qt::AlignBottom,
             fa.elidedText(emptyAbove_, Qt::ElideRight, r.width() - 20));

  const QFont below = SizedFont(font(), 8, false);
  const QFontMetrics fb(below);
  p.setFont(below);
  p.setPen(palette().color(QPalette::Mid));
  p.drawText(QRect(10, y + 4, r.width() - 20, fb.height()), Qt::AlignHCenter | Qt::AlignTop,
             fb.elidedText(emptyBelow_, Qt::ElideRight, r.width() - 20));
}

// The expand buttons at the row's right end replace the usual branch marks.
void TProductTreeView::drawBranches(QPainter*, const QRect&, const QModelIndex&) const {}

void TProductTreeView::mousePressEvent(QMouseEvent* event) {
  const QPoint pos = event->position().toPoint();
  clicked_ = QModelIndex();
  if (event->button() == Qt::LeftButton) {
    const QModelIndex button = ButtonAt(pos);
    if (button.isValid()) {
      pressed_ = button;
      viewport()->update(ExpandButtonRect(button).adjusted(-2, -2, 2, 2));
      event->accept();
      return;
    }
    if (event->modifiers() == Qt::NoModifier) clicked_ = indexAt(pos);
  }
  QTreeView::mousePressEvent(event);
  // Top-level rows never keep the selection or the focus.
  const QModelIndex current = currentIndex();
  if (current.isValid() && !current.parent().isValid()) {
    selectionModel()->clearSelection();
    selectionModel()->setCurrentIndex(QModelIndex(), QItemSelectionModel::NoUpdate);
  }
}

void TProductTreeView::mouseReleaseEvent(QMouseEvent* event) {
  const QPoint pos = event->position().toPoint();
  if (pressed_.isValid()) {
    const QModelIndex button = pressed_;
    pressed_ = QModelIndex();
    if (event->button() == Qt::LeftButton && ButtonAt(pos) == button) setExpanded(button, !isExpanded(button));
    viewport()->update();
    event->accept();
    return;
  }
  QTreeView::mouseReleaseEvent(event);
  const QModelIndex at = indexAt(pos);
  if (event->button() == Qt::LeftButton && event->modifiers() == Qt::NoModifier && clicked_.isValid() &&
      at.isValid() && at.row() == clicked_.row() && at.parent() == clicked_.parent()) {
    ToggleRow(at);
  }
  clicked_ = QModelIndex();
}

void TProductTreeView::mouseMoveEvent(QMouseEvent* event) {
  SetHot(ButtonAt(event->position().toPoint()));
  QTreeView::mouseMoveEvent(event);
}

// A double click is two clicks on the tick, never an expand or an edit.
void TProductTreeView::mouseDoubleClickEvent(QMouseEvent* event) { mousePressEvent(event); }

void TProductTreeView::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Space && event->modifiers() == Qt::NoModifier) {
    const QModelIndex current = currentIndex();
    if (qobject_cast<TProductTreeModel*>(model()) && current.isValid()) {
      ToggleRow(current);
      event->accept();
      return;
    }
  }
  QTreeView::keyPressEvent(event);
}

void TProductTreeView::leaveEvent(QEvent* event) {
  SetHot(QModelIndex());
  QTreeView::leaveEvent(event);
}

// --- Delegate -----------------------------------------------------------------------------

TProductTreeDelegate::TProductTreeDelegate(TProductTreeView* view) : QStyledItemDelegate(view), view_(view) {}

QSize TProductTreeDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const {
  QSize s = QStyledItemDelegate::sizeHint(option, index);
  s.setHeight(kRowHeight);
  return s;
}

bool TProductTreeDelegate::editorEvent(QEvent*, QAbstractItemModel*, const QStyleOptionViewItem&,
                                       const QModelIndex&) {
  return false;
}

void TProductTreeDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                                 const QModelIndex& index) const {
  const QPalette& pal = option.palette;
  const int type = NodeType(index);
  const int column = index.column();
  const int lastColumn = index.model()->columnCount(index.parent()) - 1;
  const QRect r = option.rect;
  QStyleOptionViewItem opt = option;
  opt.state &= ~QStyle::State_HasFocus;
  painter->save();

  switch (type) {
    case ntKindHeader: {
      painter->fillRect(r, pal.color(QPalette::Button));
      painter->setPen(pal.color(QPalette::Mid));
      painter->drawLine(r.topLeft(), r.topRight());
      painter->drawLine(r.bottomLeft(), r.bottomRight());
      if (column == 0) painter->drawLine(r.topLeft(), r.bottomLeft());
      if (column == lastColumn) painter->drawLine(r.topRight(), r.bottomRight());
      if (column == 0) {
        painter->setFont(SizedFont(option.font, 11, true));
        painter->setPen(pal.color(QPalette::ButtonText));
        painter->drawText(r.adjusted(6, 0, -4, 0), Qt::AlignVCenter | Qt::AlignLeft,
                          QFontMetrics(painter->font()).elidedText(index.data().toString(), Qt::ElideRight, r.width() - 10));
      }
      break;
    }
    case ntGroupHeader: {
      // The same green as the status of a present item, one tenth over the window colour.
      const QColor window = pal.color(QPalette::Base);
      painter->fillRect(r.adjusted(column == 0 ? 1 : 0, 1, column == lastColumn ? -1 : 0, -1),
                        Blend(QColor(0, 128, 0), 0.1, window));
      if (column == 0) {
        painter->setFont(SizedFont(option.font, 10, true));
        painter->setPen(pal.color(QPalette::Text));
        painter->drawText(r.adjusted(6, 0, -4, 0), Qt::AlignVCenter | Qt::AlignLeft,
                          QFontMetrics(painter->font()).elidedText(index.data().toString(), Qt::ElideRight, r.width() - 10));
      }
      break;
    }
    case ntProduct: {
      const bool hasChildren = index.model()->rowCount(index.sibling(index.row(), 0)) > 0;
      opt.font = SizedFont(option.font, 8, hasChildren);
      QStyledItemDelegate::paint(painter, opt, index);
      break;
    }
    case ntChartSet: {
      if (index.row() % 2 == 1) painter->fillRect(r, QColor(250, 250, 250));
      opt.font = SizedFont(option.font, 8, false);
      QStyledItemDelegate::paint(painter, opt, index);
      const int siblings = index.model()->rowCount(index.parent());
      const bool lastChart = index.row() == siblings - 1;
      const bool followed = index.parent().row() < index.model()->rowCount() - 1;
      if (!(lastChart && followed)) {
        painter->setPen(pal.color(QPalette::Button));
        painter->drawLine(r.bottomLeft(), r.bottomRight());
      }
      break;
    }
    default:
      QStyledItemDelegate::paint(painter, opt, index);
  }
  painter->restore();
  if (column == lastColumn) PaintExpandButton(painter, option, index);
}

void TProductTreeDelegate::PaintExpandButton(QPainter* painter, const QStyleOptionViewItem& option,
                                             const QModelIndex& index) const {
  const QModelIndex first = index.sibling(index.row(), 0);
  const QRect button = view_->ExpandButtonRect(first);
  if (button.isEmpty()) return;
  const QPalette& pal = option.palette;
  painter->save();
  const bool pressed = view_->PressedButton() == first;
  const bool hot = view_->HotButton() == first;
  if (pressed || hot) {
    painter->fillRect(button, Blend(pal.color(QPalette::Highlight), pressed ? 0.5 : 0.25, pal.color(QPalette::Button)));
    painter->setPen(pal.color(QPalette::Highlight));
    painter->drawRect(button.adjusted(0, 0, -1, -1));
  }
  // Down while collapsed, up while expanded.
  const bool expanded = view_->isExpanded(first);
  const QPointF c = QRectF(button).center();
  QPainterPath path;
  if (expanded) {
    path.moveTo(c.x() - 3.5, c.y() + 2);
    path.lineTo(c.x() + 3.5, c.y() + 2);
    path.lineTo(c.x(), c.y() - 2);
  } else {
    path.moveTo(c.x() - 3.5, c.y() - 2);
    path.lineTo(c.x() + 3.5, c.y() - 2);
    path.lineTo(c.x(), c.y() + 2);
  }
  path.closeSubpath();
  painter->setRenderHint(QPainter::Antialiasing);
  painter->fillPath(path, pal.color(QPalette::Text));
  painter->restore();
}

// --- Page ---------------------------------------------------------------------------------

TFramePageSelectSoftware::TFramePageSelectSoftware(TInstalledCharts* installedCharts, ChartCheck* chartCheck,
                                                   QWidget* owner)
    : TWizardPage(owner), installedCharts_(installedCharts), chartCheck_(chartCheck) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);

  model_ = new TProductTreeModel(this);
  listView_ = new TProductTreeView(this);
  listView_->setObjectName(QStringLiteral("ListView"));
  listView_->setModel(model_);
  listView_->setItemDelegate(new TProductTreeDelegate(listView_));
  QHeaderView* header = listView_->header();
  header->setStretchLastSection(false);
  header->setSectionResizeMode(0, QHeaderView::Stretch);
  header->setSectionResizeMode(1, QHeaderView::Fixed);
  header->resizeSection(0, 476);
  header->resizeSection(1, 140);
  // A click on the header flips the arrow only: rows keep the order they were added in.
  header->setSectionsClickable(true);
  header->setSortIndicatorShown(true);
  header->setSortIndicator(0, Qt::AscendingOrder);
  layout->addWidget(listView_, 1);

  panelFooterBorder_ = new QFrame(this);
  panelFooterBorder_->setObjectName(QStringLiteral("PanelFooterBorder"));
  panelFooterBorder_->setFixedHeight(18);
  panelFooterBorder_->setAutoFillBackground(true);
  QPalette borderPalette = panelFooterBorder_->palette();
  borderPalette.setColor(QPalette::Window, borderPalette.color(QPalette::Mid));
  panelFooterBorder_->setPalette(borderPalette);
  auto* borderLayout = new QHBoxLayout(panelFooterBorder_);
  borderLayout->setContentsMargins(1, 1, 1, 1);
  panelFooter_ = new QFrame(panelFooterBorder_);
  panelFooter_->setObjectName(QStringLiteral("PanelFooter"));
  panelFooter_->setAutoFillBackground(true);
  QPalette footerPalette = panelFooter_->palette();
  footerPalette.setColor(QPalette::Window, footerPalette.color(QPalette::ToolTipBase));
  panelFooter_->setPalette(footerPalette);
  borderLayout->addWidget(panelFooter_);
  auto* footerLayout = new QHBoxLayout(panelFooter_);
  footerLayout->setContentsMargins(4, 0, 4, 0);
  labelSpaceRequired_ = new QLabel(panelFooter_);
  labelSpaceRequired_->setObjectName(QStringLiteral("LabelSpaceRequired"));
  labelSpaceRequired_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  QFont bold = labelSpaceRequired_->font();
  bold.setBold(true);
  labelSpaceRequired_->setFont(bold);
  footerLayout->addWidget(labelSpaceRequired_);
  layout->addWidget(panelFooterBorder_);

  connect(model_, &TProductTreeModel::TicksChanged, this, &TFramePageSelectSoftware::RecomputeSpace);
  ApplyTexts();
  RecomputeSpace();
}

TFramePageSelectSoftware::~TFramePageSelectSoftware() {
  // The rows point at records that are not ours; drop them before the list goes.
  model_->Reset();
}

void TFramePageSelectSoftware::Clear() {
  model_->Reset();
  products_.Clear();
  presence_.reset();
  RecomputeSpace();
}

void TFramePageSelectSoftware::AddProduct(ProductRecord* record) {
  if (!record) return;
  products_.Add(record);
  if (!presence_) presence_ = std::make_unique<TPresenceSource>(installedCharts_, chartCheck_);
  presence_->WorkOut(*record, mode_);
}

void TFramePageSelectSoftware::SetInstalledCharts(TInstalledCharts* installedCharts) {
  installedCharts_ = installedCharts;
  presence_.reset();
}

void TFramePageSelectSoftware::SetMode(int mode) {
  if (mode == mode_) return;
  mode_ = mode;
  // Presence was worked out for the mode of the time; the next batch reads afresh.
  presence_.reset();
  ApplyTexts();
  if (model_->rowCount() > 0) BuildTree();
  else RecomputeSpace();
}

void TFramePageSelectSoftware::SetFreeSpace(std::int64_t bytes) {
  freeSpace_ = bytes;
  RecomputeSpace();
}

void TFramePageSelectSoftware::BuildTree() {
  model_->Build(products_, mode_);
  listView_->expandAll();
  RecomputeSpace();
}

void TFramePageSelectSoftware::RecomputeSpace() {
  requiredSpace_ = CheckedSize(products_);
  labelSpaceRequired_->setText(SpaceRequiredText(requiredSpace_));
  listView_->setHeaderHidden(products_.Count() == 0);
  footerRed_ = mode_ == 0 && requiredSpace_ > freeSpace_;
  // Red when it does not fit, else the palette's own text colour (light or dark).
  QPalette p = labelSpaceRequired_->parentWidget()->palette();
  if (footerRed_) p.setColor(QPalette::WindowText, Qt::red);
  labelSpaceRequired_->setPalette(p);
}

bool TFramePageSelectSoftware::ValidateSelection() {
  RecomputeSpace();
  const QString title = PageApplicationTitle();
  if (mode_ == 0 && requiredSpace_ > freeSpace_) {
    MsgBoxCaption(title, LangText(ptNotEnoughSpace), mtError, mbOKOnly);
    return false;
  }
  bool selected = false;
  bool overwrite = false;
  for (int i = 0; i < products_.Count(); ++i) {
    const ProductRecord* r = products_.ItemAs<ProductRecord>(i);
    if (!r || !r->Checked()) continue;
    selected = true;
    if (mode_ == 3 && r->Present() && !overwrite) {
      if (MsgBoxCaption(title, LangText(ptInstalledAlready), mtInformation, mbYesNo) != mrYes) return false;
      overwrite = true;
    }
  }
  if (!selected) {
    MsgBox(LangText(ptNothingSelected), mtInformation, mbOKOnly);
    return false;
  }
  return true;
}

void TFramePageSelectSoftware::PagePlaced() {
  BuildTree();
  ApplyTexts();
  RecomputeSpace();
}

void TFramePageSelectSoftware::PageRemoved() {
  // The rows are rebuilt at every placing; a parked page keeps none, so that records freed
  // meanwhile are never reached through them.
  model_->Reset();
}

void TFramePageSelectSoftware::ApplyTexts() {
  model_->TextsChanged();
  if (mode_ == 1)
    listView_->SetEmptyTexts(QString::fromUtf8(kEmptyBackupAbove), QString::fromUtf8(kEmptyBackupBelow));
  else
    listView_->SetEmptyTexts(QString::fromUtf8(kEmptyAccountAbove), QString::fromUtf8(kEmptyAccountBelow));
  labelSpaceRequired_->setText(SpaceRequiredText(requiredSpace_));
}

void TFramePageSelectSoftware::changeEvent(QEvent* event) {
  if (event->type() == QEvent::LanguageChange) ApplyTexts();
  TWizardPage::changeEvent(event);
}
