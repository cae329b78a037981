#include "CvLanguage.h"

#include "CvLib.h"


namespace {

QString Entry(const TLangText& text, int language) {
  if (language >= 1 && language <= kLanguageCount) {
    const char* entry = text[static_cast<size_t>(language - 1)];
    if (entry && *entry) return QString::fromUtf8(entry);
  }
  return QString::fromUtf8(text[0] ? text[0] : "");
}

}  // namespace

QString LangText(const TLangText& text) { return Entry(text, GetCurrentLanguage()); }

QString LangTextIn(const TLangText& text, int language) { return Entry(text, language); }

int LanguageFromWindowsId(int languageId) {
  switch (languageId & 0x3FF) {
    case 0x09: return lgEnglish;
    case 0x13: return lgDutch;
    case 0x07: return lgGerman;
    case 0x0C: return lgFrench;
    case 0x0A: return lgSpanish;
    case 0x10: return lgItalian;
    case 0x06: return lgDanish;
    case 0x1D: return lgSwedish;
    default: return lgNone;
  }
}

QString SetupLanguageCode(int language) {
  switch (language) {
    case lgDutch: return QStringLiteral("nl");
    case lgGerman: return QStringLiteral("de");
    case lgFrench: return QStringLiteral("fr");
    default: return QStringLiteral("en");
  }
}

QString HistoryLanguageCode(int language) {
  static const char* const codes[kLanguageCount] = {"EN", "NL", "DE", "FR", "SP", "IT", "DK", "SW"};
  if (language < 1 || language > kLanguageCount) return {};
  return QString::fromLatin1(codes[language - 1]);
}
