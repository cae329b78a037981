// Walks every window in each of the eight languages and checks that each visible label,
// button and header section has the room its text needs, as the font measures it.
#include "BoxRecorder.h"
#include "CvLanguage.h"
#include "WindowTour.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QStyleOptionButton>
#include <QRegularExpression>
#include <QTextDocument>

#include <gtest/gtest.h>

namespace {

// The text as shown: mnemonic marks taken out ("&&" stays one '&'), rich text as plain.
QString ShownText(const QString& text, bool mnemonic, bool rich) {
  QString s = text;
  if (rich) {
    QTextDocument doc;
    doc.setHtml(text);
    s = doc.toPlainText();
  }
  if (mnemonic) {
    QString out;
    for (int i = 0; i < s.size(); ++i) {
      if (s[i] == QLatin1Char('&') && i + 1 < s.size()) ++i;
      out += s[i];
    }
    s = out;
  }
  return s;
}

int WidestLine(const QFontMetrics& fm, const QString& text) {
  int widest = 0;
  for (const QString& line : text.split(QLatin1Char('\n'))) widest = std::max(widest, fm.horizontalAdvance(line));
  return widest;
}

QString Describe(const QWidget* w) {
  QString name = w->objectName();
  return QString::fromLatin1(w->metaObject()->className()) + (name.isEmpty() ? QString() : QLatin1Char(' ') + name);
}

// A line for each cut text of the window.
QStringList CutTexts(QWidget* window) {
  QStringList cut;
  auto report = [&](const QWidget* w, const QString& text, const QString& what) {
    cut << QStringLiteral("%1 \"%2\": %3").arg(Describe(w), text, what);
  };
  for (QLabel* label : window->findChildren<QLabel*>()) {
    if (!label->isVisibleTo(window) || label->text().isEmpty()) continue;
    const bool rich = label->textFormat() == Qt::RichText ||
                      (label->textFormat() == Qt::AutoText && Qt::mightBeRichText(label->text()));
    const QString text = ShownText(label->text(), label->buddy() != nullptr, rich);
    if (text.trimmed().isEmpty()) continue;
    const QFontMetrics fm(label->font());
    const int margin = label->margin() + std::max(0, label->indent());
    const QRect room = label->contentsRect().adjusted(margin, margin, -margin, -margin);
    if (label->wordWrap()) {
      const QRect needed = fm.boundingRect(QRect(0, 0, room.width(), 1 << 20), Qt::TextWordWrap, text);
      // A word longer than the line is broken inside the word or runs over the edge.
      bool longWord = false;
      for (const QString& word : text.split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts))
        longWord = longWord || fm.horizontalAdvance(word) > room.width();
      if (longWord || needed.height() > room.height())
        report(label, text,
               QStringLiteral("wrapped needs %1x%2, has %3x%4")
                   .arg(needed.width())
                   .arg(needed.height())
                   .arg(room.width())
                   .arg(room.height()));
    } else {
      const int width = WidestLine(fm, text);
      const int height = static_cast<int>(text.count(QLatin1Char('\n')) + 1) * fm.height();
      if (width > room.width() || height > room.height() + fm.leading())
        report(label, text,
               QStringLiteral("needs %1x%2, has %3x%4").arg(width).arg(height).arg(room.width()).arg(room.height()));
    }
  }
  for (QAbstractButton* button : window->findChildren<QAbstractButton*>()) {
    if (!button->isVisibleTo(window) || button->text().isEmpty()) continue;
    QStyle::SubElement element;
    QStyleOptionButton option;
    option.initFrom(button);
    option.text = button->text();
    option.icon = button->icon();
    option.iconSize = button->iconSize();
    if (qobject_cast<QPushButton*>(button)) element = QStyle::SE_PushButtonContents;
    else if (qobject_cast<QRadioButton*>(button)) element = QStyle::SE_RadioButtonContents;
    else if (qobject_cast<QCheckBox*>(button)) element = QStyle::SE_CheckBoxContents;
    else continue;
    const QRect room = button->style()->subElementRect(element, &option, button);
    const QString text = ShownText(button->text(), true, false);
    int width = button->fontMetrics().horizontalAdvance(text);
    if (!button->icon().isNull()) width += button->iconSize().width() + 4;
    if (width > room.width()) report(button, text, QStringLiteral("needs %1, has %2").arg(width).arg(room.width()));
  }
  for (QHeaderView* header : window->findChildren<QHeaderView*>()) {
    if (!header->isVisibleTo(window) || !header->model()) continue;
    const int margin = header->style()->pixelMetric(QStyle::PM_HeaderMargin, nullptr, header);
    for (int i = 0; i < header->count(); ++i) {
      if (header->isSectionHidden(i)) continue;
      const QString text = header->model()->headerData(i, header->orientation()).toString();
      if (text.isEmpty()) continue;
      const int width = header->fontMetrics().horizontalAdvance(text) + 2 * margin;
      // The last section stretches to the edge of the view: its room ends there.
      int room = header->sectionSize(i);
      if (header->sectionViewportPosition(i) + room > header->viewport()->width())
        room = header->viewport()->width() - header->sectionViewportPosition(i);
      if (width > room) report(header, text, QStringLiteral("section %1 needs %2, has %3").arg(i).arg(width).arg(room));
    }
  }
  return cut;
}

// The check itself: texts that cannot fit are found, texts that fit are not.
TEST(TextFit, FindsCutTexts) {
  QWidget window;
  window.resize(400, 300);
  const QString longText = QStringLiteral("Installatiebestanden worden gedownload");
  auto* narrow = new QLabel(longText, &window);
  narrow->setGeometry(0, 0, 60, 30);
  auto* wide = new QLabel(QStringLiteral("OK"), &window);
  wide->setGeometry(0, 40, 200, 30);
  auto* wrapped = new QLabel(longText + QLatin1Char(' ') + longText, &window);
  wrapped->setWordWrap(true);
  wrapped->setGeometry(0, 80, 120, wrapped->fontMetrics().height());
  auto* roomy = new QLabel(longText, &window);
  roomy->setWordWrap(true);
  roomy->setGeometry(0, 120, 150, 10 * roomy->fontMetrics().height());
  auto* button = new QPushButton(QStringLiteral("&Annuleren en sluiten"), &window);
  button->setGeometry(0, 200, 50, 30);
  auto* radio = new QRadioButton(QStringLiteral("&Installeren vanaf een back-up"), &window);
  radio->setGeometry(0, 240, 80, 30);
  window.show();
  const QStringList cut = CutTexts(&window);
  ASSERT_EQ(cut.size(), 4) << cut.join(QLatin1Char('\n')).toStdString();
  EXPECT_TRUE(cut[0].contains(QStringLiteral("needs")));
  EXPECT_FALSE(cut.join(QString()).contains(QStringLiteral("\"OK\"")));
  EXPECT_TRUE(cut.join(QString()).contains(QStringLiteral("Annuleren en sluiten")));  // without the '&'
}

TEST(TextFit, NoTextIsCutInAnyLanguage) {
  cvtest::BoxRecorder boxes;
  QStringList cut;
  int windows = 0;
  for (int language = 1; language <= kLanguageCount; ++language) {
    TourWindows(language, [&](QWidget* window, const QString& name) {
      ++windows;
      for (const QString& line : CutTexts(window))
        cut << QStringLiteral("%1 %2: %3").arg(HistoryLanguageCode(language), name, line);
    });
  }
  EXPECT_GT(windows, 8 * 15);
  EXPECT_TRUE(cut.isEmpty()) << cut.size() << " cut texts:\n" << cut.join(QLatin1Char('\n')).toStdString();
}

}  // namespace
