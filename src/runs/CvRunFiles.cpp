#include "CvRunFiles.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QStandardPaths>

#include <openssl/evp.h>
#include <xxhash.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <ftw.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace cvruns {
namespace {

using namespace cvlib;

QByteArray Native(const QString& path) { return QFile::encodeName(path); }

struct TFd {
  int fd = -1;
  explicit TFd(int f) : fd(f) {}
  ~TFd() {
    if (fd >= 0) ::close(fd);
  }
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
};

struct TMdFree {
  void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
using TMd = std::unique_ptr<EVP_MD_CTX, TMdFree>;

TMd NewSha256() {
  TMd md(EVP_MD_CTX_new());
  if (md && EVP_DigestInit_ex(md.get(), EVP_sha256(), nullptr) != 1) md.reset();
  return md;
}

QString HexDigest(EVP_MD_CTX* md) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_DigestFinal_ex(md, digest, &length);
  return QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(digest), static_cast<int>(length)).toHex());
}

bool IsDiskFull(int err) { return err == ENOSPC || err == EDQUOT; }

int OpenError(int err, int fallback) {
  switch (err) {
    case ENOENT: return ceFileNotFound;
    case EACCES:
    case EPERM: return ceFileAccess;
    case ELOOP: return ceFileRead;
    default: return IsDiskFull(err) ? ceDiskFull : fallback;
  }
}

// A hidden name beside the target, new in its folder; the random part keeps it from being
// any name a list could be made to carry. Open for reading too: a copy is hashed from it.
int CreateTempBeside(const QString& target, mode_t mode, QString& tempPath) {
  const QFileInfo info(target);
  const QString folder = info.absolutePath();
  for (int attempt = 0; attempt < 100; ++attempt) {
    tempPath = folder + QStringLiteral("/.cvrun-%1%2")
                           .arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'))
                           .arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'));
    const int fd = ::open(Native(tempPath).constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return -1;
}

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// Copies go in chunks of 1 MiB: few system calls, and the buffer stays in the processor's cache
// between the read, the checksum and the write.
constexpr size_t kCopyChunk = size_t{1} << 20;
constexpr size_t kSmallFile = 256 << 10;
constexpr qint64 kRangeCopyFile = qint64{16} << 20;
// What the kernel copies in one call grows while calls are quick (each costs a trip in and the
// hash thread a wake-up) and shrinks while they are slow: between two calls the event loop is
// pumped and an abort is seen, on a slow medium too.
constexpr size_t kRangeChunkMax = size_t{16} << 20;
constexpr auto kRangeCallQuick = std::chrono::milliseconds(8);
constexpr auto kRangeCallSlow = std::chrono::milliseconds(30);

// One buffer per thread for all its copies: allocating one for each of thousands of small
// files would cost more than copying them.
char* CopyBuffer() {
  thread_local std::unique_ptr<char[]> buffer(new char[kCopyChunk]);
  return buffer.get();
}

// Feeds the checksums.
struct THashes {
  XXH3_state_t* xxh3 = nullptr;
  EVP_MD_CTX* md = nullptr;
  bool Update(const char* data, size_t size) const {
    if (xxh3 && XXH3_64bits_update(xxh3, data, size) != XXH_OK) return false;
    return !md || EVP_DigestUpdate(md, data, size) == 1;
  }
};

// Hashes, on a thread of its own, what the kernel has copied into a file so far: it reads the
// copy back (from the page cache), so the checksum vouches for the bytes that were written.
class THashBehind {
 public:
  THashBehind(int fd, THashes hashes) : fd_(fd), hashes_(hashes), thread_([this] { Run(); }) {}
  ~THashBehind() { Finish(); }
  THashBehind(const THashBehind&) = delete;
  THashBehind& operator=(const THashBehind&) = delete;

  void Copied(qint64 bytes) {
    std::lock_guard lock(mutex_);
    copied_ = bytes;
    changed_.notify_one();
  }
  // Waits for the hashes to catch up (or stops them at once when abandon); false when the
  // copy could not be read back.
  bool Finish(bool abandon = false) {
    if (thread_.joinable()) {
      {
        std::lock_guard lock(mutex_);
        finished_ = true;
        abandoned_ = abandon;
        changed_.notify_one();
      }
      thread_.join();
    }
    return ok_;
  }

 private:
  void Run() {
    std::unique_ptr<char[]> buffer(new char[kCopyChunk]);
    qint64 hashed = 0;
    for (;;) {
      qint64 copied = 0;
      {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return abandoned_ || finished_ || copied_ > hashed; });
        if (abandoned_ || (finished_ && copied_ <= hashed)) return;
        copied = copied_;
      }
      while (hashed < copied) {
        const ssize_t n = ::pread(fd_, buffer.get(), static_cast<size_t>(std::min<qint64>(kCopyChunk, copied - hashed)),
                                  static_cast<off_t>(hashed));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || !hashes_.Update(buffer.get(), static_cast<size_t>(n))) {
          ok_ = false;
          return;
        }
        hashed += n;
      }
    }
  }

  const int fd_;
  const THashes hashes_;
  std::mutex mutex_;
  std::condition_variable changed_;
  qint64 copied_ = 0;
  bool finished_ = false;
  bool abandoned_ = false;
  std::atomic<bool> ok_{true};
  std::thread thread_;
};

// What a copy's mode is: never the source's group or other write (a FAT stick shows every
// file 0777). A program (execute bit and an ELF or script start) is 0755, any other file 0644,
// both through the user's umask.
mode_t SafeMode(int fd, const struct stat& st) {
  bool program = false;
  if ((st.st_mode & 0111) != 0) {
    char magic[4] = {};
    const ssize_t n = ::pread(fd, magic, sizeof magic, 0);
    program = (n == 4 && std::memcmp(magic, "\x7f" "ELF", 4) == 0) || (n >= 2 && magic[0] == '#' && magic[1] == '!');
  }
  return static_cast<mode_t>((program ? 0755 : 0644) & ~ProcessUmask());
}

struct TXxh3Free {
  void operator()(XXH3_state_t* s) const { XXH3_freeState(s); }
};
using TXxh3 = std::unique_ptr<XXH3_state_t, TXxh3Free>;

}  // namespace

int CopyChecked(const QString& source, const QString& target, const TCopyCheck& check,
                const TFileCopyProgress& progress, const std::atomic<bool>* stop, QByteArray* head) {
  if (head) head->clear();
  if (source.isEmpty() || target.isEmpty()) return ceInvalidPath;
  // O_NONBLOCK: a FIFO in the backup is refused below, never waited on.
  TFd in(::open(Native(source).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (in.fd < 0) return OpenError(errno, ceFileRead);
  struct stat st {};
  if (::fstat(in.fd, &st) != 0 || !S_ISREG(st.st_mode)) return ceFileRead;
  // A file of the wrong size is known to be wrong before a byte is read.
  if (check.size >= 0 && st.st_size != check.size) return ceChkChecksum;
  const bool byXxh3 = !check.xxh3.isEmpty();
  TMd md;
  if (!byXxh3 && !check.sha256.isEmpty()) {
    md = NewSha256();
    if (!md) return ceFileRead;
  }
  TXxh3 xxh3;
  if (byXxh3) {
    xxh3.reset(XXH3_createState());
    if (!xxh3 || XXH3_64bits_reset(xxh3.get()) != XXH_OK) return ceFileRead;
  }

  // A new file under its own name where allowed and nothing is there yet; else (something is
  // there: an older copy, a link) a temporary name beside it.
  const QByteArray targetNative = Native(target);
  const mode_t mode = SafeMode(in.fd, st);
  QByteArray tempNative;
  TFd out(-1);
  if (check.newInPlace) {
    out.fd = ::open(targetNative.constData(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (out.fd < 0 && errno != EEXIST) return OpenError(errno, ceFileCreate);
  }
  if (out.fd < 0) {
    struct stat tst {};
    if (::lstat(targetNative.constData(), &tst) == 0 && S_ISDIR(tst.st_mode)) return ceFileCreate;
    QString tempPath;
    out.fd = CreateTempBeside(target, mode, tempPath);
    if (out.fd < 0) return OpenError(errno, ceFileCreate);
    tempNative = Native(tempPath);
  }
  const QByteArray& writtenName = tempNative.isEmpty() ? targetNative : tempNative;
  auto fail = [&](int error) {
    ::close(out.fd);
    out.fd = -1;
    ::unlink(writtenName.constData());
    return error;
  };

  const qint64 total = st.st_size;
  qint64 done = 0;
  auto stopped = [&] {
    if (stop && stop->load()) return true;
    return progress && !progress(source, done, total);
  };
  // A small file is told once, when it is done: thousands of them must not cost a progress
  // update each at both ends.
  const bool large = total > static_cast<qint64>(kSmallFile);
  if (large ? stopped() : stop && stop->load()) return fail(ceAborted);
  if (large) ::posix_fadvise(in.fd, 0, 0, POSIX_FADV_SEQUENTIAL);

  const THashes hashes{xxh3.get(), md.get()};
  bool buffered = total < kRangeCopyFile;
  if (!buffered) {
    // A large file is copied by the kernel (no trip through this process), and hashed behind
    // it on a second thread: the checksum costs no time of its own.
    THashBehind behind(out.fd, hashes);
    size_t chunk = kCopyChunk;
    for (;;) {
      const auto started = std::chrono::steady_clock::now();
      const ssize_t n = ::copy_file_range(in.fd, nullptr, out.fd, nullptr, chunk, 0);
      const auto took = std::chrono::steady_clock::now() - started;
      if (took < kRangeCallQuick) chunk = std::min(chunk * 2, kRangeChunkMax);
      else if (took > kRangeCallSlow) chunk = std::max(chunk / 2, kCopyChunk);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 || (n == 0 && done == 0)) {
        // Not between these two file systems (or a source that claims to be empty): the
        // plain way, from the start.
        const bool unsupported = done == 0 && (n == 0 || errno == EXDEV || errno == ENOSYS || errno == EINVAL ||
                                               errno == EOPNOTSUPP || errno == EBADF || errno == ETXTBSY);
        const int err = errno;
        behind.Finish(true);
        if (!unsupported) return fail(IsDiskFull(err) ? ceDiskFull : err == EIO ? ceFileRead : ceFileWrite);
        buffered = true;
        break;
      }
      if (n == 0) break;
      done += n;
      // The source grew while it was copied.
      if (check.size >= 0 && done > check.size) {
        behind.Finish(true);
        return fail(ceChkChecksum);
      }
      behind.Copied(done);
      if (done < total && stopped()) {
        behind.Finish(true);
        return fail(ceAborted);
      }
    }
    if (!buffered && !behind.Finish()) return fail(ceFileRead);
    if (!buffered && head) {
      head->resize(static_cast<qsizetype>(std::min<qint64>(kCopyHeadBytes, done)));
      if (::pread(out.fd, head->data(), static_cast<size_t>(head->size()), 0) != head->size()) return fail(ceFileRead);
    }
  }
  if (buffered) {
    char* buffer = CopyBuffer();
    for (;;) {
      const ssize_t n = ::read(in.fd, buffer, kCopyChunk);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return fail(ceFileRead);
      if (n == 0) break;
      // The source grew while it was read.
      if (check.size >= 0 && done + n > check.size) return fail(ceChkChecksum);
      if (head && head->size() < kCopyHeadBytes)
        head->append(buffer, static_cast<qsizetype>(std::min<ssize_t>(n, kCopyHeadBytes - head->size())));
      if (!hashes.Update(buffer, static_cast<size_t>(n))) return fail(ceFileRead);
      if (!WriteAll(out.fd, buffer, static_cast<size_t>(n))) return fail(IsDiskFull(errno) ? ceDiskFull : ceFileWrite);
      done += n;
      // All the index lists is in: its checksum decides, without a read that finds the end.
      if (check.size >= 0 && done == check.size) break;
      // A file that fits one chunk has been read whole: no progress between its first and last byte.
      if (done < total && stopped()) return fail(ceAborted);
    }
  }
  // The source may have shrunk while it was read.
  if (check.size >= 0 && done != check.size) return fail(ceChkChecksum);
  if (xxh3 && check.xxh3.compare(cvlib::Xxh3Text(XXH3_64bits_digest(xxh3.get())), Qt::CaseInsensitive) != 0)
    return fail(ceChkChecksum);
  if (md && HexDigest(md.get()).compare(check.sha256, Qt::CaseInsensitive) != 0) return fail(ceChkChecksum);
  if (total > 0 && done == total && progress && !progress(source, done, total)) return fail(ceAborted);

  struct timespec times[2] = {{0, UTIME_OMIT}, st.st_mtim};
  if (check.fileTime > 0) times[1] = {check.fileTime, 0};
  ::futimens(out.fd, times);
  if (::close(out.fd) != 0) {
    const int err = errno;
    out.fd = -1;
    ::unlink(writtenName.constData());
    return IsDiskFull(err) ? ceDiskFull : ceFileWrite;
  }
  out.fd = -1;
  if (!tempNative.isEmpty() && ::rename(tempNative.constData(), targetNative.constData()) != 0) {
    const int err = errno;
    ::unlink(tempNative.constData());
    return OpenError(err, ceFileCreate);
  }
  return ceOK;
}

int HashFile(const QString& path, QString& sha, std::int64_t& size) {
  sha.clear();
  size = 0;
  TFd in(::open(Native(path).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (in.fd < 0) return OpenError(errno, ceFileRead);
  struct stat st {};
  if (::fstat(in.fd, &st) != 0 || !S_ISREG(st.st_mode)) return ceFileRead;
  ::posix_fadvise(in.fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  TMd md = NewSha256();
  if (!md) return ceFileRead;
  std::unique_ptr<char[]> buffer(new char[kCopyChunk]);
  for (;;) {
    const ssize_t n = ::read(in.fd, buffer.get(), kCopyChunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      return ceFileRead;
    }
    if (n == 0) break;
    EVP_DigestUpdate(md.get(), buffer.get(), static_cast<size_t>(n));
    size += n;
  }
  sha = HexDigest(md.get());
  return ceOK;
}

bool IsFileCurrent(const QString& path, std::int64_t size, std::int32_t time, const QString& sha, bool byContent) {
  struct stat st {};
  if (::lstat(Native(path).constData(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  if (byContent) {
    if (st.st_size != size || sha.isEmpty()) return false;
  } else {
    // A medium keeping times in 2-second steps (vfat) gives a file up to a step less than
    // listed: within the step, only the content can tell.
    const bool withinStep = st.st_mtim.tv_sec < time && time - st.st_mtim.tv_sec < kTimeStep;
    if (st.st_size != size || (st.st_mtim.tv_sec < time && !withinStep)) return false;
    if (st.st_mtim.tv_sec == time && st.st_mtim.tv_nsec == 0) return true;
    if (sha.isEmpty()) return !withinStep;
  }
  QString actual;
  std::int64_t actualSize = 0;
  return HashFile(path, actual, actualSize) == ceOK && actualSize == size &&
         actual.compare(sha, Qt::CaseInsensitive) == 0;
}

int PrivateSetupsFolder(QString& folder) {
  QString cache = qEnvironmentVariable("XDG_CACHE_HOME");
  if (cache.isEmpty() || !QDir::isAbsolutePath(cache)) cache = QDir::homePath() + QStringLiteral("/.cache");
  const QString base = cache + QStringLiteral("/Corvane/Deployer");
  if (const int error = DirCreate(base)) return error;
  folder = base + QStringLiteral("/Setups/");
  const QByteArray native = Native(base + QStringLiteral("/Setups"));
  if (::mkdir(native.constData(), 0700) != 0 && errno != EEXIST) return OpenError(errno, ceDirCreate);
  struct stat st {};
  if (::lstat(native.constData(), &st) != 0) return ceFileAccess;
  if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) return ceFileAccess;
  if ((st.st_mode & 0077) != 0 && ::chmod(native.constData(), 0700) != 0) return ceFileAccess;
  return ceOK;
}

int WriteWholeFile(const QString& path, const QByteArray& data, unsigned mode) {
  QString tempPath;
  TFd out(CreateTempBeside(path, mode, tempPath));
  if (out.fd < 0) return OpenError(errno, ceFileCreate);
  const QByteArray tempNative = Native(tempPath);
  const bool written = WriteAll(out.fd, data.constData(), static_cast<size_t>(data.size()));
  const int err = errno;
  ::fchmod(out.fd, mode);
  const bool closed = ::close(out.fd) == 0;
  out.fd = -1;
  if (!written || !closed) {
    ::unlink(tempNative.constData());
    return IsDiskFull(err) ? ceDiskFull : ceFileWrite;
  }
  if (::rename(tempNative.constData(), Native(path).constData()) != 0) {
    const int e = errno;
    ::unlink(tempNative.constData());
    return OpenError(e, ceFileCreate);
  }
  return ceOK;
}

namespace {

QString RandomHex() {
  return QStringLiteral("%1%2")
      .arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'))
      .arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'));
}

// A hidden name beside target that no product or module folder can have (those never end in
// '.'); a file system that drops the trailing dot keeps the random part.
QString AsideName(const QString& parent, const char* kind) {
  return parent + QStringLiteral("/.cv%1-%2.").arg(QLatin1String(kind), RandomHex());
}

}  // namespace

int MakeStagingFolder(const QString& parent, QString& staging) {
  const QString base = QDir::cleanPath(parent);
  struct stat st {};
  if (::lstat(Native(base).constData(), &st) != 0) return OpenError(errno, ceDirCreate);
  if (!S_ISDIR(st.st_mode)) return ceChkLinkedFolder;
  for (int attempt = 0; attempt < 100; ++attempt) {
    staging = AsideName(base, "stage") + QLatin1Char('/');
    if (::mkdir(Native(staging).constData(), 0755) == 0) return ceOK;
    if (errno != EEXIST) return OpenError(errno, ceDirCreate);
  }
  return ceDirCreate;
}

std::function<void(const QString&)>& StagingSyncedHook() {
  static std::function<void(const QString&)> hook;
  return hook;
}

int PutFolderInPlace(const QString& staging, const QString& target) {
  const QByteArray from = Native(QDir::cleanPath(staging));
  const QString cleanTarget = QDir::cleanPath(target);
  const QByteArray to = Native(cleanTarget);
  const QString parent = QFileInfo(cleanTarget).path();
  auto fail = [&](int error) {
    RemoveTree(staging);
    return error;
  };
  {
    // Every file whole on the disk before it counts as installed.
    TFd fd(::open(from.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (fd.fd < 0 || ::syncfs(fd.fd) != 0) return fail(ceFileWrite);
  }
  if (StagingSyncedHook()) StagingSyncedHook()(staging);
  struct stat st {};
  const bool present = ::lstat(to.constData(), &st) == 0;
  QString aside;
  if (present) {
    // Swapped in one step where the file system can; else the old one goes aside first and
    // comes back when the new one cannot take its name.
    if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_EXCHANGE) == 0) {
      aside = QDir::cleanPath(staging);
    } else {
      aside = AsideName(parent, "old");
      if (::rename(to.constData(), Native(aside).constData()) != 0) return fail(OpenError(errno, ceFileCreate));
      if (::rename(from.constData(), to.constData()) != 0) {
        const int err = errno;
        ::rename(Native(aside).constData(), to.constData());
        return fail(OpenError(err, ceFileCreate));
      }
    }
  } else if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) != 0 &&
             (errno != EINVAL || ::rename(from.constData(), to.constData()) != 0)) {
    return fail(OpenError(errno, ceFileCreate));
  }
  if (!aside.isEmpty()) RemoveTree(aside);
  TFd dir(::open(Native(parent).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.fd >= 0) ::fsync(dir.fd);
  return ceOK;
}

int RenameBelow(const QString& base, const QString& relative, const QString& from, const QString& to,
                std::int64_t time) {
  int fd = ::open(Native(base).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return OpenError(errno, ceFileAccess);
  for (const QString& part : relative.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
    const int next = ::openat(fd, Native(part).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    const int err = errno;
    ::close(fd);
    if (next < 0) return err == ELOOP || err == ENOTDIR ? ceChkLinkedFolder : OpenError(err, ceFileAccess);
    fd = next;
  }
  TFd folder(fd);
  const QByteArray name = Native(from);
  if (to.isEmpty()) return ::unlinkat(fd, name.constData(), 0) == 0 ? ceOK : OpenError(errno, ceFileCreate);
  const QByteArray target = Native(to);
  if (::renameat(fd, name.constData(), fd, target.constData()) != 0) return OpenError(errno, ceFileCreate);
  if (time >= 0) {
    const struct timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(time), 0}};
    ::utimensat(fd, target.constData(), times, AT_SYMLINK_NOFOLLOW);
  }
  return ceOK;
}

int SyncFileSystem(const QString& folder) {
  TFd fd(::open(Native(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return fd.fd >= 0 && ::syncfs(fd.fd) == 0 ? ceOK : ceFileWrite;
}

std::int64_t FreeBytes(const QString& folder) {
  struct statvfs st {};
  if (::statvfs(Native(folder).constData(), &st) != 0) return -1;
  return static_cast<std::int64_t>(st.f_bavail) * static_cast<std::int64_t>(st.f_frsize);
}

void RemoveTree(const QString& folder) {
  const QByteArray native = Native(QDir::cleanPath(folder));
  struct stat st {};
  if (::lstat(native.constData(), &st) != 0) return;
  if (!S_ISDIR(st.st_mode)) {
    ::unlink(native.constData());
    return;
  }
  // FTW_PHYS: a link is an entry to remove, never a way into another folder.
  ::nftw(
      native.constData(),
      [](const char* path, const struct stat*, int type, struct FTW*) {
        if (type == FTW_DP) ::rmdir(path);
        else ::unlink(path);
        return 0;
      },
      16, FTW_PHYS | FTW_DEPTH | FTW_MOUNT);
}

void TouchTree(const QString& folder) {
  QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::NoSymLinks | QDir::System, QDirIterator::Subdirectories);
  while (it.hasNext()) {
    const QByteArray path = Native(it.next());
    ::utimensat(AT_FDCWD, path.constData(), nullptr, AT_SYMLINK_NOFOLLOW);
  }
}

}  // namespace cvruns
