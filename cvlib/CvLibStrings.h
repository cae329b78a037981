#pragma once

// Texts shown to users and names made from outside texts: the size text and file-name cleaning.

#include <QString>

#include <cstdint>

namespace cvlib {

// Units a size text may use; a set of flags. An empty set means all five.
enum TSizeUnit : unsigned {
  suBytes = 1,
  suKB = 2,
  suMB = 4,
  suGB = 8,
  suTB = 16,
};
constexpr unsigned suAll = suBytes | suKB | suMB | suGB | suTB;

// A byte count as users read it: "1023 bytes", "1.5 KB", "2048.0 GB". Picks the largest
// allowed unit the size reaches (a larger one only when no smaller one is allowed), shows the
// value in fixed notation with `decimals` digits (clamped to 0..15) in the default locale's
// decimal separator and without group separators. With `minimum`, a positive size never
// shows as zero: the value is raised to the smallest step the decimals can show.
QString _SizeToStr2(std::int64_t size, unsigned units, int decimals, bool minimum);

// A name that is valid as one file or folder name on Linux and Windows file systems alike;
// the rules are in docs/file-names.md. Never empty, never "." or "..", never a path.
QString _FileNameReplaceInvalidChars(const QString& name);

}  // namespace cvlib
