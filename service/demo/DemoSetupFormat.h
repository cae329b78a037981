#pragma once

// How a demo setup carries its payload: the program image, then the payload files one after
// the other, then a JSON manifest, then a trailer of three fields:
//   uint64 LE  manifest size
//   uint64 LE  offset of the first payload byte
//   8 bytes    "CVDSETUP"
// The manifest: {"name", "registryKey", "version", "program", "files": [{"path", "offset",
// "size", "executable"}], "readme": {"en": text, "nl": ..., "de": ..., "fr": ...}}; offsets
// count from the first payload byte.

#include <cstdint>

namespace cvdemo {

inline constexpr char kSetupMagic[8] = {'C', 'V', 'D', 'S', 'E', 'T', 'U', 'P'};
inline constexpr std::uint64_t kSetupTrailerSize = 24;

// The marker slot of cv_demo_setup: the version and zero bytes up to 15 characters, so that
// copies can carry another version without changing the file's layout.
#define CV_DEMO_MARKER_SLOT "0.0.0.0\0\0\0\0\0\0\0\0"
inline constexpr int kMarkerSlotChars = 15;

}  // namespace cvdemo
