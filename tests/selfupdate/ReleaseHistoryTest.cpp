// Which section of the release history the update window opens at, without a window.
#include "CvLanguage.h"
#include "CvReleaseHistory.h"

#include <QTextDocument>

#include <gtest/gtest.h>

namespace {

QStringList Anchors(const QString& html) {
  QTextDocument document;
  document.setHtml(html);
  return HistoryAnchorNames(document);
}

TEST(ReleaseHistory, AnchorsAsTheViewFindsThem) {
  // Empty <a name> elements before a heading, the way history files mark their sections,
  // and anchors with text inside.
  EXPECT_EQ(Anchors("<h2><a name=\"EN\"></a>English</h2><p>x</p><h2><a name=\"DK\"></a>Dansk</h2>"),
            QStringList({"EN", "DK"}));
  EXPECT_EQ(Anchors("<p><a name=\"NL\">Nederlands</a></p><p><a href=\"#NL\">top</a></p>"),
            QStringList({"NL"}));
  // A section may also start at any element with that id.
  EXPECT_EQ(Anchors("<h2 id=\"EN\">English</h2><div id=\"SW\"><p>Svenska</p></div>"),
            QStringList({"EN", "SW"}));
  EXPECT_EQ(Anchors("<p>no sections</p>"), QStringList());
}

TEST(ReleaseHistory, SectionForTheLanguage) {
  const struct {
    QStringList anchors;
    int language;
    const char* section;
  } cases[] = {
      {{"EN", "NL", "DK"}, lgDanish, "DK"},
      {{"EN", "NL"}, lgDanish, "EN"},       // no Danish section: English
      {{"NL", "DE"}, lgDanish, ""},         // neither: stay at the top
      {{"NL", "EN"}, lgEnglish, "EN"},
      {{"SP", "EN"}, lgSpanish, "SP"},      // the history's own codes, not ISO ones
      {{"SW", "EN"}, lgSwedish, "SW"},
      {{"dk", "EN"}, lgDanish, "EN"},       // names are exact
      {{"EN"}, lgNone, "EN"},               // no language: English
      {{}, lgDutch, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.anchors.join(',').toStdString() + " / " + std::to_string(c.language));
    EXPECT_EQ(HistorySectionFor(c.anchors, c.language), QString::fromLatin1(c.section));
  }
}

}  // namespace
