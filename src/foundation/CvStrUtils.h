#pragma once

// Small shared routines: a character-level tokenizer over zero-terminated UTF-8 text, packed
// version numbers, GUID text, size texts, file-name cleaning, Unix time and the start-up locale.
// Conversions that fail raise EConvertError; no input text makes any of them crash.

#include "CvLib.h"

#include <QString>

#include <cstdint>

// --- Tokenizer ---------------------------------------------------------------------------
// A cursor points into a zero-terminated text; each routine advances it past what it
// consumed. A null cursor reads as an empty text.

bool CharIsDigit(char c);     // '0'..'9'
bool CharIsAlphaNum(char c);  // ASCII letter or digit
// Whether c occurs in `set` (the terminating zero is no member; a null set is empty).
bool CharInSet(char c, const char* set);

// Steps over characters with codes 1 to 32; true when it moved.
bool SkipBlanks(const char*& p);

// Reads an optional sign and then decimal digits or, when allowHex, "$" and ASCII letters or
// digits (hexadecimal). Hexadecimal takes any 32-bit pattern ("$FFFFFFFF" is -1); decimal must
// fit in int32. On success the cursor stands after the number; on failure (no digit, a bad
// hexadecimal digit, out of range) the result is false and the cursor is unchanged.
bool ParseInteger(const char*& p, bool allowHex, int& value);

// Copies up to the end of the text or the first character that occurs in `delimiters`, which
// stays unread. True when something was copied.
bool ReadUntil(const char*& p, QString& text, const char* delimiters);

// --- Packed versions -----------------------------------------------------------------------
// major << 24 | minor << 16 | release << 8 | build, each 0..255; compare as unsigned numbers.
using TVersion = std::uint32_t;

constexpr TVersion MakeVersion(unsigned major, unsigned minor, unsigned release, unsigned build) {
  return (major & 0xFF) << 24 | (minor & 0xFF) << 16 | (release & 0xFF) << 8 | (build & 0xFF);
}

// "5", " 5 . 2.1", "1.2.3.4": one to four components separated by dots, blanks allowed around
// the numbers and dots; missing components are 0, text after the fourth is ignored. Raises
// EConvertError "StrToVersion: Invalid version number." otherwise.
TVersion StrToVersion(const QString& text);
// As StrToVersion, but false instead of the exception; version is left alone then.
bool TryStrToVersion(const QString& text, TVersion& version);

// The first `count` components (0 to 4) joined by dots; count 0 gives "".
QString VersionToStr(TVersion version, int count = 4);

// --- GUIDs ---------------------------------------------------------------------------------
// 16 bytes laid out like the Windows GUID record.
struct TGUID {
  std::uint32_t D1 = 0;
  std::uint16_t D2 = 0;
  std::uint16_t D3 = 0;
  std::uint8_t D4[8] = {};

  bool IsNull() const { return *this == TGUID{}; }
  friend bool operator==(const TGUID&, const TGUID&) = default;
};
static_assert(sizeof(TGUID) == 16);

// Only the braced form {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX} (hex digits of either case)
// converts; an empty text gives the all-zero GUID and true.
bool TryStrToGUID(const QString& text, TGUID& guid);
// As TryStrToGUID; raises EConvertError "StrToGUID: Cannot convert string to GUID".
TGUID StrToGUID(const QString& text);
// The braced upper-case form.
QString GUIDToString(const TGUID& guid);

// --- Size texts, file names, time ------------------------------------------------------------
// A byte count for users, in the largest allowed unit it reaches: units is a set of su* flags
// (empty = all), e.g. SizeToStr(suKB | suMB | suGB, 1, false, 1536) == "1.5 KB" in a locale
// with a decimal point. With `minimum`, a positive size never shows as zero.
QString SizeToStr(unsigned units, int decimals, bool minimum, std::int64_t size);

// A product or module name made into one folder name, valid on every file system we write
// to: no path separator, never empty, "." or "..". Rules in docs/file-names.md.
QString FileNameReplaceInvalidChars(const QString& name);

// Days since 1899-12-30, the fraction being the time of day.
double UnixTimeToDateTime(std::int64_t seconds);

// Makes numbers and dates follow the user's regional settings: the user's locale becomes the
// default QLocale. Called once at start, after the application object exists.
void InitLocale();
