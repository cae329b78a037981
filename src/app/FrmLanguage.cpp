#include "FrmLanguage.h"

#include "CvLanguage.h"

#include <QGuiApplication>
#include <QHBoxLayout>
#include <QListWidget>
#include <QLocale>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QScreen>
#include <QStyledItemDelegate>
#include <QVBoxLayout>

namespace {

// The chooser's own tables: they follow the highlighted language.
const TLangText txtOK = {"OK", "OK", "OK", "OK", "OK", "OK", "OK", "OK"};
const TLangText txtCancel = {"Cancel", "Annuleren", "Abbrechen", "Annuler",
                             "Cancelar", "Annulla", "Fortryd", "Avbryt"};
// What a screen reader calls the list.
const TLangText txtLanguage = {"Language", "Taal", "Sprache", "Langue",
                               "Idioma", "Lingua", "Sprog", "Språk"};

constexpr int kRowHeight = 28;
constexpr QSize kFlagSize(24, 16);

// Selected row and row under the mouse: a frame one pixel inside the cell in the highlight
// colour, filled with the window colour tinted by the highlight colour.
class LanguageRowDelegate final : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;

  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    return QSize(QStyledItemDelegate::sizeHint(option, index).width(), kRowHeight);
  }

  void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    const bool selected = option.state & QStyle::State_Selected;
    const bool hot = option.state & QStyle::State_MouseOver;
    const QPalette& pal = option.palette;
    painter->save();
    painter->fillRect(option.rect, pal.color(QPalette::Base));
    if (selected || hot) {
      const QRect cell = option.rect.adjusted(1, 1, -2, -2);
      painter->fillRect(cell, pal.color(QPalette::Window));
      QColor tint = pal.color(QPalette::Highlight);
      tint.setAlpha(selected ? 85 : 25);
      painter->fillRect(cell, tint);
      painter->setPen(pal.color(QPalette::Highlight));
      painter->drawRect(cell);
    }
    const QPixmap flag = index.data(Qt::DecorationRole).value<QPixmap>();
    const int y = option.rect.top() + (option.rect.height() - kFlagSize.height()) / 2;
    painter->drawPixmap(option.rect.left() + 8, y, flag);
    painter->setPen(pal.color(QPalette::Text));
    const QRect textRect = option.rect.adjusted(8 + kFlagSize.width() + 10, 0, -4, 0);
    painter->drawText(textRect, Qt::AlignVCenter | Qt::AlignLeft, index.data(Qt::DisplayRole).toString());
    painter->restore();
  }
};

void Stripes(QPainter& p, const QRect& r, bool vertical, std::initializer_list<QColor> colours,
             std::initializer_list<int> weights) {
  int total = 0;
  for (int w : weights) total += w;
  const int length = vertical ? r.width() : r.height();
  int at = 0;
  auto w = weights.begin();
  for (const QColor& c : colours) {
    const int next = at + length * *w++ / total;
    const int end = (w == weights.end()) ? length : next;
    if (vertical)
      p.fillRect(QRect(r.left() + at, r.top(), end - at, r.height()), c);
    else
      p.fillRect(QRect(r.left(), r.top() + at, r.width(), end - at), c);
    at = end;
  }
}

void NordicCross(QPainter& p, const QRect& r, const QColor& field, const QColor& cross) {
  p.fillRect(r, field);
  const int bar = std::max(2, r.height() / 5);
  const int x = r.left() + r.width() * 5 / 14;
  p.fillRect(QRect(x, r.top(), bar, r.height()), cross);
  p.fillRect(QRect(r.left(), r.top() + (r.height() - bar) / 2, r.width(), bar), cross);
}

void UnionFlag(QPainter& p, const QRect& r) {
  const QColor blue(0x01, 0x21, 0x69), red(0xc8, 0x10, 0x2e);
  p.fillRect(r, blue);
  p.save();
  p.setRenderHint(QPainter::Antialiasing);
  p.setClipRect(r);
  const qreal h = r.height();
  p.setPen(QPen(Qt::white, h / 5.0));
  p.drawLine(r.topLeft(), r.bottomRight() + QPoint(1, 1));
  p.drawLine(r.bottomLeft() + QPoint(0, 1), r.topRight() + QPoint(1, 0));
  p.setPen(QPen(red, h / 15.0));
  p.drawLine(r.topLeft(), r.bottomRight() + QPoint(1, 1));
  p.drawLine(r.bottomLeft() + QPoint(0, 1), r.topRight() + QPoint(1, 0));
  p.restore();
  const int white = std::max(3, r.height() / 3);
  const int cross = std::max(1, r.height() / 5);
  const QPoint c = r.center();
  p.fillRect(QRect(c.x() - white / 2, r.top(), white, r.height()), Qt::white);
  p.fillRect(QRect(r.left(), c.y() - white / 2, r.width(), white), Qt::white);
  p.fillRect(QRect(c.x() - cross / 2, r.top(), cross, r.height()), red);
  p.fillRect(QRect(r.left(), c.y() - cross / 2, r.width(), cross), red);
}

}  // namespace

QPixmap LanguageFlag(int language, QSize size) {
  QPixmap pixmap(size);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  const QRect r(QPoint(0, 0), size);
  switch (language) {
    case lgEnglish: UnionFlag(p, r); break;
    case lgDutch: Stripes(p, r, false, {QColor(0xae, 0x1c, 0x28), Qt::white, QColor(0x21, 0x46, 0x8b)}, {1, 1, 1}); break;
    case lgGerman: Stripes(p, r, false, {Qt::black, QColor(0xdd, 0x00, 0x00), QColor(0xff, 0xce, 0x00)}, {1, 1, 1}); break;
    case lgFrench: Stripes(p, r, true, {QColor(0x00, 0x23, 0x95), Qt::white, QColor(0xed, 0x29, 0x39)}, {1, 1, 1}); break;
    case lgSpanish: Stripes(p, r, false, {QColor(0xaa, 0x15, 0x1b), QColor(0xf1, 0xbf, 0x00), QColor(0xaa, 0x15, 0x1b)}, {1, 2, 1}); break;
    case lgItalian: Stripes(p, r, true, {QColor(0x00, 0x92, 0x46), Qt::white, QColor(0xce, 0x2b, 0x37)}, {1, 1, 1}); break;
    case lgDanish: NordicCross(p, r, QColor(0xc8, 0x10, 0x2e), Qt::white); break;
    case lgSwedish: NordicCross(p, r, QColor(0x00, 0x6a, 0xa7), QColor(0xfe, 0xcc, 0x02)); break;
    default: p.fillRect(r, Qt::lightGray); break;
  }
  p.setPen(QColor(0, 0, 0, 90));
  p.drawRect(r.adjusted(0, 0, -1, -1));
  return pixmap;
}

TFormLanguage::TFormLanguage(TLanguageSet available, int callerLanguage, int systemLanguage, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint) {
  setObjectName(QStringLiteral("FormLanguage"));
  setWindowTitle(GetProgInfo().Name);
  setModal(true);

  list_ = new QListWidget(this);
  list_->setObjectName(QStringLiteral("ListLanguages"));
  list_->setItemDelegate(new LanguageRowDelegate(list_));
  list_->setMouseTracking(true);
  list_->setSelectionMode(QAbstractItemView::SingleSelection);
  list_->setUniformItemSizes(true);
  for (int language = 1; language <= kLanguageCount; ++language) {
    if (!InLanguages(language, available)) continue;
    auto* item = new QListWidgetItem(LanguageToStrLocal(language), list_);
    item->setData(Qt::DecorationRole, LanguageFlag(language, kFlagSize));
    item->setData(Qt::UserRole, language);
  }

  buttonOK_ = new QPushButton(this);
  buttonOK_->setObjectName(QStringLiteral("ButtonOK"));
  buttonOK_->setDefault(true);
  buttonCancel_ = new QPushButton(this);
  buttonCancel_->setObjectName(QStringLiteral("ButtonCancel"));
  auto* row = new QHBoxLayout;
  row->addStretch();
  row->addWidget(buttonOK_);
  row->addWidget(buttonCancel_);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(list_);
  layout->addLayout(row);
  list_->setFixedHeight(list_->count() * kRowHeight + 2 * list_->frameWidth() + 2);
  resize(260, sizeHint().height());

  connect(buttonOK_, &QPushButton::clicked, this, [this] {
    if (SelectedLanguage() != 0) done(SelectedLanguage());
  });
  connect(buttonCancel_, &QPushButton::clicked, this, &QDialog::reject);
  connect(list_, &QListWidget::itemSelectionChanged, this, [this] { SelectionChanged(); });
  connect(list_, &QListWidget::itemDoubleClicked, this, [this](QListWidgetItem* item) {
    if (item && item->isSelected()) done(SelectedLanguage());
  });

  SelectLanguage(systemLanguage);
  SelectLanguage(callerLanguage);
  SelectionChanged();

  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    const QRect area = screen->availableGeometry();
    move(area.x() + (area.width() - width()) / 2, area.y() + (area.height() - height()) / 2);
  }
}

void TFormLanguage::SelectLanguage(int language) {
  for (int i = 0; i < list_->count(); ++i) {
    QListWidgetItem* item = list_->item(i);
    if (item->data(Qt::UserRole).toInt() == language) {
      list_->setCurrentItem(item);
      return;
    }
  }
}

int TFormLanguage::SelectedLanguage() const {
  const QList<QListWidgetItem*> selected = list_->selectedItems();
  return selected.isEmpty() ? 0 : selected.first()->data(Qt::UserRole).toInt();
}

void TFormLanguage::SelectionChanged() {
  const int language = SelectedLanguage();
  buttonOK_->setEnabled(language != 0);
  ApplyTexts(language);
}

void TFormLanguage::ApplyTexts(int language) {
  // Before anything is stored the highlighted language speaks; without one, the current.
  const int shown = language != 0 ? language : GetCurrentLanguage();
  buttonOK_->setText(LangTextIn(txtOK, shown));
  buttonCancel_->setText(LangTextIn(txtCancel, shown));
  list_->setAccessibleName(LangTextIn(txtLanguage, shown));
}

int ChooserSystemLanguage() {
  // No locale at all (a fresh server, a container) is no choice against English.
  if (QLocale::system().language() == QLocale::C) return lgEnglish;
  return SystemLocaleLanguage();
}

bool TFormLanguage::Execute(int& language, QWidget* parent) {
  TFormLanguage form(GetAvailableLanguages(), language, ChooserSystemLanguage(), parent);
  const int result = form.exec();
  if (result < 1 || result > kLanguageCount) return false;
  language = result;
  return true;
}
