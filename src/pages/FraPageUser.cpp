#include "FraPageUser.h"

#include "CvLanguage.h"
#include "CvMsgBoxPresenter.h"
#include "CvWizardFlow.h"

#include <QCheckBox>
#include <QEvent>
#include <QFocusEvent>
#include <QLabel>
#include <QLineEdit>
#include <QTimer>

namespace {

const TLangText txtEmail = {"E-mail address:", "E-mailadres:", "E-Mail-Adresse:", "Adresse e-mail :",
                            nullptr, nullptr, "E-mailadresse:", "E-postadress:"};
const TLangText txtPassword = {"Password:", "Wachtwoord:", "Passwort:", "Mot de passe :",
                               nullptr, nullptr, "Adgangskode:", "Lösenord:"};
const TLangText txtRememberMe = {"Remember me", "Onthoud mij", "Angemeldet bleiben"};
const TLangText txtNoEmail = {"No e-mail address entered.\r\n\r\nPlease enter a e-mail address.",
                              "Geen e-mailadres ingevoerd.\r\n\r\nVoer een e-mailadres in.",
                              "Keine E-Mail-Adresse eingegeben.\r\n\r\nBitte geben Sie eine E-Mail-Adresse ein.",
                              "Aucune adresse e-mail saisie.\r\n\r\nVeuillez saisir une adresse e-mail."};
const TLangText txtInvalidEmail = {
    "Invalid e-mail address entered.\r\n\r\nPlease make sure you enter a valid e-mail address.",
    "Ongeldig e-mailadres ingevoerd.\r\n\r\nZorg ervoor dat u een geldig e-mailadres invoert.",
    "Ungültige E-Mail-Adresse eingegeben.\r\n\r\nBitte stellen Sie sicher, dass Sie eine gültige E-Mail-Adresse "
    "eingeben.",
    "Adresse e-mail non valide.\r\n\r\nVeuillez vous assurer de saisir une adresse e-mail valide."};
const TLangText txtNoPassword = {"No password entered.\r\n\r\nThe password must be a minimum of 6 characters.",
                                 "Geen wachtwoord ingevoerd.\r\n\r\nHet wachtwoord moet minimaal 6 tekens lang zijn.",
                                 "Kein Passwort eingegeben.\r\n\r\nDas Passwort muss mindestens 6 Zeichen lang sein.",
                                 "Aucun mot de passe saisi.\r\n\r\nLe mot de passe doit comporter au moins 6 "
                                 "caractères."};
const TLangText txtShortPassword = {
    "Invalid password entered.\r\n\r\nThe password must be a minimum of 6 characters.",
    "Ongeldig wachtwoord ingevoerd.\r\n\r\nHet wachtwoord moet minimaal 6 tekens lang zijn.",
    "Ungültiges Passwort eingegeben.\r\n\r\nDas Passwort muss mindestens 6 Zeichen lang sein.",
    "Mot de passe non valide.\r\n\r\nLe mot de passe doit comporter au moins 6 caractères."};

constexpr int kMinPasswordLength = 6;
constexpr int kPanelWidth = 420;
constexpr int kPanelHeight = 110;

}  // namespace

// 17 identical lower-case letters: shorter passwords pass the length check, and no sign-in
// is ever sent with it (an unchanged field means "use the remembered token").
const QString TFramePageUserLogin::kPlaceholder = QStringLiteral("xxxxxxxxxxxxxxxxx");

TFramePageUserLogin::TFramePageUserLogin(QWidget* owner) : TFrameScaled(owner) {
  setObjectName(QStringLiteral("PageUserLogin"));
  resize(620, 370);
  panelContents_ = new QWidget(this);
  panelContents_->setObjectName(QStringLiteral("PanelContents"));
  panelContents_->setGeometry(0, 0, kPanelWidth, kPanelHeight);

  labelEmail_ = new QLabel(panelContents_);
  labelEmail_->setObjectName(QStringLiteral("LabelLoginEmail"));
  labelEmail_->setGeometry(0, 4, 130, 22);
  editEmail_ = new QLineEdit(panelContents_);
  editEmail_->setObjectName(QStringLiteral("EditLoginEmail"));
  editEmail_->setGeometry(140, 2, 280, 24);
  editEmail_->setMaxLength(kMaxLength);

  labelPassword_ = new QLabel(panelContents_);
  labelPassword_->setObjectName(QStringLiteral("LabelLoginPassword"));
  labelPassword_->setGeometry(0, 40, 130, 22);
  editPassword_ = new QLineEdit(panelContents_);
  editPassword_->setObjectName(QStringLiteral("EditLoginPassword"));
  editPassword_->setGeometry(140, 38, 280, 24);
  editPassword_->setMaxLength(kMaxLength);
  editPassword_->setEchoMode(QLineEdit::Password);
  editPassword_->setStyleSheet(QStringLiteral("lineedit-password-character: 8226"));  // the bullet
  editPassword_->installEventFilter(this);

  checkRemember_ = new QCheckBox(panelContents_);
  checkRemember_->setObjectName(QStringLiteral("CheckBoxRememberMe"));
  checkRemember_->setGeometry(140, 74, 280, 22);
  checkRemember_->setChecked(false);

  labelEmail_->setBuddy(editEmail_);
  labelPassword_->setBuddy(editPassword_);
  setTabOrder(editEmail_, editPassword_);
  setTabOrder(editPassword_, checkRemember_);

  ApplyTexts();
  ScaleForScreen();
}

void TFramePageUserLogin::resizeEvent(QResizeEvent* event) {
  TFrameScaled::resizeEvent(event);
  // The fields stay together in the middle of the page, a little above the centre.
  panelContents_->move((width() - panelContents_->width()) / 2, (height() - panelContents_->height()) / 3);
}

void TFramePageUserLogin::PagePlaced() { ApplyTexts(); }

void TFramePageUserLogin::ApplyTexts() {
  labelEmail_->setText(LangText(txtEmail));
  labelPassword_->setText(LangText(txtPassword));
  checkRemember_->setText(LangText(txtRememberMe));
}

bool TFramePageUserLogin::eventFilter(QObject* watched, QEvent* event) {
  if (watched == editPassword_) {
    if (event->type() == QEvent::FocusIn) {
      // After the edit's own focus handling, which places the cursor.
      QTimer::singleShot(0, editPassword_, [edit = editPassword_] {
        if (edit->hasFocus()) edit->selectAll();
      });
    } else if (event->type() == QEvent::MouseButtonRelease) {
      // A click into the field selects everything too, so typing replaces the placeholder.
      if (!editPassword_->hasSelectedText()) editPassword_->selectAll();
    }
  }
  return TFrameScaled::eventFilter(watched, event);
}

void TFramePageUserLogin::SetRemembered(const QString& email) {
  if (email.isEmpty()) {
    checkRemember_->setChecked(false);
    rememberedEmail_.clear();
    rememberedPassword_.clear();
  } else {
    checkRemember_->setChecked(true);
    rememberedEmail_ = email;
    rememberedPassword_ = kPlaceholder;
  }
  editEmail_->setText(rememberedEmail_);
  editPassword_->setText(rememberedPassword_);
}

QString TFramePageUserLogin::GetEmail() const { return editEmail_->text(); }
QString TFramePageUserLogin::GetPassword() const { return editPassword_->text(); }
bool TFramePageUserLogin::GetRememberMe() const { return checkRemember_->isChecked(); }

bool TFramePageUserLogin::Validate(int& change) {
  const QString email = GetEmail();
  const QString password = GetPassword();
  const auto fail = [](const TLangText& text, QLineEdit* edit) {
    MsgBox(LangText(text), mtError, mbOKOnly);
    edit->setFocus();
    return false;
  };
  if (email.isEmpty()) return fail(txtNoEmail, editEmail_);
  if (!IsValidEmailAddress(email)) return fail(txtInvalidEmail, editEmail_);
  if (password.isEmpty()) return fail(txtNoPassword, editPassword_);
  if (password.size() < kMinPasswordLength) return fail(txtShortPassword, editPassword_);
  change = LoginChangeCode(email, password, rememberedEmail_, rememberedPassword_);
  return true;
}
