#pragma once

// The program's own modal message box: caption and button texts follow the program's
// language, the icons are the program's own.

#include "CvMsgBoxPresenter.h"

#include <QDialog>

class QLabel;
class QPushButton;

class TMessageForm final : public QDialog {
  Q_OBJECT

 public:
  // Builds the box for one message, sized to its text and centred on the screen.
  explicit TMessageForm(const TMsgBoxRequest& request, QWidget* parent = nullptr);

  QPushButton* Button(TMsgDlgBtn button) const;
  QPushButton* DefaultButton() const { return defaultButton_; }
  QPushButton* CancelButton() const { return cancelButton_; }
  QLabel* MessageLabel() const { return message_; }
  QLabel* IconImage() const { return icon_; }

  // Layout metrics of the box, kept for checks of the sizing rules.
  struct Metrics {
    int cx = 0, cy = 0;
    int hMargin = 0, vMargin = 0, hSpacing = 0, vSpacing = 0;
    int buttonWidth = 0, buttonHeight = 0, buttonSpacing = 0;
    QSize textBlock;
  };
  const Metrics& LayoutMetrics() const { return metrics_; }

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void reject() override;

 private:
  QLabel* message_ = nullptr;
  QLabel* icon_ = nullptr;
  QPushButton* buttons_[11] = {};
  QPushButton* defaultButton_ = nullptr;
  QPushButton* cancelButton_ = nullptr;
  int cancelResult_ = mrCancel;
  Metrics metrics_;
};

// Shows the real box; installed as the presenter of MsgBox by the program's start-up.
int ShowMessageForm(const TMsgBoxRequest& request);

// Makes every MsgBox of the process show the real box.
void InstallMessageFormPresenter();

// Resource path of a message icon by its number (103, 113, 123, 133; 101, 111, 121, 131).
QString MessageIconResource(int number);

// The icon number for a kind and size (16 or 32); 0 for the custom kind.
int MessageIconNumber(TMsgDlgType kind, int size);
