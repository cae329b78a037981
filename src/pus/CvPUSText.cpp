#include "CvPUSText.h"

#include <QDate>

namespace cvpus {
namespace {

int HexValue(QChar c) {
  const char16_t u = c.unicode();
  if (u >= '0' && u <= '9') return u - '0';
  if (u >= 'A' && u <= 'F') return u - 'A' + 10;
  if (u >= 'a' && u <= 'f') return u - 'a' + 10;
  return -1;
}

// Reads count hex digits at pos into value.
bool ReadHex(const QString& text, int pos, int count, std::uint64_t& value) {
  value = 0;
  for (int i = 0; i < count; ++i) {
    const int v = HexValue(text.at(pos + i));
    if (v < 0) return false;
    value = value * 16 + static_cast<std::uint64_t>(v);
  }
  return true;
}

bool IsBlank(char c) { return c >= 1 && c <= 32; }

struct TCursor {
  const QByteArray& text;
  qsizetype pos = 0;
  bool AtEnd() const { return pos >= text.size(); }
  char Peek() const { return AtEnd() ? '\0' : text.at(pos); }
  void SkipBlanks() {
    while (!AtEnd() && IsBlank(text.at(pos))) ++pos;
  }
  // Optional sign and at least one digit; the value must fit an int.
  bool ParseInteger(long long& value) {
    qsizetype p = pos;
    bool negative = false;
    if (p < text.size() && (text.at(p) == '+' || text.at(p) == '-')) negative = text.at(p++) == '-';
    const qsizetype digits = p;
    long long v = 0;
    while (p < text.size() && text.at(p) >= '0' && text.at(p) <= '9') {
      v = v * 10 + (text.at(p++) - '0');
      if (v > 2147483648LL) return false;
    }
    if (p == digits) return false;
    v = negative ? -v : v;
    if (v > 2147483647LL) return false;
    value = v;
    pos = p;
    return true;
  }
  // Unsigned decimal digits only, as the date and time fields are written.
  bool ParseDigits(int& value, int maxDigits) {
    qsizetype p = pos;
    int v = 0;
    while (p < text.size() && p - pos < maxDigits && text.at(p) >= '0' && text.at(p) <= '9')
      v = v * 10 + (text.at(p++) - '0');
    if (p == pos) return false;
    value = v;
    pos = p;
    return true;
  }
};

}  // namespace

QString GUIDToString(const TGUID& g) {
  return QStringLiteral("{%1-%2-%3-%4%5-%6%7%8%9%10%11}")
      .arg(g.D1, 8, 16, QLatin1Char('0'))
      .arg(g.D2, 4, 16, QLatin1Char('0'))
      .arg(g.D3, 4, 16, QLatin1Char('0'))
      .arg(g.D4[0], 2, 16, QLatin1Char('0'))
      .arg(g.D4[1], 2, 16, QLatin1Char('0'))
      .arg(g.D4[2], 2, 16, QLatin1Char('0'))
      .arg(g.D4[3], 2, 16, QLatin1Char('0'))
      .arg(g.D4[4], 2, 16, QLatin1Char('0'))
      .arg(g.D4[5], 2, 16, QLatin1Char('0'))
      .arg(g.D4[6], 2, 16, QLatin1Char('0'))
      .arg(g.D4[7], 2, 16, QLatin1Char('0'))
      .toUpper();
}

bool TryStrToGUID(const QString& text, TGUID& guid) {
  if (text.isEmpty()) {
    guid = TGUID{};
    return true;
  }
  if (text.size() != 38 || text.at(0) != u'{' || text.at(37) != u'}' || text.at(9) != u'-' ||
      text.at(14) != u'-' || text.at(19) != u'-' || text.at(24) != u'-')
    return false;
  TGUID g;
  std::uint64_t v = 0;
  if (!ReadHex(text, 1, 8, v)) return false;
  g.D1 = static_cast<std::uint32_t>(v);
  if (!ReadHex(text, 10, 4, v)) return false;
  g.D2 = static_cast<std::uint16_t>(v);
  if (!ReadHex(text, 15, 4, v)) return false;
  g.D3 = static_cast<std::uint16_t>(v);
  static constexpr int kD4Pos[8] = {20, 22, 25, 27, 29, 31, 33, 35};
  for (int i = 0; i < 8; ++i) {
    if (!ReadHex(text, kD4Pos[i], 2, v)) return false;
    g.D4[i] = static_cast<std::uint8_t>(v);
  }
  guid = g;
  return true;
}

bool TryStrToVersion(const QByteArray& text, std::uint32_t& version) {
  TCursor c{text};
  std::uint32_t result = 0;
  for (int component = 0; component < 4; ++component) {
    if (component > 0) {
      if (c.AtEnd()) break;
      c.SkipBlanks();
      if (c.Peek() != '.') return false;
      ++c.pos;
      c.SkipBlanks();
    } else {
      c.SkipBlanks();
    }
    long long value = 0;
    if (!c.ParseInteger(value) || value < 0 || value > 255) return false;
    result |= static_cast<std::uint32_t>(value) << (24 - 8 * component);
  }
  version = result;
  return true;
}

QString VersionToStr(std::uint32_t version, int count) {
  QStringList parts;
  for (int i = 0; i < count && i < 4; ++i) parts << QString::number((version >> (24 - 8 * i)) & 0xFF);
  return parts.join(QLatin1Char('.'));
}

bool TryStrToDateTime(const QByteArray& text, double& dateTime) {
  TCursor c{text};
  int year = 0, month = 0, day = 0;
  if (!c.ParseDigits(year, 4) || c.Peek() != '-') return false;
  ++c.pos;
  if (!c.ParseDigits(month, 2) || c.Peek() != '-') return false;
  ++c.pos;
  if (!c.ParseDigits(day, 2)) return false;
  const QDate date(year, month, day);
  if (!date.isValid() || year < 1) return false;
  int hour = 0, minute = 0, second = 0;
  if (!c.AtEnd()) {
    if (c.Peek() != ' ') return false;
    ++c.pos;
    if (!c.ParseDigits(hour, 2) || c.Peek() != ':') return false;
    ++c.pos;
    if (!c.ParseDigits(minute, 2)) return false;
    if (c.Peek() == ':') {
      ++c.pos;
      if (!c.ParseDigits(second, 2)) return false;
    }
    if (!c.AtEnd() || hour > 23 || minute > 59 || second > 59) return false;
  }
  static const qint64 kEpoch = QDate(1899, 12, 30).toJulianDay();
  const double days = static_cast<double>(date.toJulianDay() - kEpoch);
  const double fraction = (hour * 3600 + minute * 60 + second) / 86400.0;
  // Before the epoch the fraction counts away from zero, as the date-time encoding has it.
  dateTime = days < 0 ? days - fraction : days + fraction;
  return true;
}

}  // namespace cvpus
