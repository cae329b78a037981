#pragma once

// The login page: the e-mail address and password of the customer account, and whether the
// sign-in is to be remembered. It only collects and checks the input and tells the wizard
// what changed against the remembered login; the wizard signs in.

#include "CvFrameScaled.h"

class QCheckBox;
class QLabel;
class QLineEdit;

class TFramePageUserLogin final : public TFrameScaled {
  Q_OBJECT

 public:
  // The text shown in the password field for a remembered sign-in; never a real password
  // (a password is never stored).
  static const QString kPlaceholder;
  static constexpr int kMaxLength = 100;

  explicit TFramePageUserLogin(QWidget* owner);

  // A non-empty e-mail ticks "Remember me" and shows it with the placeholder password;
  // an empty one unticks it and clears both fields.
  void SetRemembered(const QString& email);

  QString GetEmail() const;
  QString GetPassword() const;
  bool GetRememberMe() const;

  // Checks the input and shows the message of the first problem (false). On success change
  // tells what differs from the remembered login: 0 nothing, 1 the e-mail, 2 the password,
  // 3 both.
  bool Validate(int& change);

  QLineEdit* EditLoginEmail() const { return editEmail_; }
  QLineEdit* EditLoginPassword() const { return editPassword_; }
  QCheckBox* CheckBoxRememberMe() const { return checkRemember_; }
  QLabel* LabelLoginEmail() const { return labelEmail_; }
  QLabel* LabelLoginPassword() const { return labelPassword_; }

 protected:
  void PagePlaced() override;
  bool eventFilter(QObject* watched, QEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void ApplyTexts();

  QWidget* panelContents_ = nullptr;
  QLabel* labelEmail_ = nullptr;
  QLabel* labelPassword_ = nullptr;
  QLineEdit* editEmail_ = nullptr;
  QLineEdit* editPassword_ = nullptr;
  QCheckBox* checkRemember_ = nullptr;
  QString rememberedEmail_;
  QString rememberedPassword_;
};
