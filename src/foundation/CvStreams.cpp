#include "CvStreams.h"

#include "CvErrors.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int RoundBufferSize(int requested) {
  const std::int64_t rounded = (std::max<std::int64_t>(requested, 1) + 1023) / 1024 * 1024;
  return rounded > 31 * 1024 ? 32768 : static_cast<int>(rounded);
}

// Errors of positioned I/O that concern the offset rather than the data.
bool IsSeekError(int error) { return error == ESPIPE || error == EINVAL || error == EOVERFLOW; }

}  // namespace

TBufferedFileStream::TBufferedFileStream(const QString& fileName, int bufferSize, unsigned mode)
    : fileName_(fileName.isEmpty() ? fileName : QFileInfo(fileName).absoluteFilePath()),
      bufferSize_(RoundBufferSize(bufferSize)) {
  const bool create = mode == fmCreate;
  const char* const openError = create ? "Cannot create file " : "Cannot open file ";
  const QByteArray path = QFile::encodeName(fileName_);
  // Non-blocking, so that a FIFO planted under the name cannot hang the open.
  constexpr int kCommon = O_CLOEXEC | O_NONBLOCK;
  if (create) {
    fd_ = ::open(path.constData(), O_RDWR | O_CREAT | O_TRUNC | kCommon, 0666);
    writable_ = true;
  } else {
    switch (mode & 3) {
      case fmOpenRead:
        fd_ = ::open(path.constData(), O_RDONLY | kCommon);
        break;
      case fmOpenWrite:
        // Writing inside the file reads the window first; fall back to write-only access
        // for a file we may not read.
        fd_ = ::open(path.constData(), O_RDWR | kCommon);
        if (fd_ < 0 && errno == EACCES) fd_ = ::open(path.constData(), O_WRONLY | kCommon);
        writable_ = true;
        break;
      case fmOpenReadWrite:
        fd_ = ::open(path.constData(), O_RDWR | kCommon);
        writable_ = true;
        break;
      default:
        break;
    }
  }
  if (fd_ < 0) Fail(openError);

  struct stat info {};
  if (::fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd_);
    fd_ = -1;
    Fail(openError);
  }
  ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
  const off_t end = ::lseek(fd_, 0, SEEK_END);
  if (end < 0) {
    ::close(fd_);
    fd_ = -1;
    Fail("Seek EOF failed in ");
  }
  fileSize_ = end;
  buffer_ = std::make_unique<char[]>(static_cast<size_t>(bufferSize_));
}

TBufferedFileStream::~TBufferedFileStream() {
  try {
    Close();
  } catch (...) {
    // Nothing can be reported from here; callers that care call Close themselves.
  }
}

void TBufferedFileStream::Fail(const char* text) const {
  throw EStreamError(QLatin1String(text) + fileName_);
}

void TBufferedFileStream::CheckOpen() const {
  if (fd_ < 0) Fail("Stream is closed: ");
}

std::int64_t TBufferedFileStream::Read(void* buffer, std::int64_t count) {
  CheckOpen();
  count = std::min(count, fileSize_ - position_);
  if (count <= 0) return 0;
  char* out = static_cast<char*>(buffer);
  std::int64_t done = 0;
  while (done < count) {
    const std::int64_t remaining = count - done;
    if (position_ % bufferSize_ == 0 && remaining >= bufferSize_) {
      // Whole windows come straight from the file, once a changed window there is written.
      const std::int64_t n = remaining - remaining % bufferSize_;
      if (dirty_ && windowStart_ >= position_ && windowStart_ < position_ + n) WriteBack();
      ReadAt(position_, out + done, n);
      position_ += n;
      done += n;
      continue;
    }
    MoveWindow(position_);
    LoadWindow();
    const std::int64_t offset = position_ - windowStart_;
    const std::int64_t n = std::min(remaining, windowLength_ - offset);
    std::memcpy(out + done, buffer_.get() + offset, static_cast<size_t>(n));
    position_ += n;
    done += n;
  }
  return count;
}

std::int64_t TBufferedFileStream::Write(const void* buffer, std::int64_t count) {
  CheckOpen();
  if (!writable_) Fail("Write failed in ");
  if (count <= 0) return 0;
  if (count > INT64_MAX - position_) Fail("Write failed in ");
  const char* in = static_cast<const char*>(buffer);
  std::int64_t done = 0;
  while (done < count) {
    const std::int64_t remaining = count - done;
    if (position_ % bufferSize_ == 0 && remaining >= bufferSize_) {
      // Whole windows go straight to the file: what lands on disk is what the window would
      // have written. A window inside the range would now be stale and is dropped.
      const std::int64_t n = remaining - remaining % bufferSize_;
      WriteAt(position_, in + done, n);
      if (windowLoaded_ && windowStart_ >= position_ && windowStart_ < position_ + n) {
        windowLoaded_ = false;
        windowLength_ = 0;
        dirty_ = false;
      }
      position_ += n;
      fileSize_ = std::max(fileSize_, position_);
      done += n;
      continue;
    }
    MoveWindow(position_);
    LoadWindow();
    const std::int64_t offset = position_ - windowStart_;
    const std::int64_t n = std::min(remaining, bufferSize_ - offset);
    std::memcpy(buffer_.get() + offset, in + done, static_cast<size_t>(n));
    dirty_ = true;
    windowLength_ = std::max(windowLength_, offset + n);
    position_ += n;
    fileSize_ = std::max(fileSize_, position_);
    done += n;
  }
  return count;
}

std::int64_t TBufferedFileStream::Seek(std::int64_t offset, int origin) {
  CheckOpen();
  std::int64_t base = 0;
  switch (origin) {
    case soFromBeginning: base = 0; break;
    case soFromCurrent: base = position_; break;
    case soFromEnd: base = fileSize_; break;
    default: throw EStreamError(QStringLiteral("TBufferedFileStream.Seek: Invalid origin."));
  }
  std::int64_t target = 0;
  if (__builtin_add_overflow(base, offset, &target) || target < 0 || target > fileSize_)
    Fail("Invalid new position in ");
  if (windowLoaded_ && (target < windowStart_ || target >= windowStart_ + bufferSize_)) {
    WriteBack();
    windowLoaded_ = false;
    windowLength_ = 0;
  }
  position_ = target;
  return position_;
}

void TBufferedFileStream::SetSize(std::int64_t size) {
  CheckOpen();
  static const char* const kError = "TBufferedFileStream.SetSize: Set end of file failed in ";
  if (size < 0 || !writable_) Fail(kError);
  // The window is written first so that the file alone holds every byte; then the cut or
  // the zero bytes of an extension need no copy in memory.
  WriteBack();
  if (::ftruncate(fd_, size) != 0) Fail(kError);
  windowLoaded_ = false;
  windowLength_ = 0;
  fileSize_ = size;
  position_ = std::min(position_, size);
}

void TBufferedFileStream::Flush() {
  CheckOpen();
  WriteBack();
  // EINVAL: a file system without sync; the data went to the system all the same.
  if (writable_ && ::fsync(fd_) != 0 && errno != EINVAL) Fail("Write failed in ");
}

void TBufferedFileStream::Close() {
  if (fd_ < 0) return;
  std::exception_ptr error;
  try {
    Flush();
  } catch (...) {
    error = std::current_exception();
  }
  const int closed = ::close(fd_);
  fd_ = -1;
  buffer_.reset();
  windowLoaded_ = false;
  windowLength_ = 0;
  dirty_ = false;
  if (error) std::rethrow_exception(error);
  if (closed != 0 && errno != EINTR && writable_) Fail("Write failed in ");
}

void TBufferedFileStream::MoveWindow(std::int64_t pos) {
  if (windowLoaded_ && pos >= windowStart_ && pos < windowStart_ + bufferSize_) return;
  WriteBack();
  windowStart_ = pos - pos % bufferSize_;
  windowLoaded_ = false;
  windowLength_ = 0;
}

void TBufferedFileStream::LoadWindow() {
  if (windowLoaded_) return;
  const std::int64_t length = std::clamp<std::int64_t>(fileSize_ - windowStart_, 0, bufferSize_);
  if (length > 0) ReadAt(windowStart_, buffer_.get(), length);
  windowLength_ = length;
  windowLoaded_ = true;
}

void TBufferedFileStream::WriteBack() {
  if (!dirty_) return;
  WriteAt(windowStart_, buffer_.get(), windowLength_);
  dirty_ = false;
}

void TBufferedFileStream::ReadAt(std::int64_t offset, char* data, std::int64_t count) {
  while (count > 0) {
    const ssize_t got = ::pread(fd_, data, static_cast<size_t>(count), offset);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && IsSeekError(errno)) Fail("Seek on reading failed in ");
    // Zero bytes where the file should have more: it was cut behind our back.
    if (got <= 0) Fail("Read failed in ");
    data += got;
    offset += got;
    count -= got;
  }
}

void TBufferedFileStream::WriteAt(std::int64_t offset, const char* data, std::int64_t count) {
  while (count > 0) {
    const ssize_t put = ::pwrite(fd_, data, static_cast<size_t>(count), offset);
    if (put < 0 && errno == EINTR) continue;
    if (put < 0 && IsSeekError(errno)) Fail("Seek on writing failed in ");
    if (put <= 0) Fail("Write failed in ");
    data += put;
    offset += put;
    count -= put;
    StartWriteBehind(put);
  }
}

void TBufferedFileStream::StartWriteBehind(std::int64_t count) {
  constexpr std::int64_t kWriteBehind = 8 * 1024 * 1024;
  unsynced_ += count;
  if (unsynced_ < kWriteBehind) return;
  unsynced_ = 0;
  // Only a hint: where the system cannot start writing early, the sync on closing still does it.
  (void)::sync_file_range(fd_, 0, 0, SYNC_FILE_RANGE_WRITE);
}
