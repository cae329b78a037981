#include "CvStrUtils.h"

#include "CvErrors.h"

#include <QByteArray>
#include <QLocale>

#include <algorithm>
#include <clocale>
#include <cstdint>

namespace {

int HexValue(char16_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

bool CharIsDigit(char c) { return c >= '0' && c <= '9'; }

bool CharIsAlphaNum(char c) {
  return CharIsDigit(c) || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool CharInSet(char c, const char* set) {
  if (c == '\0' || !set) return false;
  for (; *set; ++set)
    if (*set == c) return true;
  return false;
}

bool SkipBlanks(const char*& p) {
  if (!p) return false;
  const char* start = p;
  while (*p != '\0' && static_cast<unsigned char>(*p) <= 32) ++p;
  return p != start;
}

bool ParseInteger(const char*& p, bool allowHex, int& value) {
  if (!p) return false;
  const char* q = p;
  const bool negative = *q == '-';
  if (*q == '+' || *q == '-') ++q;

  if (allowHex && *q == '$') {
    const char* start = ++q;
    while (CharIsAlphaNum(*q)) ++q;
    if (q == start) return false;
    std::uint64_t bits = 0;
    for (const char* d = start; d != q; ++d) {
      const int digit = HexValue(static_cast<unsigned char>(*d));
      if (digit < 0) return false;
      bits = bits * 16 + static_cast<unsigned>(digit);
      if (bits > 0xFFFFFFFFu) return false;
    }
    std::uint32_t pattern = static_cast<std::uint32_t>(bits);
    if (negative) pattern = 0u - pattern;
    value = static_cast<std::int32_t>(pattern);
  } else {
    const char* start = q;
    while (CharIsDigit(*q)) ++q;
    if (q == start) return false;
    std::int64_t magnitude = 0;
    for (const char* d = start; d != q; ++d) {
      magnitude = magnitude * 10 + (*d - '0');
      if (magnitude > std::int64_t{INT32_MAX} + 1) return false;
    }
    const std::int64_t result = negative ? -magnitude : magnitude;
    if (result > INT32_MAX) return false;
    value = static_cast<int>(result);
  }
  p = q;
  return true;
}

bool ReadUntil(const char*& p, QString& text, const char* delimiters) {
  text.clear();
  if (!p) return false;
  const char* start = p;
  while (*p != '\0' && !CharInSet(*p, delimiters)) ++p;
  text = QString::fromUtf8(start, p - start);
  return p != start;
}

bool TryStrToVersion(const QString& text, TVersion& version) {
  const QByteArray bytes = text.toUtf8();
  // A zero inside the text would end it early and let trailing garbage pass unseen.
  if (bytes.contains('\0')) return false;
  const char* p = bytes.constData();
  TVersion result = 0;
  for (int shift = 24; shift >= 0; shift -= 8) {
    if (shift < 24) {
      if (*p == '\0') break;
      SkipBlanks(p);
      if (*p != '.') return false;
      ++p;
    }
    SkipBlanks(p);
    int value = 0;
    if (!ParseInteger(p, false, value) || value < 0 || value > 255) return false;
    result |= static_cast<TVersion>(value) << shift;
  }
  version = result;
  return true;
}

TVersion StrToVersion(const QString& text) {
  TVersion version = 0;
  if (!TryStrToVersion(text, version))
    throw EConvertError(QStringLiteral("StrToVersion: Invalid version number."));
  return version;
}

QString VersionToStr(TVersion version, int count) {
  QString text;
  count = std::clamp(count, 0, 4);
  for (int i = 0; i < count; ++i) {
    if (i > 0) text += QLatin1Char('.');
    text += QString::number((version >> (24 - 8 * i)) & 0xFF);
  }
  return text;
}

bool TryStrToGUID(const QString& text, TGUID& guid) {
  if (text.isEmpty()) {
    guid = TGUID{};
    return true;
  }
  if (text.size() != 38 || text[0] != QLatin1Char('{') || text[37] != QLatin1Char('}'))
    return false;
  std::uint8_t b[16];
  int n = 0;
  for (int i = 1; i < 37;) {
    if (i == 9 || i == 14 || i == 19 || i == 24) {
      if (text[i] != QLatin1Char('-')) return false;
      ++i;
      continue;
    }
    // Hex groups have even lengths, so a pair never straddles a dash.
    const int high = HexValue(text[i].unicode());
    const int low = HexValue(text[i + 1].unicode());
    if (high < 0 || low < 0) return false;
    b[n++] = static_cast<std::uint8_t>(high << 4 | low);
    i += 2;
  }
  guid.D1 = std::uint32_t{b[0]} << 24 | std::uint32_t{b[1]} << 16 | std::uint32_t{b[2]} << 8 | b[3];
  guid.D2 = static_cast<std::uint16_t>(b[4] << 8 | b[5]);
  guid.D3 = static_cast<std::uint16_t>(b[6] << 8 | b[7]);
  std::copy(b + 8, b + 16, guid.D4);
  return true;
}

TGUID StrToGUID(const QString& text) {
  TGUID guid;
  if (!TryStrToGUID(text, guid))
    throw EConvertError(QStringLiteral("StrToGUID: Cannot convert string to GUID"));
  return guid;
}

QString GUIDToString(const TGUID& guid) {
  return QString::asprintf("{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                           unsigned{guid.D1}, unsigned{guid.D2}, unsigned{guid.D3},
                           unsigned{guid.D4[0]}, unsigned{guid.D4[1]}, unsigned{guid.D4[2]},
                           unsigned{guid.D4[3]}, unsigned{guid.D4[4]}, unsigned{guid.D4[5]},
                           unsigned{guid.D4[6]}, unsigned{guid.D4[7]});
}

QString SizeToStr(unsigned units, int decimals, bool minimum, std::int64_t size) {
  return _SizeToStr2(size, units, decimals, minimum);
}

QString FileNameReplaceInvalidChars(const QString& name) {
  return _FileNameReplaceInvalidChars(name);
}

double UnixTimeToDateTime(std::int64_t seconds) {
  return static_cast<double>(seconds) / 86400.0 + 25569.0;
}

void InitLocale() {
  // Texts shown to users take their number and date formats from QLocale().
  QLocale::setDefault(QLocale::system());
  // The C library follows the user too (collation, character classes, strftime), except for
  // numbers: stored and transmitted numbers are written and parsed with a decimal point.
  std::setlocale(LC_ALL, "");
  std::setlocale(LC_NUMERIC, "C");
}
