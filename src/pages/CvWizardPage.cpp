#include "CvWizardPage.h"

#include <QLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

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

QRadioButton* TWizardPage::AddChoiceRadio(QWidget* group, const QString& name) {
  auto* radio = new QRadioButton(group);
  radio->setObjectName(name);
  radio->setAutoExclusive(false);
  QFont bold = font();
  bold.setBold(true);
  bold.setPixelSize(12);
  radio->setFont(bold);
  radio->setGeometry(0, 0, 580, 17);
  return radio;
}

TFolderChoice TWizardPage::AddFolderChoice(int left, int top, const QString& radioName, const QString& editName,
                                           const QString& browseName) {
  TFolderChoice choice;
  choice.group = new QWidget(this);
  choice.group->setGeometry(left, top, 580, 45);
  choice.radio = AddChoiceRadio(choice.group, radioName);
  choice.edit = new QLineEdit(choice.group);
  choice.edit->setObjectName(editName);
  if (browseName.isEmpty()) {
    choice.edit->setGeometry(20, 20, 560, 21);
    return choice;
  }
  choice.edit->setGeometry(20, 20, 430, 21);
  choice.browse = new QPushButton(choice.group);
  choice.browse->setObjectName(browseName);
  choice.browse->setGeometry(455, 17, 125, 25);
  return choice;
}
