#include "CvReleaseHistory.h"

#include "CvLanguage.h"

#include <QTextBlock>
#include <QTextDocument>

namespace {

// The same places the view looks when it scrolls to an anchor: the block's own format and
// the formats of its fragments.
void AddAnchors(const QTextCharFormat& format, QStringList& names) {
  if (!format.isAnchor()) return;
  for (const QString& name : format.anchorNames())
    if (!name.isEmpty() && !names.contains(name)) names.append(name);
}

}  // namespace

QStringList HistoryAnchorNames(const QTextDocument& document) {
  QStringList names;
  for (QTextBlock block = document.begin(); block.isValid(); block = block.next()) {
    AddAnchors(block.charFormat(), names);
    for (auto it = block.begin(); !it.atEnd(); ++it) AddAnchors(it.fragment().charFormat(), names);
  }
  return names;
}

QString HistorySectionFor(const QStringList& anchors, int language) {
  const QString own = HistoryLanguageCode(language);
  if (!own.isEmpty() && anchors.contains(own)) return own;
  const QString english = HistoryLanguageCode(lgEnglish);
  if (anchors.contains(english)) return english;
  return {};
}

QString HistorySectionFor(const QTextDocument& document, int language) {
  return HistorySectionFor(HistoryAnchorNames(document), language);
}
