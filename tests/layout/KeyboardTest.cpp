// Access keys and names, as the desktop conventions give them to every window.
#include "BoxRecorder.h"
#include "CvDesktop.h"
#include "CvLanguage.h"
#include "CvLib.h"
#include "FraPageTypeInstall.h"
#include "FraPageUser.h"
#include "FrmWizardInstall.h"
#include "WindowTour.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QRadioButton>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include <map>

namespace {

QChar Letter(const QString& text) {
  for (int i = 0; i + 1 < text.size(); ++i) {
    if (text[i] != QLatin1Char('&')) continue;
    if (text[i + 1] != QLatin1Char('&')) return text[i + 1].toLower();
    ++i;
  }
  return {};
}

class DesktopConventions : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { InstallDesktopConventions(); }
};

TEST_F(DesktopConventions, WindowIcon) {
  const QIcon icon = QApplication::windowIcon();
  ASSERT_FALSE(icon.isNull());
  EXPECT_EQ(icon.pixmap(48, 48).size(), QSize(48, 48));
  // Drawn, not empty: the middle of the icon is the white arrow.
  EXPECT_EQ(icon.pixmap(256, 256).toImage().pixelColor(128, 80), QColor(Qt::white));
}

// Every button and every edit's label in every window and language has an access letter of
// its own in that window; every edit has a name.
TEST_F(DesktopConventions, EveryControlHasALetterAndEveryEditAName) {
  cvtest::BoxRecorder boxes;
  QStringList faults;
  for (int language = 1; language <= kLanguageCount; ++language) {
    TourWindows(language, [&](QWidget* window, const QString& name) {
      ApplyDesktopConventions(window);
      const QString where = HistoryLanguageCode(language) + QLatin1Char(' ') + name + QStringLiteral(": ");
      std::map<QChar, QString> letters;
      for (QWidget* w : window->findChildren<QWidget*>()) {
        if (!w->isVisibleTo(window)) continue;
        QString text;
        if (auto* button = qobject_cast<QAbstractButton*>(w)) text = button->text();
        else if (auto* label = qobject_cast<QLabel*>(w); label && label->buddy()) text = label->text();
        else if (auto* edit = qobject_cast<QLineEdit*>(w); edit && edit->accessibleName().isEmpty())
          faults << where + QStringLiteral("an edit without a name");
        if (text.isEmpty()) continue;
        const QChar c = Letter(text);
        if (c.isNull()) faults << where + QStringLiteral("no letter: ") + text;
        else if (letters.count(c)) faults << where + QStringLiteral("%1 and %2 share '%3'").arg(letters[c], text, c);
        else letters[c] = text;
      }
    });
  }
  EXPECT_TRUE(faults.isEmpty()) << faults.join(QLatin1Char('\n')).toStdString();
}

TEST_F(DesktopConventions, AltLetterPressesTheButtonAndEditsAreNamedByTheirLabels) {
  cvtest::BoxRecorder boxes;
  qputenv("CORVANE_PUS_URL", "http://127.0.0.1:9/pus/pus.php");
  SetCurrentLanguage(lgEnglish);
  TFormWizardInstall wizard;
  wizard.show();
  wizard.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&wizard));
  QCoreApplication::processEvents();
  ApplyDesktopConventions(&wizard);
  // Alt and the letters of "Install from the internet", then of Next.
  auto press = [&](QAbstractButton* button) {
    const QChar c = Letter(button->text());
    ASSERT_TRUE(c >= QLatin1Char('a') && c <= QLatin1Char('z')) << button->text().toStdString();
    QTest::keyClick(wizard.windowHandle(), static_cast<Qt::Key>(Qt::Key_A + (c.unicode() - 'a')), Qt::AltModifier);
  };
  press(wizard.PageTypeInstall()->RadioInstallOnline());
  EXPECT_TRUE(QTest::qWaitFor([&] { return wizard.PageTypeInstall()->RadioInstallOnline()->isChecked(); }, 2000));
  press(wizard.ButtonNext());
  // A button pressed by its letter clicks once its press has shown.
  EXPECT_TRUE(QTest::qWaitFor([&] { return wizard.CurrentPage() == wpLogin; }, 2000));

  QCoreApplication::processEvents();
  ApplyDesktopConventions(&wizard);
  EXPECT_EQ(wizard.PageUserLogin()->EditLoginEmail()->accessibleName(), QStringLiteral("E-mail address"));
  // The name follows the language.
  wizard.ImageGermanClick();
  QCoreApplication::processEvents();
  ApplyDesktopConventions(&wizard);
  EXPECT_EQ(wizard.PageUserLogin()->EditLoginEmail()->accessibleName(), QStringLiteral("E-Mail-Adresse"));
  SetCurrentLanguage(lgEnglish);
}

}  // namespace
