#include "CvWizardPage.h"

#include <QLayout>

TWizardPage::TWizardPage(QWidget* owner) : QFrame(owner), owner_(owner) {
  setFrameShape(QFrame::NoFrame);
  // Not placed yet: hidden until the wizard gives the page its area.
  hide();
}

void TWizardPage::SetParent(QWidget* parent) {
  if (parent == placedIn_) return;
  if (!parent) {
    PageRemoved();
    hide();
    placedIn_ = nullptr;
    setParent(owner_);
    hide();
    return;
  }
  placedIn_ = parent;
  setParent(parent);
  if (QLayout* layout = parent->layout()) layout->addWidget(this);
  // The page's own arithmetic (the progress page centres its panels) needs the final size
  // now, not after the next layout pass.
  setGeometry(parent->contentsRect());
  PagePlaced();
  show();
}
