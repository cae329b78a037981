#pragma once

// The language chooser of a first start: one row per language with its flag and its own
// name; OK and Cancel follow the highlighted language.

#include "CvLib.h"

#include <QDialog>

class QListWidget;
class QListWidgetItem;
class QPushButton;

class TFormLanguage final : public QDialog {
  Q_OBJECT

 public:
  // Rows for the languages in `available`, in number order. The row of the system's language
  // is selected first; the caller's language wins when it has a row.
  TFormLanguage(TLanguageSet available, int callerLanguage, int systemLanguage,
                QWidget* parent = nullptr);

  // The selected language, 0 when none.
  int SelectedLanguage() const;
  void SelectLanguage(int language);

  QListWidget* ListLanguages() const { return list_; }
  QPushButton* ButtonOK() const { return buttonOK_; }
  QPushButton* ButtonCancel() const { return buttonCancel_; }

  // Shows the chooser modally; true with the chosen language in `language` on OK.
  static bool Execute(int& language, QWidget* parent = nullptr);

 private:
  void SelectionChanged();
  void ApplyTexts(int language);

  QListWidget* list_ = nullptr;
  QPushButton* buttonOK_ = nullptr;
  QPushButton* buttonCancel_ = nullptr;
};

// The language the chooser starts on: the system's, and English where no locale is set (LANG
// unset or C), so that OK is ready on a fresh server or in a container.
int ChooserSystemLanguage();

// The flag of a language (1..8), drawn by us at the given size.
QPixmap LanguageFlag(int language, QSize size);
