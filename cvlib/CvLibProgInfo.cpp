#include "CvLibProgInfo.h"

#include "CvLibErrors.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// An empty component (a project version with fewer parts) counts as 0.
#define CV_VERSION_PART(x) ((x + 0) & 0xFF)

namespace cvlib {
namespace {

// Put together at run time, so that this library does not carry the marker text itself
// as a false marker.
const std::string& MarkerTag() {
  static const std::string tag = std::string("CVPRODUCT") + "VERSION=";
  return tag;
}

// At most four numbers of three digits with their points, then the zero byte.
constexpr size_t kMaxVersionText = 15 + 1;

enum class TParse { Valid, Invalid, NeedMore };

// Parses the text after the tag: digits and points up to a zero byte.
TParse ParseVersion(const char* p, const char* end, std::uint32_t& version) {
  unsigned parts[4] = {0, 0, 0, 0};
  int part = 0;
  int digits = 0;
  for (const char* q = p;; ++q) {
    if (q == end) return TParse::NeedMore;
    const char c = *q;
    if (c >= '0' && c <= '9') {
      if (++digits > 3) return TParse::Invalid;
      parts[part] = parts[part] * 10 + static_cast<unsigned>(c - '0');
      if (parts[part] > 255) return TParse::Invalid;
    } else if (c == '.') {
      if (digits == 0 || ++part > 3) return TParse::Invalid;
      digits = 0;
    } else if (c == '\0') {
      if (digits == 0) return TParse::Invalid;
      version = PackVersion(parts[0], parts[1], parts[2], parts[3]);
      return TParse::Valid;
    } else {
      return TParse::Invalid;
    }
  }
}

}  // namespace

TProgInfo GetProgInfo() {
  TProgInfo info;
  info.Name = QStringLiteral(CV_PROG_NAME);
  info.Version = PackVersion(CV_VERSION_PART(CV_PROG_VERSION_MAJOR), CV_VERSION_PART(CV_PROG_VERSION_MINOR),
                             CV_VERSION_PART(CV_PROG_VERSION_PATCH), CV_VERSION_PART(CV_PROG_VERSION_TWEAK));
  return info;
}

int VersionInfoGetProgVersion(const QString& file, std::uint32_t& version) {
  version = 0;
  if (file.isEmpty()) return ceFileNotFound;
  const int fd = ::open(QFile::encodeName(file).constData(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT || errno == ENOTDIR ? ceFileNotFound : errno == EACCES ? ceFileAccess : ceFileRead;
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct stat st {};
  if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) return ceFileRead;
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  return VersionInfoReadProgVersion(fd, st.st_size, version);
}

int VersionInfoReadProgVersion(int fd, std::int64_t size, std::uint32_t& version) {
  version = 0;
  const std::string& tag = MarkerTag();
  constexpr size_t kChunk = size_t{1} << 20;
  // The buffer keeps a carried tail of the previous chunk in front of the new one, so a
  // marker that spans two reads is still seen whole.
  // A small program needs no megabyte of buffer: reads as large as the file and one byte more
  // see its end at once, on the stack when that is small. A file that grows meanwhile is still
  // read whole. Only the bytes read are looked at, so the buffer is not cleared first.
  const size_t chunk = size > 0 && static_cast<std::uint64_t>(size) < kChunk ? static_cast<size_t>(size) + 1 : kChunk;
  const size_t bufferSize = chunk + tag.size() + kMaxVersionText;
  char onStack[16 * 1024];
  std::unique_ptr<char[]> onHeap;
  if (bufferSize > sizeof onStack) onHeap = std::make_unique_for_overwrite<char[]>(bufferSize);
  char* const buffer = onHeap ? onHeap.get() : onStack;
  size_t carried = 0;
  for (;;) {
    ssize_t got = ::read(fd, buffer + carried, chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return ceFileRead;
    const bool atEnd = got == 0;
    const size_t filled = carried + static_cast<size_t>(got);
    const char* const begin = buffer;
    const char* const end = begin + filled;
    const char* from = begin;
    const char* keepFrom = nullptr;
    while (const void* hit = ::memmem(from, static_cast<size_t>(end - from), tag.data(), tag.size())) {
      const char* h = static_cast<const char*>(hit);
      const TParse r = ParseVersion(h + tag.size(), end, version);
      if (r == TParse::Valid) return ceOK;
      if (r == TParse::NeedMore && !atEnd) {
        keepFrom = h;
        break;
      }
      from = h + 1;
    }
    if (atEnd) break;
    // Carry what may still begin a marker: an unfinished one, or a tail shorter than the tag.
    if (!keepFrom) keepFrom = filled >= tag.size() - 1 ? end - (tag.size() - 1) : begin;
    carried = static_cast<size_t>(end - keepFrom);
    std::memmove(buffer, keepFrom, carried);
  }
  version = 0;
  return ceNoVersionInfo;
}

}  // namespace cvlib
