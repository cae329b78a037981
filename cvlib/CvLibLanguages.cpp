#include "CvLibLanguages.h"

#include "CvLibRegistry.h"

#include <QCoreApplication>
#include <QLocale>

#include <atomic>

namespace cvlib {
namespace {

constexpr int kLanguageCount = 8;

const QString kLanguageKey = QStringLiteral("Settings");
const QString kLanguageValue = QStringLiteral("Language");

std::atomic<int> currentLanguage{1};

bool IsLanguage(int language) { return language >= 1 && language <= kLanguageCount; }

}  // namespace

int GetCurrentLanguage() { return currentLanguage.load(); }

void SetCurrentLanguage(int language) {
  if (IsLanguage(language)) currentLanguage.store(language);
}

int RegWriteLanguage() {
  return GetAppReg().WriteInteger(rrSettings, kLanguageKey, kLanguageValue, GetCurrentLanguage());
}

int RegReadLanguage() {
  const int language = GetAppReg().ReadInteger(rrSettings, kLanguageKey, kLanguageValue, 0);
  return InLanguages(language, GetAvailableLanguages()) ? language : 0;
}

TLanguageSet GetAvailableLanguages() {
  TLanguageSet set = 0;
  for (int language = 1; language <= kLanguageCount; ++language) set |= TLanguageSet{1} << language;
  return set;
}

bool InLanguages(int language, TLanguageSet languages) {
  return IsLanguage(language) && (languages & (TLanguageSet{1} << language)) != 0;
}

QString LanguageToStrLocal(int language) {
  static const char* const names[kLanguageCount] = {
      "English", "Nederlands", "Deutsch", "Français", "Español", "Italiano", "Dansk", "Svenska"};
  return IsLanguage(language) ? QString::fromUtf8(names[language - 1]) : QString();
}

int SystemLocaleLanguage() {
  switch (QLocale::system().language()) {
    case QLocale::English: return 1;
    case QLocale::Dutch: return 2;
    case QLocale::German: return 3;
    case QLocale::French: return 4;
    case QLocale::Spanish: return 5;
    case QLocale::Italian: return 6;
    case QLocale::Danish: return 7;
    case QLocale::Swedish: return 8;
    default: return 0;
  }
}

bool InitApplication(const QString& applicationName, const TChooseLanguageFunc& chooseLanguage) {
  if (!applicationName.isEmpty()) QCoreApplication::setApplicationName(applicationName);

  if (const int stored = RegReadLanguage()) {
    SetCurrentLanguage(stored);
    return true;
  }
  if (!chooseLanguage) return true;

  int language = SystemLocaleLanguage();
  if (!chooseLanguage(language)) return false;
  if (!InLanguages(language, GetAvailableLanguages())) return false;
  SetCurrentLanguage(language);
  // A store that cannot be written only means the question comes again at the next start.
  RegWriteLanguage();
  return true;
}

}  // namespace cvlib
