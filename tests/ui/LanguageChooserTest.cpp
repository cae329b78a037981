#include "CvLanguage.h"
#include "CvLib.h"
#include "FrmLanguage.h"

#include <QAccessible>
#include <QListWidget>
#include <QPushButton>
#include <QtTest/QTest>

#include <gtest/gtest.h>

namespace {

TEST(LanguageChooserTest, PreselectionRules) {
  const TLanguageSet all = GetAvailableLanguages();
  const TLanguageSet noGerman = all & ~(TLanguageSet{1} << lgGerman);
  struct Case {
    TLanguageSet available;
    int caller;
    int system;
    int selected;
  };
  const Case cases[] = {
      {all, lgDutch, lgFrench, lgDutch},        // the caller's language wins
      {all, lgNone, lgFrench, lgFrench},        // else the system's
      {noGerman, lgGerman, lgItalian, lgItalian},  // a caller's language without a row does not count
      {all, lgNone, lgNone, lgNone},            // nothing: OK stays disabled
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.caller * 10 + c.system);
    TFormLanguage form(c.available, c.caller, c.system);
    EXPECT_EQ(form.SelectedLanguage(), c.selected);
    EXPECT_EQ(form.ButtonOK()->isEnabled(), c.selected != lgNone);
  }
  TFormLanguage partial(noGerman, lgNone, lgNone);
  EXPECT_EQ(partial.ListLanguages()->count(), 7);
  EXPECT_EQ(partial.ListLanguages()->item(2)->text(), "Français");
}

TEST(LanguageChooserTest, ButtonsFollowTheHighlightedLanguageAndDoubleClickConfirms) {
  TFormLanguage form(GetAvailableLanguages(), lgDanish, lgNone);
  EXPECT_EQ(form.ButtonCancel()->text(), "Fortryd");
  // A screen reader hears the list as the list of languages, in the highlighted language.
  QAccessibleInterface* named = QAccessible::queryAccessibleInterface(form.ListLanguages());
  ASSERT_NE(named, nullptr);
  EXPECT_EQ(named->text(QAccessible::Name), "Sprog");
  form.SelectLanguage(lgGerman);
  EXPECT_EQ(form.ButtonCancel()->text(), "Abbrechen");
  EXPECT_EQ(named->text(QAccessible::Name), "Sprache");
  EXPECT_EQ(form.windowTitle(), GetProgInfo().Name);
  EXPECT_EQ(form.ListLanguages()->visualItemRect(form.ListLanguages()->item(0)).height(), 28);

  int result = -1;
  QObject::connect(&form, &QDialog::finished, [&](int r) { result = r; });
  form.show();
  QListWidget* list = form.ListLanguages();
  const QRect row = list->visualItemRect(list->item(lgSwedish - 1));
  QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, row.center());
  QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, row.center());
  EXPECT_EQ(result, lgSwedish);
}

TEST(LanguageChooserTest, FlagsAreDrawnForEveryLanguage) {
  for (int language = 1; language <= kLanguageCount; ++language) {
    const QImage flag = LanguageFlag(language, QSize(24, 16)).toImage();
    EXPECT_EQ(flag.size(), QSize(24, 16));
    EXPECT_EQ(qAlpha(flag.pixel(12, 8)), 255);  // painted, not empty
  }
  // Different languages, different flags.
  EXPECT_NE(LanguageFlag(lgDanish, QSize(24, 16)).toImage(), LanguageFlag(lgSwedish, QSize(24, 16)).toImage());
}

}  // namespace
