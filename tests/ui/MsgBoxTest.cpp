#include "CvLanguage.h"
#include "CvLib.h"
#include "CvMsgBox.h"
#include "FrmMessage.h"

#include <QApplication>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QtTest/QTest>

#include <gtest/gtest.h>

namespace {

class MsgBoxTest : public ::testing::Test {
 protected:
  void TearDown() override { SetCurrentLanguage(lgEnglish); }
};

TMsgBoxRequest Request(TMsgDlgType kind, TMsgDlgButtons buttons, QString text = "Short.") {
  TMsgBoxRequest r;
  r.kind = kind;
  r.buttons = buttons;
  r.text = std::move(text);
  r.caption = MsgKindCaption(kind);
  return r;
}

// Result of pressing a key in a fresh box of the given buttons.
int PressKey(TMsgDlgButtons buttons, Qt::Key key) {
  TMessageForm form(Request(mtConfirmation, buttons));
  form.show();
  int result = -1;
  QObject::connect(&form, &QDialog::finished, [&](int r) { result = r; });
  QWidget* target = form.focusWidget() ? form.focusWidget() : &form;
  QTest::keyClick(target, key);
  return result;
}

TEST_F(MsgBoxTest, ButtonSetsDecideDefaultCancelAndOrder) {
  struct Case {
    TMsgDlgButtons buttons;
    int enter;
    int escape;
  };
  const TMsgDlgButtons abortRetryIgnore = MsgButton(mbAbort) | MsgButton(mbRetry) | MsgButton(mbIgnore);
  const Case cases[] = {
      {mbYesNo, mrYes, mrNo},
      {mbOKOnly, mrOk, mrOk},
      {MsgButton(mbOK) | MsgButton(mbCancel), mrOk, mrCancel},
      {MsgButton(mbYes) | MsgButton(mbNo) | MsgButton(mbCancel), mrYes, mrCancel},
      {abortRetryIgnore, mrRetry, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.buttons);
    EXPECT_EQ(PressKey(c.buttons, Qt::Key_Return), c.enter);
    if (c.escape >= 0) {
      EXPECT_EQ(PressKey(c.buttons, Qt::Key_Escape), c.escape);
    }
  }

  TMessageForm yesNo(Request(mtConfirmation, mbYesNo));
  ASSERT_TRUE(yesNo.Button(mbYes) && yesNo.Button(mbNo));
  EXPECT_LT(yesNo.Button(mbYes)->x(), yesNo.Button(mbNo)->x());
  EXPECT_EQ(yesNo.DefaultButton(), yesNo.Button(mbYes));
  EXPECT_EQ(yesNo.CancelButton(), yesNo.Button(mbNo));
  EXPECT_EQ(yesNo.Button(mbOK), nullptr);

  TMessageForm ok(Request(mtInformation, mbOKOnly));
  QPushButton* okButton = ok.Button(mbOK);
  ASSERT_TRUE(okButton);
  EXPECT_EQ(ok.DefaultButton(), okButton);
  EXPECT_EQ(ok.CancelButton(), okButton);
  EXPECT_NEAR(okButton->x() + okButton->width() / 2, ok.width() / 2, 1);  // centred
}

// Enter answers the button that has the focus, as desktop message boxes do; the focus starts on
// the default button. Space presses the focused button too.
TEST_F(MsgBoxTest, EnterAnswersTheFocusedButton) {
  struct Case {
    TMsgDlgButtons buttons;
    int tabs;
    Qt::Key key;
    int result;
  };
  const TMsgDlgButtons yesNoCancel = MsgButton(mbYes) | MsgButton(mbNo) | MsgButton(mbCancel);
  const Case cases[] = {
      {mbYesNo, 0, Qt::Key_Return, mrYes}, {mbYesNo, 1, Qt::Key_Return, mrNo},  {mbYesNo, 1, Qt::Key_Enter, mrNo},
      {mbYesNo, 2, Qt::Key_Return, mrYes}, {yesNoCancel, 2, Qt::Key_Return, mrCancel},
      {mbYesNo, 1, Qt::Key_Space, mrNo},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.buttons << " tabs " << c.tabs << " key " << c.key);
    TMessageForm form(Request(mtConfirmation, c.buttons));
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    EXPECT_EQ(form.focusWidget(), form.DefaultButton());
    int result = -1;
    QObject::connect(&form, &QDialog::finished, [&](int r) { result = r; });
    for (int i = 0; i < c.tabs; ++i) QTest::keyClick(form.focusWidget(), Qt::Key_Tab);
    QTest::keyClick(form.focusWidget(), c.key);
    if (c.key == Qt::Key_Space) QTest::keyRelease(form.focusWidget(), c.key);
    EXPECT_EQ(result, c.result);
  }
}

TEST_F(MsgBoxTest, SizesFollowTheFontAndTheText) {
  TMessageForm box(Request(mtWarning, mbOKOnly, "One line."));
  const TMessageForm::Metrics& m = box.LayoutMetrics();
  ASSERT_GT(m.cx, 0);
  EXPECT_EQ(m.textBlock.height(), 32);  // one short line still makes room for the icon
  EXPECT_GE(m.buttonWidth, 50 * m.cx / 4);
  EXPECT_EQ(box.height(), m.textBlock.height() + m.buttonHeight + m.vSpacing + 2 * m.vMargin);
  ASSERT_TRUE(box.IconImage());
  EXPECT_EQ(box.IconImage()->geometry(), QRect(m.hMargin, m.vMargin, 32, 32));
  EXPECT_FALSE(box.IconImage()->pixmap().isNull());
  EXPECT_EQ(box.MessageLabel()->x(), m.hMargin + 32 + m.hSpacing);

  const QString longText = QString("word ").repeated(400);
  TMessageForm wide(Request(mtError, mbOKOnly, longText));
  const int halfScreen = QGuiApplication::primaryScreen()->geometry().width() / 2;
  EXPECT_LE(wide.MessageLabel()->width(), halfScreen);
  EXPECT_GT(wide.MessageLabel()->width(), halfScreen - 60);
  EXPECT_GT(wide.MessageLabel()->height(), 5 * m.cy);  // wrapped onto many lines
}

TEST_F(MsgBoxTest, CaptionIconAndLanguage) {
  SetCurrentLanguage(lgGerman);
  TMsgBoxRequest seen;
  const TMsgBoxPresenter previous = SetMsgBoxPresenter([&](const TMsgBoxRequest& r) {
    seen = r;
    return int(mrOk);
  });
  MsgBox("Achtung", mtWarning, mbOKOnly);
  SetMsgBoxPresenter(previous);
  EXPECT_EQ(seen.caption, "Warnung");
  TMessageForm german(seen);
  EXPECT_EQ(german.windowTitle(), "Warnung");
  EXPECT_EQ(german.Button(mbOK)->text(), "OK");
  TMessageForm germanYesNo(Request(mtConfirmation, mbYesNo));
  EXPECT_EQ(germanYesNo.Button(mbNo)->text(), "&Nein");

  TMsgBoxRequest custom = Request(mtCustom, mbOKOnly);
  custom.caption.clear();
  TMessageForm plain(custom);
  EXPECT_EQ(plain.windowTitle(), "");
  EXPECT_EQ(plain.IconImage(), nullptr);
  EXPECT_EQ(plain.MessageLabel()->x(), plain.LayoutMetrics().hMargin);

  for (TMsgDlgType kind : {mtWarning, mtError, mtInformation, mtConfirmation})
    for (int size : {16, 32})
      EXPECT_FALSE(QPixmap(MessageIconResource(MessageIconNumber(kind, size))).isNull());
  EXPECT_EQ(MessageIconNumber(mtConfirmation, 32), 103);
  EXPECT_EQ(MessageIconNumber(mtWarning, 16), 131);
}

TEST_F(MsgBoxTest, RealModalBoxAnswersKeyPresses) {
  InstallMessageFormPresenter();
  QTimer::singleShot(0, [] {
    QWidget* box = QApplication::activeModalWidget();
    ASSERT_TRUE(box);
    QTest::keyClick(box->focusWidget() ? box->focusWidget() : box, Qt::Key_Escape);
  });
  EXPECT_EQ(MsgBox("Delete it?", mtConfirmation, mbYesNo), mrNo);

  QTimer::singleShot(0, [] {
    QWidget* box = QApplication::activeModalWidget();
    ASSERT_TRUE(box);
    box->close();  // the window's close control
  });
  EXPECT_EQ(MsgBox("Closing", mtInformation, mbOKOnly), mrCancel);
  SetMsgBoxPresenter({});
}

TEST_F(MsgBoxTest, PleaseWaitWindow) {
  SetCurrentLanguage(lgDutch);
  TFormMessage form(fmkDownloadingProducts);
  form.ShowNow();
  EXPECT_TRUE(form.isVisible());
  EXPECT_EQ(form.height(), 75);
  // Something moves: an indeterminate bar under the two lines, inside the window.
  QProgressBar* busy = form.BusyIndicator();
  ASSERT_TRUE(busy);
  EXPECT_TRUE(busy->isVisible());
  EXPECT_EQ(busy->minimum(), 0);
  EXPECT_EQ(busy->maximum(), 0);
  EXPECT_GT(busy->y(), form.LabelProgress()->geometry().bottom());
  EXPECT_LE(busy->geometry().bottom(), form.height());
  EXPECT_EQ(form.windowTitle(), "Corvane Software Installer");
  EXPECT_EQ(form.LabelMessage()->text(), "Productinformatie wordt gedownload");
  EXPECT_EQ(form.LabelProgress()->text(), "Even geduld...");
  EXPECT_TRUE(form.windowFlags() & Qt::WindowStaysOnTopHint);
}

}  // namespace
