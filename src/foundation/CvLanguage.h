#pragma once

// Text tables: every text the program shows has one entry per language. Entry i holds the
// text for language i + 1; an empty entry (or nullptr) has no translation and falls back to
// English. Texts are UTF-8 and may hold CR LF line breaks and %s / %d placeholders.

#include <QString>

#include <array>

using TLangText = std::array<const char*, 8>;

enum TLanguage : int {
  lgNone = 0,
  lgEnglish = 1,
  lgDutch = 2,
  lgGerman = 3,
  lgFrench = 4,
  lgSpanish = 5,
  lgItalian = 6,
  lgDanish = 7,
  lgSwedish = 8,
};

constexpr int kLanguageCount = 8;

// The entry of the current language; English when that entry is empty.
QString LangText(const TLangText& text);

// As LangText for a given language; language 0 (or one outside 1..8) gives English.
QString LangTextIn(const TLangText& text, int language);

// The language that a Windows-style language id selects: only the low 10 bits (the primary
// language) count; an id that selects none of ours gives 0.
int LanguageFromWindowsId(int languageId);

// Two-letter language code for the command line of a product setup: "nl", "de", "fr", else "en".
QString SetupLanguageCode(int language);

// Section code of a language in release-history files: "EN", "NL", "DE", "FR", "SP", "IT",
// "DK", "SW"; empty outside 1..8.
QString HistoryLanguageCode(int language);

// Common texts, shared by the message box, the folder browser, the language chooser and the
// update wizard. A '&' marks the accelerator letter.
extern const TLangText ctBtnYes;
extern const TLangText ctBtnNo;
extern const TLangText ctBtnOK;
extern const TLangText ctBtnCancel;
extern const TLangText ctBtnAbort;
extern const TLangText ctBtnRetry;
extern const TLangText ctBtnIgnore;
extern const TLangText ctBtnAll;
extern const TLangText ctBtnNoToAll;
extern const TLangText ctBtnYesToAll;
extern const TLangText ctBtnHelp;
extern const TLangText ctBtnClose;

extern const TLangText ctCaptionWarning;
extern const TLangText ctCaptionError;
extern const TLangText ctCaptionInformation;
extern const TLangText ctCaptionConfirm;

extern const TLangText ctSelectDestinationFolder;
extern const TLangText ctSelectSourceFolder;
extern const TLangText ctNewFolder;
extern const TLangText ctCannotCreateFolderHere;
extern const TLangText ctCannotRenameFolder;
extern const TLangText ctFolderNameExists;
extern const TLangText ctFolderNameInvalid;
extern const TLangText ctFolderNotFound;

// A wait the user is told about, in words of the current language: "2 minutes", "40 seconds"
// (rounded up to whole minutes from two minutes on).
QString WaitInWords(int seconds);
