#include "CvLibStrings.h"

#include <QLocale>

#include <algorithm>
#include <cmath>

namespace cvlib {
namespace {

constexpr std::int64_t kKB = std::int64_t{1} << 10;
constexpr std::int64_t kMB = std::int64_t{1} << 20;
constexpr std::int64_t kGB = std::int64_t{1} << 30;
constexpr std::int64_t kTB = std::int64_t{1} << 40;

// Longest name kept, in UTF-8 bytes: below the 255 of Linux file systems (bytes) and of
// Windows ones (UTF-16 units), with room for the one character a device name gets appended.
constexpr int kMaxNameBytes = 250;

bool IsForbiddenChar(char16_t c) {
  if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) return true;  // control characters
  switch (c) {
    case '\\': case '/': case ':': case '*': case '?': case '"': case '<': case '>': case '|':
      return true;
    default:
      return false;
  }
}

int Utf8Length(char32_t c) { return c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4; }

// Windows opens a device instead of a file for these base names, whatever the extension.
bool IsDeviceName(QStringView base) {
  static const char* const kFixed[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  for (const char* fixed : kFixed)
    if (base.compare(QLatin1String(fixed), Qt::CaseInsensitive) == 0) return true;
  if (base.size() != 4) return false;
  const QStringView stem = base.left(3);
  if (stem.compare(QLatin1String("COM"), Qt::CaseInsensitive) != 0 &&
      stem.compare(QLatin1String("LPT"), Qt::CaseInsensitive) != 0)
    return false;
  const char16_t last = base[3].unicode();
  return (last >= '0' && last <= '9') || last == 0x00B9 || last == 0x00B2 || last == 0x00B3;
}

}  // namespace

QString _SizeToStr2(std::int64_t size, unsigned units, int decimals, bool minimum) {
  units &= suAll;
  if (units == 0) units = suAll;
  decimals = std::clamp(decimals, 0, 15);
  const auto allowed = [units](unsigned unit) { return (units & unit) != 0; };
  // Whether a unit larger than `unit` is allowed.
  const auto larger = [units](unsigned unit) { return (units & ~((unit << 1) - 1)) != 0; };

  if (allowed(suBytes) && (size < kKB || !larger(suBytes)))
    return QString::number(size) + QStringLiteral(" bytes");

  std::int64_t divisor = kTB;
  const char* name = "TB";
  if (allowed(suKB) && (size < kMB || !larger(suKB))) {
    divisor = kKB;
    name = "KB";
  } else if (allowed(suMB) && (size < kGB || !larger(suMB))) {
    divisor = kMB;
    name = "MB";
  } else if (allowed(suGB) && (size < kTB || !larger(suGB))) {
    divisor = kGB;
    name = "GB";
  }

  double value = static_cast<double>(size) / static_cast<double>(divisor);
  if (minimum && size > 0) value = std::max(value, std::pow(10.0, -decimals));

  QLocale locale;
  locale.setNumberOptions(locale.numberOptions() | QLocale::OmitGroupSeparator);
  return locale.toString(value, 'f', decimals) + QLatin1Char(' ') + QLatin1String(name);
}

QString _FileNameReplaceInvalidChars(const QString& name) {
  QString result;
  result.reserve(name.size());
  int bytes = 0;
  for (qsizetype i = 0; i < name.size(); ++i) {
    const QChar c = name[i];
    char32_t code = c.unicode();
    QString piece(c);
    if (c.isHighSurrogate() && i + 1 < name.size() && name[i + 1].isLowSurrogate()) {
      code = QChar::surrogateToUcs4(c, name[i + 1]);
      piece.append(name[++i]);
    } else if (c.isSurrogate() || IsForbiddenChar(c.unicode())) {
      code = '_';  // an unpaired surrogate has no UTF-8 form
      piece = QStringLiteral("_");
    }
    bytes += Utf8Length(code);
    if (bytes > kMaxNameBytes) break;
    result += piece;
  }

  // Windows drops trailing dots and blanks, so two names differing only there would meet;
  // leading blanks are dropped as well, as nobody means them in a folder name.
  qsizetype end = result.size();
  while (end > 0 && (result[end - 1] == QLatin1Char(' ') || result[end - 1] == QLatin1Char('.')))
    --end;
  qsizetype begin = 0;
  while (begin < end && result[begin] == QLatin1Char(' ')) ++begin;
  result = result.mid(begin, end - begin);
  if (result.isEmpty()) return QStringLiteral("_");  // also what "." and ".." become

  // Windows matches device names on the part before the first dot, blanks at its end ignored.
  qsizetype baseEnd = result.indexOf(QLatin1Char('.'));
  if (baseEnd < 0) baseEnd = result.size();
  while (baseEnd > 0 && result[baseEnd - 1] == QLatin1Char(' ')) --baseEnd;
  if (IsDeviceName(QStringView(result).left(baseEnd))) result.insert(baseEnd, QLatin1Char('_'));
  return result;
}

}  // namespace cvlib
