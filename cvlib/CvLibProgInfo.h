#pragma once

// Program information: the name and packed version of this build, and the version marker
// that product programs carry so that their version can be read from the file.

#include <QString>

#include <cstdint>

namespace cvlib {

struct TProgInfo {
  QString Name;
  // major << 24 | minor << 16 | release << 8 | build
  std::uint32_t Version = 0;
};

// Name and version of the program, from the build's project version.
TProgInfo GetProgInfo();

// Reads the version marker of a program file: the bytes "CVPRODUCTVERSION=", a dotted
// version of one to four numbers 0..255 (missing ones are 0) and a zero byte. The first
// well-formed marker counts. ceNoVersionInfo when the file has none; ceFileNotFound or
// ceFileRead when it cannot be read.
int VersionInfoGetProgVersion(const QString& file, std::uint32_t& version);

// The same from a file the caller has opened for reading (and checked to be one to read), from
// its current position to its end. size is the file's size as the caller saw it (0 when not
// known); it only sizes the reads. ceFileRead when a read fails.
int VersionInfoReadProgVersion(int fd, std::int64_t size, std::uint32_t& version);

// Packs version numbers the way GetProgInfo and the marker do.
constexpr std::uint32_t PackVersion(unsigned major, unsigned minor, unsigned release, unsigned build) {
  return (major & 0xFFu) << 24 | (minor & 0xFFu) << 16 | (release & 0xFFu) << 8 | (build & 0xFFu);
}

}  // namespace cvlib

// Puts the version marker into an executable or library. Use once, at namespace scope, in a
// source file of the target, e.g. CV_EMBED_VERSION_MARKER("1.0.0.0"). The string's own
// terminating zero ends the marker. CMake targets can call cv_embed_version_marker(target)
// instead, which uses the project version.
#define CV_EMBED_VERSION_MARKER(versionText) \
  extern "C" __attribute__((used, visibility("default"))) const char cvVersionMarker[] = "CVPRODUCTVERSION=" versionText
