#pragma once

// The pieces every file writer of this program shares, on descriptors: closing on every path
// out, errno to error codes, a hidden temporary name beside a target, writing a whole buffer,
// and the one copy routine that FileCopy and the runs' checked copy are built on. Error codes
// are those of CvLibErrors.h (0 = success).

#include <QString>

#include <cstddef>
#include <functional>

#include <sys/stat.h>
#include <sys/types.h>

namespace cvlib {

// Closes a descriptor on every path out.
struct TFd {
  int fd = -1;
  explicit TFd(int f) : fd(f) {}
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
  ~TFd();
  // Closes the one held, if any, and holds f.
  void Reset(int f);
};

// ENOSPC or EDQUOT.
bool IsDiskFull(int err);

// The error code of a failed open, stat, mkdir or rename: missing (ceFileNotFound), not
// allowed (ceFileAccess), disk full (ceDiskFull), else fallback.
int OpenError(int err, int fallback);

// Writes all of data, going on after a signal; false with errno set.
bool WriteAll(int fd, const char* data, size_t size);

// How a temporary name beside a target looks. Both are hidden and have a random part that
// keeps them from being any name a list could be made to carry.
enum class TTempName {
  Named,      // ".<target's name>.cvcopy-<8 hex>"
  Anonymous,  // ".cvrun-<16 hex>"
};

// Creates a new file (O_EXCL, open for reading and writing) under a hidden name beside target
// with mode (through the umask). Returns the descriptor, or -1 with errno set; tempPath gets
// the name.
int CreateTempBeside(const QString& target, mode_t mode, QString& tempPath, TTempName style = TTempName::Named);

// Watches a copy chunk by chunk: checksums, progress, a stop. Any error code it returns ends
// the copy with that error, and the partial copy is removed.
class TCopyObserver {
 public:
  virtual ~TCopyObserver() = default;
  // Before the first byte; out is the copy, open for reading too.
  virtual int Started(int out, qint64 total);
  // After each chunk, when done bytes are in the copy. data holds the chunk when it went
  // through this process; it is null when the kernel copied it from file to file (the bytes
  // are in out, before offset done).
  virtual int Copied(int out, const char* data, qint64 size, qint64 done);
  // After the last byte with error 0: the copy is complete but not yet closed or named, and
  // an error returned fails it. On a failure with that failure's code, before the copy is
  // closed and removed (what was started on out must stop here); the return is ignored.
  virtual int Finished(int out, int error);
};

// How CopyFile copies.
struct TCopyOptions {
  // Added to O_RDONLY | O_CLOEXEC for the source: O_NOFOLLOW | O_NONBLOCK never reads through
  // a link and never waits on a FIFO (refused, as anything not a regular file, ceFileRead).
  int sourceFlags = 0;
  // The copy's permission bits from the open source; empty: the source's bits. They are given
  // at creation (through the umask) and, with exactMode, set again after the last byte.
  std::function<mode_t(int source, const struct stat& st)> mode;
  bool exactMode = false;
  // The source's size when it is known: one of any other size, or one that grows or shrinks
  // while it is copied, gives ceChkChecksum (the reading ends at this size).
  qint64 size = -1;
  // Unix seconds for the copy's modification time; 0: the source's.
  qint64 fileTime = 0;
  // A target that does not exist yet is written under its own name (no temporary name and
  // rename) and removed again on any failure.
  bool newInPlace = false;
  // A link to a folder under the target's name is refused as a folder is (ceFileCreate);
  // false: the link itself is replaced.
  bool followTargetLink = true;
  TTempName tempName = TTempName::Named;
  // Files at least this large are copied by the kernel (copy_file_range) in chunks that grow
  // from kernelChunkMin while calls are quick and shrink while they are slow, so that the
  // observer is asked several times a second on a slow medium too; smaller files, and files
  // the kernel cannot copy between these two file systems, go through a buffer of 1 MiB.
  qint64 kernelFrom = 0;
  size_t kernelChunkMin = size_t{8} << 20;
  size_t kernelChunkMax = size_t{8} << 20;
  TCopyObserver* observer = nullptr;
};

// Copies source to target. An existing target is replaced through a hidden temporary name
// beside it that takes the target's name only when the copy is complete: a failed or stopped
// copy leaves no partial file and the older target as it was. A folder under the target's
// name is refused (ceFileCreate); a full disk gives ceDiskFull, a failed read ceFileRead, a
// failed write ceFileWrite.
int CopyFile(const QString& source, const QString& target, const TCopyOptions& options);

}  // namespace cvlib
