#include "CvMsgBox.h"

#include "CvLanguage.h"
#include "CvLib.h"

#include <QApplication>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QScreen>

#include <array>

namespace {

struct ButtonInfo {
  TMsgDlgBtn button;
  const TLangText* text;
};

// Buttons in the order they stand in the row, left to right.
const std::array<ButtonInfo, 11> kButtonPlaces = {{
    {mbYes, &ctBtnYes},
    {mbYesToAll, &ctBtnYesToAll},
    {mbNo, &ctBtnNo},
    {mbNoToAll, &ctBtnNoToAll},
    {mbOK, &ctBtnOK},
    {mbAbort, &ctBtnAbort},
    {mbRetry, &ctBtnRetry},
    {mbIgnore, &ctBtnIgnore},
    {mbAll, &ctBtnAll},
    {mbCancel, &ctBtnCancel},
    {mbHelp, &ctBtnHelp},
}};

// Measured button text widths per language, 0 until measured; lives as long as the process.
int& CachedButtonWidth(int language, TMsgDlgBtn button) {
  static int cache[kLanguageCount + 1][11] = {};
  const int row = (language >= 1 && language <= kLanguageCount) ? language : 0;
  return cache[row][button];
}

QString PlainText(QString text) {
  text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
  text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  return text;
}

QRect ScreenGeometry() {
  const QScreen* screen = QGuiApplication::primaryScreen();
  return screen ? screen->geometry() : QRect(0, 0, 1024, 768);
}

}  // namespace

int MessageIconNumber(TMsgDlgType kind, int size) {
  int base = 0;
  switch (kind) {
    case mtWarning: base = 130; break;
    case mtError: base = 110; break;
    case mtInformation: base = 120; break;
    case mtConfirmation: base = 100; break;
    case mtCustom: return 0;
  }
  return base + 1 + (size >= 32 ? 2 : 0);
}

QString MessageIconResource(int number) {
  return QStringLiteral(":/msgbox/%1.png").arg(number);
}

TMessageForm::TMessageForm(const TMsgBoxRequest& request, QWidget* parent) : QDialog(parent) {
  setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
  setModal(true);
  setFont(QApplication::font("QMessageBox"));
  setLayoutDirection(QApplication::layoutDirection());
  setWindowTitle(request.caption);

  const QFontMetrics fm(font());
  Metrics& m = metrics_;
  m.cx = fm.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")) / 52;
  m.cy = fm.height();
  m.hMargin = 8 * m.cx / 4;
  m.vMargin = 8 * m.cy / 8;
  m.hSpacing = 10 * m.cx / 4;
  m.vSpacing = 10 * m.cy / 8;
  m.buttonWidth = 50 * m.cx / 4;
  m.buttonHeight = 14 * m.cy / 8;
  m.buttonSpacing = 4 * m.cx / 4;

  const int language = GetCurrentLanguage();
  int buttonCount = 0;
  for (const ButtonInfo& info : kButtonPlaces) {
    if (!(request.buttons & MsgButton(info.button))) continue;
    ++buttonCount;
    int& cached = CachedButtonWidth(language, info.button);
    if (cached == 0) {
      QString caption = LangText(*info.text);
      caption.remove(QLatin1Char('&'));
      cached = fm.horizontalAdvance(caption) + 8;
    }
    m.buttonWidth = std::max(m.buttonWidth, cached);
  }

  const QString text = PlainText(request.text);
  const QRect screen = ScreenGeometry();
  const QRect textRect = fm.boundingRect(QRect(0, 0, screen.width() / 2, 0),
                                         Qt::TextWordWrap | Qt::TextExpandTabs, text);
  const bool hasIcon = request.kind != mtCustom;
  QSize block = textRect.size();
  const QSize labelSize = block;
  if (hasIcon) {
    block.setWidth(block.width() + m.hSpacing + 32);
    block.setHeight(std::max(block.height(), 32));
  }
  m.textBlock = block;

  const int rowWidth = buttonCount * m.buttonWidth + std::max(0, buttonCount - 1) * m.buttonSpacing;
  const int clientWidth = std::max(block.width(), rowWidth) + 2 * m.hMargin;
  const int clientHeight = block.height() + m.buttonHeight + m.vSpacing + 2 * m.vMargin;
  setFixedSize(clientWidth, clientHeight);
  const bool rtl = layoutDirection() == Qt::RightToLeft;
  auto mirrored = [&](int x, int width) { return rtl ? clientWidth - x - width : x; };

  if (hasIcon) {
    icon_ = new QLabel(this);
    icon_->setObjectName(QStringLiteral("Image"));
    icon_->setPixmap(QPixmap(MessageIconResource(MessageIconNumber(request.kind, 32))));
    // The icon says the kind of message to someone who cannot see it.
    icon_->setAccessibleName(MsgKindCaption(request.kind));
    icon_->setGeometry(mirrored(m.hMargin, 32), m.vMargin, 32, 32);
  }

  message_ = new QLabel(text, this);
  message_->setObjectName(QStringLiteral("Message"));
  message_->setTextFormat(Qt::PlainText);
  message_->setWordWrap(true);
  message_->setAlignment(Qt::AlignLeading | Qt::AlignTop);
  const int textX = m.hMargin + (hasIcon ? 32 + m.hSpacing : 0);
  message_->setGeometry(mirrored(textX, labelSize.width()), m.vMargin, labelSize.width(),
                        labelSize.height());

  const TMsgDlgBtn defaultButton = MsgDefaultButton(request.buttons);
  const TMsgDlgBtn cancelButton = MsgCancelButton(request.buttons);
  cancelResult_ = MsgButtonResult(cancelButton);
  int x = (clientWidth - rowWidth) / 2;
  const int y = block.height() + m.vMargin + m.vSpacing;
  for (const ButtonInfo& info : kButtonPlaces) {
    if (!(request.buttons & MsgButton(info.button))) continue;
    auto* button = new QPushButton(LangText(*info.text), this);
    button->setObjectName(QStringLiteral("Button%1").arg(int(info.button)));
    button->setGeometry(mirrored(x, m.buttonWidth), y, m.buttonWidth, m.buttonHeight);
    // A focused button answers Enter, as in desktop message boxes; the default button only
    // while no other button has the focus.
    button->setAutoDefault(true);
    const int result = MsgButtonResult(info.button);
    connect(button, &QPushButton::clicked, this, [this, result] { done(result); });
    buttons_[info.button] = button;
    x += m.buttonWidth + m.buttonSpacing;
  }
  defaultButton_ = buttons_[defaultButton];
  cancelButton_ = buttons_[cancelButton];
  if (defaultButton_) {
    defaultButton_->setDefault(true);
    defaultButton_->setFocus();
  }

  move(screen.x() + (screen.width() - clientWidth) / 2, screen.y() + (screen.height() - clientHeight) / 2);
}

QPushButton* TMessageForm::Button(TMsgDlgBtn button) const {
  return (button >= 0 && button < 11) ? buttons_[button] : nullptr;
}

void TMessageForm::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
    done(cancelResult_);
    return;
  }
  QDialog::keyPressEvent(event);
}

// The window's close control.
void TMessageForm::reject() { done(mrCancel); }

int ShowMessageForm(const TMsgBoxRequest& request) {
  TMessageForm form(request, QApplication::activeWindow());
  return form.exec();
}

void InstallMessageFormPresenter() { SetMsgBoxPresenter(ShowMessageForm); }
