#pragma once

// What every wizard page has in common: the wizard creates each page once, shows it by
// giving it the page area as parent and hides it by taking the parent away. A page acts
// only on a real change of parent: placed, it loads its state, brings its controls' enabled
// state up to date and applies its texts; taken away, it stores its state.
//
// A page taken away is parked, hidden, under the owner it was created with, so that the Qt
// parent keeps owning it for the life of the wizard.

#include <QFrame>
#include <QPointer>

class QLineEdit;
class QPushButton;
class QRadioButton;

// One choice of a folder page: a bold radio button with a folder entry below it and, when the
// user may pick the folder, a Browse button beside the entry.
struct TFolderChoice {
  QWidget* group = nullptr;
  QRadioButton* radio = nullptr;
  QLineEdit* edit = nullptr;
  QPushButton* browse = nullptr;  // nullptr without Browse
};

class TWizardPage : public QFrame {
  Q_OBJECT

 public:
  explicit TWizardPage(QWidget* owner);

  // Places the page into parent, filling it, or takes it away with nullptr. A call with the
  // current parent does nothing.
  void SetParent(QWidget* parent);
  // The page area the page is placed in; nullptr while it is taken away.
  QWidget* PlacedIn() const { return placedIn_; }

 protected:
  // Called after the page is in its new parent and sized to it.
  virtual void PagePlaced() {}
  // Called while the page still has its old parent.
  virtual void PageRemoved() {}

  // A radio button of a choice group: bold, not exclusive (the page keeps one ticked itself).
  QRadioButton* AddChoiceRadio(QWidget* group, const QString& name);
  // A 580 x 45 choice group at (left, top) of the page: a radio button named radioName, an
  // entry named editName and, when browseName is not empty, a Browse button beside the entry.
  TFolderChoice AddFolderChoice(int left, int top, const QString& radioName, const QString& editName,
                                const QString& browseName);

 private:
  QPointer<QWidget> owner_;
  QPointer<QWidget> placedIn_;
};
