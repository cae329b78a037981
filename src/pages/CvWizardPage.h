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

 private:
  QPointer<QWidget> owner_;
  QPointer<QWidget> placedIn_;
};
