// The desktop's conventions: the window icon, the palette, access keys and names.
#include "BoxRecorder.h"
#include "CvDesktop.h"
#include "CvLanguage.h"
#include "CvLib.h"
#include "FraPageDestinationInstall.h"
#include "FraPageProgress.h"
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

#include <QAbstractItemView>

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
  // The icon follows the first paint of a window, not the start.
  {
    QWidget window;
    window.show();
    ASSERT_TRUE(QTest::qWaitFor([] { return !QApplication::windowIcon().isNull(); }, 5000));
  }
  const QIcon icon = QApplication::windowIcon();
  ASSERT_FALSE(icon.isNull());
  EXPECT_EQ(icon.pixmap(48, 48).size(), QSize(48, 48));
  // The desktop entry's picture: the middle of the icon is the white arrow.
  EXPECT_EQ(icon.pixmap(256, 256).toImage().pixelColor(128, 80), QColor(Qt::white));
}

// In a dark palette the header and the space labels are dark and light like the rest; only the
// red of a space that does not fit stays as it is.
TEST_F(DesktopConventions, FollowsADarkPalette) {
  const QPalette saved = QApplication::palette();
  QPalette dark = saved;
  dark.setColor(QPalette::Window, QColor(0x2a, 0x2a, 0x2a));
  dark.setColor(QPalette::WindowText, QColor(0xee, 0xee, 0xee));
  dark.setColor(QPalette::Base, QColor(0x1e, 0x1e, 0x1e));
  dark.setColor(QPalette::Text, QColor(0xf0, 0xf0, 0xf0));
  QApplication::setPalette(dark);
  {
    cvtest::BoxRecorder boxes;
    qputenv("CORVANE_PUS_URL", "http://127.0.0.1:9/pus/pus.php");
    TFormWizardInstall wizard;
    const QWidget* header = wizard.findChild<QWidget*>(QStringLiteral("PanelHeader"));
    ASSERT_NE(header, nullptr);
    EXPECT_EQ(header->palette().color(QPalette::Window), dark.color(QPalette::Base));
    EXPECT_EQ(wizard.LabelHeaderDescription()->palette().color(QPalette::WindowText), dark.color(QPalette::Text));

    TFramePageDestinationInstall page;
    page.ProbeFreeSpace = [](const QString&, std::int64_t& free) {
      free = std::int64_t{1} << 30;
      return 0;
    };
    page.SetMode(3);
    page.SetRequiredSpace(1 << 20);
    EXPECT_EQ(page.LabelSpaceAvailable()->palette().color(QPalette::WindowText), dark.color(QPalette::WindowText));
    page.SetRequiredSpace(std::int64_t{2} << 30);
    EXPECT_EQ(page.LabelSpaceAvailable()->palette().color(QPalette::WindowText), QColor(Qt::red));
    page.SetRequiredSpace(1 << 20);
    EXPECT_EQ(page.LabelSpaceAvailable()->palette().color(QPalette::WindowText), dark.color(QPalette::WindowText));
  }
  QApplication::setPalette(saved);
}

// Every button and every edit's label in every window and language has an access letter of
// its own in that window; every edit has a name.
TEST_F(DesktopConventions, EveryControlHasALetterAndEveryEditAndListAName) {
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
        else if (auto* view = qobject_cast<QAbstractItemView*>(w); view && view->accessibleName().isEmpty())
          faults << where + QStringLiteral("a list without a name: ") + view->objectName();
        else if (auto* picture = qobject_cast<QLabel*>(w);
                 picture && picture->objectName() == QLatin1String("Image") && picture->accessibleName().isEmpty())
          faults << where + QStringLiteral("a message icon without a name");
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

// A progress bar says what it shows: the texts above it, as they change.
TEST_F(DesktopConventions, ProgressBarsAreNamedByTheirTexts) {
  cvtest::BoxRecorder boxes;
  qputenv("CORVANE_PUS_URL", "http://127.0.0.1:9/pus/pus.php");
  TFormWizardInstall wizard;
  wizard.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&wizard));
  wizard.ShowPage(wpProgress);
  TFramePageProgress* progress = wizard.PageProgress();
  progress->SetSingleHeader(QStringLiteral("North Sea Charts - NL"));
  progress->SetSingleText(QStringLiteral("Downloading... 1.2 MB / 3.4 MB (35%)"));
  progress->SetTotalText(QStringLiteral("Total: 12.6 MB / 31.9 MB"));
  ApplyDesktopConventions(&wizard);
  EXPECT_EQ(progress->ProgressBarSingle()->accessibleName(),
            QStringLiteral("North Sea Charts - NL, Downloading... 1.2 MB / 3.4 MB (35%)"));
  EXPECT_TRUE(progress->ProgressBarTotal()->accessibleName().startsWith(QStringLiteral("Total: 12.6 MB / 31.9 MB")))
      << progress->ProgressBarTotal()->accessibleName().toStdString();
  progress->SetSingleText(QStringLiteral("Downloading... 3.4 MB / 3.4 MB (100%)"));
  // The name follows as the bar is painted.
  progress->SetSinglePosition(100);
  QTest::qWait(50);
  EXPECT_TRUE(progress->ProgressBarSingle()->accessibleName().endsWith(QStringLiteral("(100%)")));
}

}  // namespace
