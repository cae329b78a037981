#pragma once

// Languages of the program: numbered 1 (English) to 8 (Swedish). The current language lives
// in memory; RegWriteLanguage keeps it in the program settings (root 1, key "Settings",
// integer value "Language") so that the next start uses it.

#include <QString>

#include <cstdint>
#include <functional>

namespace cvlib {

// A set of languages: bit n stands for language n.
using TLanguageSet = std::uint32_t;

// The current display language, 1..8 (English until set). Numbers outside 1..8 are ignored.
int GetCurrentLanguage();
void SetCurrentLanguage(int language);

// Keeps the current language in the settings store; 0 or the store's error code.
int RegWriteLanguage();

// The language kept by RegWriteLanguage; 0 when none is kept (or it is not one of ours).
int RegReadLanguage();

// Every language the program offers: all eight.
TLanguageSet GetAvailableLanguages();
bool InLanguages(int language, TLanguageSet languages);

// A language's name written in that language ("Nederlands" for 2); empty outside 1..8.
QString LanguageToStrLocal(int language);

// The language of the system's locale when it is one of ours, else 0.
int SystemLocaleLanguage();

// Asks the user for the display language. Gets the language to preselect (0 for none) and
// returns true with the chosen language in it, or false when the user cancelled.
using TChooseLanguageFunc = std::function<bool(int& language)>;

// Start-up of the application. Sets the application name (when given) and the current
// language: the one kept in the settings store, or on a first start (none kept) the one the
// user chooses through chooseLanguage, which is then kept. Returns false when the user
// cancels the choice (or the chooser answers a language we do not offer): the program then
// ends. Without a chooser, a first start keeps English and stores nothing.
bool InitApplication(const QString& applicationName, const TChooseLanguageFunc& chooseLanguage);

}  // namespace cvlib
