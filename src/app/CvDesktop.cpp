#include "CvDesktop.h"

#include "FrmWizardInstall.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QAccessibleWidget>
#include <QCheckBox>
#include <QRadioButton>
#include <QApplication>
#include <QDialog>
#include <QEvent>
#include <QKeySequence>
#include <QLabel>
#include <QKeyEvent>
#include <QLineEdit>
#include <QListView>
#include <QMouseEvent>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include <set>

namespace {

QString StripMnemonic(const QString& text) {
  QString out;
  for (int i = 0; i < text.size(); ++i) {
    if (text[i] == QLatin1Char('&') && i + 1 < text.size()) ++i;
    out += text[i];
  }
  return out;
}

// The access letter a text carries, lower case, or a null char.
QChar Mnemonic(const QString& text) {
  for (int i = 0; i + 1 < text.size(); ++i) {
    if (text[i] != QLatin1Char('&')) continue;
    if (text[i + 1] == QLatin1Char('&')) {
      ++i;
      continue;
    }
    return text[i + 1].toLower();
  }
  return {};
}

bool WantsMnemonic(const QWidget* w) {
  if (const auto* button = qobject_cast<const QAbstractButton*>(w)) return !button->text().isEmpty();
  if (const auto* label = qobject_cast<const QLabel*>(w)) return label->buddy() && !label->text().isEmpty();
  return false;
}

QString TextOf(const QWidget* w) {
  if (const auto* button = qobject_cast<const QAbstractButton*>(w)) return button->text();
  if (const auto* label = qobject_cast<const QLabel*>(w)) return label->text();
  return {};
}

void SetTextOf(QWidget* w, const QString& text) {
  if (auto* button = qobject_cast<QAbstractButton*>(w)) button->setText(text);
  else if (auto* label = qobject_cast<QLabel*>(w)) label->setText(text);
}

// Marks a letter of w's text that no other visible control of its window uses: the first
// letter of a word first, then any letter. A text that has no free letter keeps none.
// A letter the text already carries stays unless a control before it in the window has it too.
void AssignMnemonic(QWidget* w) {
  const QString text = TextOf(w);
  if (!WantsMnemonic(w) || Qt::mightBeRichText(text)) return;
  // A text looked at before, in the same window, is settled: paints come often.
  QWidget* window = w->window();
  const QString settled = text + QLatin1Char('\n') + QString::number(reinterpret_cast<quintptr>(window), 16);
  if (w->property("cvMnemonicSettled").toString() == settled) return;
  const QChar own = Mnemonic(text);
  std::set<QChar> used;
  bool clash = false;
  bool before = true;
  for (QWidget* other : window->findChildren<QWidget*>()) {
    if (other == w) {
      before = false;
      continue;
    }
    if (!other->isVisibleTo(window) || !WantsMnemonic(other)) continue;
    const QChar c = Mnemonic(TextOf(other));
    if (c.isNull()) continue;
    used.insert(c);
    clash = clash || (before && c == own);
  }
  if (!own.isNull() && !clash) {
    w->setProperty("cvMnemonicSettled", settled);
    return;
  }
  const QString plain = own.isNull() ? text : StripMnemonic(text);
  auto freeAt = [&](int i) {
    return plain[i].isLetterOrNumber() && plain[i] != QLatin1Char('&') && !used.count(plain[i].toLower());
  };
  int at = -1;
  for (int i = 0; i < plain.size() && at < 0; ++i)
    if ((i == 0 || plain[i - 1].isSpace()) && freeAt(i)) at = i;
  for (int i = 0; i < plain.size() && at < 0; ++i)
    if (freeAt(i) && (i == 0 || plain[i - 1] != QLatin1Char('&'))) at = i;
  if (at < 0) return;
  QString marked = plain;
  marked.replace(QStringLiteral("&"), QStringLiteral("&&"));
  // Count the doubled marks before the chosen letter.
  const int shift = static_cast<int>(plain.left(at).count(QLatin1Char('&')));
  marked.insert(at + shift, QLatin1Char('&'));
  SetTextOf(w, marked);
}

// The text of the label or button that introduces w inside its parent: the nearest one above
// or to the left of it.
QString IntroText(const QWidget* w) {
  const QWidget* parent = w->parentWidget();
  if (!parent) return {};
  const QLabel* buddyLabel = nullptr;
  const QWidget* best = nullptr;
  int bestDistance = 1 << 30;
  for (const QWidget* other : parent->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
    if (other == w || !other->isVisibleTo(parent)) continue;
    if (const auto* label = qobject_cast<const QLabel*>(other); label && label->buddy() == w) buddyLabel = label;
    const bool candidate = qobject_cast<const QRadioButton*>(other) || qobject_cast<const QCheckBox*>(other) ||
                           (qobject_cast<const QLabel*>(other) && !static_cast<const QLabel*>(other)->text().isEmpty());
    if (!candidate) continue;
    const QRect g = other->geometry();
    const QRect mine = w->geometry();
    if (g.top() > mine.top() + 2 || (g.bottom() > mine.bottom() && g.left() >= mine.left())) continue;
    const int distance = (mine.top() - g.top()) + std::max(0, mine.left() - g.right()) / 4;
    if (distance < bestDistance) {
      bestDistance = distance;
      best = other;
    }
  }
  if (buddyLabel) return StripMnemonic(buddyLabel->text());
  return best ? StripMnemonic(TextOf(best)) : QString();
}

void NameControl(QWidget* w) {
  if (auto* edit = qobject_cast<QLineEdit*>(w)) {
    // An edit is named by its label, and follows it when the language changes; a name the
    // window set itself stays.
    if (!edit->accessibleName().isEmpty() && !edit->property("cvAutoName").toBool()) return;
    QString name = IntroText(edit).trimmed();
    if (name.endsWith(QLatin1Char(':'))) name = name.chopped(1).trimmed();
    if (!name.isEmpty() && edit->accessibleName() != name) {
      edit->setAccessibleName(name);
      edit->setProperty("cvAutoName", true);
    }
  } else if (auto* bar = qobject_cast<QProgressBar*>(w)) {
    // A progress bar is named by the texts of its panel, which change as the run goes on.
    QStringList texts;
    for (const QLabel* label : bar->parentWidget()->findChildren<QLabel*>(Qt::FindDirectChildrenOnly))
      if (label->isVisibleTo(bar->parentWidget()) && !label->text().isEmpty()) texts << StripMnemonic(label->text());
    const QString name = texts.join(QStringLiteral(", "));
    if (!name.isEmpty() && bar->accessibleName() != name) bar->setAccessibleName(name);
  } else if (auto* view = qobject_cast<QAbstractItemView*>(w)) {
    // A list or tree reads as its first column's heading, else as its window's title.
    if (!view->accessibleName().isEmpty() && !view->property("cvAutoName").toBool()) return;
    QString name;
    // A list has no heading: its model answers a column number, which names nothing.
    if (view->model() && !qobject_cast<QListView*>(view))
      name = view->model()->headerData(0, Qt::Horizontal, Qt::DisplayRole).toString();
    if (name.isEmpty()) name = view->window()->windowTitle();
    if (!name.isEmpty() && view->accessibleName() != name) {
      view->setAccessibleName(name);
      view->setProperty("cvAutoName", true);
    }
  } else if (auto* dialog = qobject_cast<QDialog*>(w)) {
    // A message box reads as its caption and its text.
    if (!dialog->accessibleDescription().isEmpty()) return;
    QStringList texts;
    for (const QLabel* label : dialog->findChildren<QLabel*>())
      if (!label->text().isEmpty() && !label->buddy() && label->isVisibleTo(dialog)) texts << StripMnemonic(label->text());
    if (!texts.isEmpty()) dialog->setAccessibleDescription(texts.join(QLatin1Char('\n')));
  }
}

// The wizard's language and update links are labels that answer a click: they take the
// keyboard focus too, look hovered while they have it, and Space or Enter clicks them.
void MakeLinksReachable(TFormWizardInstall* wizard) {
  const QList<QLabel*> links = {wizard->LabelDutch(), wizard->LabelEnglish(), wizard->LabelGerman(),
                                wizard->LabelUpdates()};
  if (links.contains(nullptr) || links[0]->property("cvLink").toBool()) return;
  // Last in the Tab order, after Close: a page that goes away hands its focus on to the
  // buttons, never to a link that one Space would act on.
  QWidget* previous = wizard->ButtonClose();
  for (QLabel* link : links) {
    link->setProperty("cvLink", true);
    link->setFocusPolicy(Qt::TabFocus);
    QWidget::setTabOrder(previous, link);
    previous = link;
  }
  // A flag says the language its link says.
  const QList<std::pair<QLabel*, QLabel*>> flags = {{wizard->ImageDutch(), wizard->LabelDutch()},
                                                    {wizard->ImageEnglish(), wizard->LabelEnglish()},
                                                    {wizard->ImageGerman(), wizard->LabelGerman()}};
  for (const auto& [image, label] : flags)
    if (image && label) image->setAccessibleName(label->text());
}

bool LinkEvent(QLabel* link, QEvent* event) {
  switch (event->type()) {
    case QEvent::FocusIn: {
      QEvent enter(QEvent::Enter);
      QCoreApplication::sendEvent(link, &enter);
      return false;
    }
    case QEvent::FocusOut: {
      QEvent leave(QEvent::Leave);
      QCoreApplication::sendEvent(link, &leave);
      return false;
    }
    case QEvent::KeyPress: {
      const auto* key = static_cast<QKeyEvent*>(event);
      if (key->modifiers() != Qt::NoModifier ||
          (key->key() != Qt::Key_Space && key->key() != Qt::Key_Return && key->key() != Qt::Key_Enter))
        return false;
      const QPointF centre = QRectF(link->rect()).center();
      QMouseEvent release(QEvent::MouseButtonRelease, centre, link->mapToGlobal(centre), Qt::LeftButton,
                          Qt::NoButton, Qt::NoModifier);
      QCoreApplication::sendEvent(link, &release);
      return true;
    }
    default:
      return false;
  }
}

// The pages keep their radio buttons in boxes of their own and make them exclusive when one is
// clicked. To a screen reader they are radio buttons all the same, and its action clicks, as a
// person does, so that the page hears of it.
class TRadioAccessible final : public QAccessibleWidget {
 public:
  explicit TRadioAccessible(QRadioButton* radio) : QAccessibleWidget(radio, QAccessible::RadioButton) {}
  QRadioButton* Radio() const { return static_cast<QRadioButton*>(widget()); }

  QString text(QAccessible::Text t) const override {
    if (t == QAccessible::Name && Radio()->accessibleName().isEmpty()) return StripMnemonic(Radio()->text());
    return QAccessibleWidget::text(t);
  }
  QAccessible::State state() const override {
    QAccessible::State s = QAccessibleWidget::state();
    s.checkable = true;
    s.checked = Radio()->isChecked();
    return s;
  }
  QStringList actionNames() const override { return {pressAction(), toggleAction()}; }
  void doAction(const QString& name) override {
    if (Radio()->isEnabled() && (name == pressAction() || name == toggleAction())) Radio()->click();
  }
  QStringList keyBindingsForAction(const QString&) const override {
    const QChar c = Mnemonic(Radio()->text());
    return c.isNull() ? QStringList() : QStringList{QStringLiteral("Alt+") + c.toUpper()};
  }
};

QAccessibleInterface* DesktopAccessible(const QString& className, QObject* object) {
  if (!object || !object->isWidgetType()) return nullptr;
  // A window that is neither a dialog nor a main window is still a window to a screen reader.
  if (className == QLatin1String("TFormWizardInstall"))
    return new QAccessibleWidget(static_cast<QWidget*>(object), QAccessible::Window);
  if (className == QLatin1String("QRadioButton")) return new TRadioAccessible(static_cast<QRadioButton*>(object));
  return nullptr;
}

bool TakesKeyboard(const QWidget* w) {
  const Qt::WindowType type = w->windowType();
  return (type == Qt::Window || type == Qt::Dialog) && !w->testAttribute(Qt::WA_ShowWithoutActivating);
}

class TDesktopWatcher final : public QObject {
 public:
  using QObject::QObject;
  bool eventFilter(QObject* watched, QEvent* event) override {
    const QEvent::Type type = event->type();
    if (type == QEvent::FocusIn || type == QEvent::FocusOut || type == QEvent::KeyPress) {
      auto* link = qobject_cast<QLabel*>(watched);
      return link && link->property("cvLink").toBool() && LinkEvent(link, event);
    }
    if (type != QEvent::Paint && type != QEvent::Show && type != QEvent::Hide) return false;
    if (!watched->isWidgetType()) return false;
    auto* w = static_cast<QWidget*>(watched);
    if (type == QEvent::Paint && !iconSet_) {
      // Decoding the icon's pictures probes every image plug-in: it waits until the first
      // window is on the screen, then comes at once.
      iconSet_ = true;
      QTimer::singleShot(0, this, [] { QApplication::setWindowIcon(DeployerIcon()); });
    }
    if (type == QEvent::Show && w->isWindow()) {
      ApplyDesktopConventions(w);
      // Without a window manager (a kiosk, a bare X server) nothing else gives the keyboard
      // to a window that opens, or back to the wizard when a box closes.
      if (TakesKeyboard(w)) w->activateWindow();
      return false;
    }
    if (type == QEvent::Hide && w->isWindow() && TakesKeyboard(w)) {
      const QWidgetList windows = QApplication::topLevelWidgets();
      for (QWidget* other : windows)
        if (other != w && other->isVisible() && TakesKeyboard(other) && !QApplication::activeWindow())
          other->activateWindow();
      return false;
    }
    if (type == QEvent::Hide) return false;
    if (WantsMnemonic(w)) AssignMnemonic(w);
    else if (qobject_cast<QLineEdit*>(w) || qobject_cast<QProgressBar*>(w) || qobject_cast<QAbstractItemView*>(w))
      NameControl(w);
    return false;
  }

 private:
  bool iconSet_ = false;
};

}  // namespace

QIcon DeployerIcon() {
  // The desktop entry's icon (packaging/icons), built into the program so that a copy of it
  // in a backup shows it too.
  QIcon icon;
  icon.addFile(QStringLiteral(":/app/48.png"), QSize(48, 48));
  icon.addFile(QStringLiteral(":/app/256.png"), QSize(256, 256));
  return icon;
}

void ApplyDesktopConventions(QWidget* window) {
  if (auto* wizard = qobject_cast<TFormWizardInstall*>(window)) MakeLinksReachable(wizard);
  NameControl(window);
  for (QWidget* w : window->findChildren<QWidget*>()) {
    if (!w->isVisibleTo(window)) continue;
    if (WantsMnemonic(w)) AssignMnemonic(w);
    else NameControl(w);
  }
}

void InstallDesktopConventions() {
  auto* app = qobject_cast<QApplication*>(QCoreApplication::instance());
  if (!app) return;
  // Lets a Wayland compositor find the desktop entry, and with it the icon and the name.
  QGuiApplication::setDesktopFileName(QStringLiteral("com.corvane.deployer"));
  app->installEventFilter(new TDesktopWatcher(app));
  QAccessible::installFactory(&DesktopAccessible);
}
