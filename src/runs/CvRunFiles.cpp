#include "CvRunFiles.h"

#include "CvLibCrypto.h"
#include "CvLibFileIo.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QStandardPaths>

#include <xxhash.h>

#include <algorithm>
#include <cerrno>
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

struct TMdFree {
  void operator()(EVP_MD_CTX* c) const { cvcrypto::EVP_MD_CTX_free(c); }
};
using TMd = std::unique_ptr<EVP_MD_CTX, TMdFree>;

TMd NewSha256() {
  TMd md(cvcrypto::EVP_MD_CTX_new());
  if (md && cvcrypto::EVP_DigestInit_ex(md.get(), cvcrypto::EVP_sha256(), nullptr) != 1) md.reset();
  return md;
}

QString HexDigest(EVP_MD_CTX* md) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  cvcrypto::EVP_DigestFinal_ex(md, digest, &length);
  return QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(digest), static_cast<int>(length)).toHex());
}

// Hashing and copying go in chunks of 1 MiB at first: few system calls, and a buffer stays in
// the processor's cache between the read, the checksum and the write.
constexpr size_t kCopyChunk = size_t{1} << 20;
constexpr qint64 kSmallFile = 256 << 10;
constexpr qint64 kRangeCopyFile = qint64{16} << 20;
// What the kernel copies in one call grows up to this while calls are quick (each costs a trip
// in and the hash thread a wake-up): between two calls the event loop is pumped and an abort
// is seen, on a slow medium too.
constexpr size_t kRangeChunkMax = size_t{16} << 20;

// Feeds the checksums.
struct THashes {
  XXH3_state_t* xxh3 = nullptr;
  EVP_MD_CTX* md = nullptr;
  bool Update(const char* data, size_t size) const {
    if (xxh3 && XXH3_64bits_update(xxh3, data, size) != XXH_OK) return false;
    return !md || cvcrypto::EVP_DigestUpdate(md, data, size) == 1;
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

namespace {

// CopyChecked's watch on the bytes: checksums (inline on what goes through the buffer, on a
// thread of its own behind the kernel's copy), the head, progress and a stop.
class TCheckObserver final : public TCopyObserver {
 public:
  TCheckObserver(const QString& source, const TCopyCheck& check, THashes hashes, const TFileCopyProgress& progress,
                 const std::atomic<bool>* stop, QByteArray* head)
      : source_(source), check_(check), hashes_(hashes), progress_(progress), stop_(stop), head_(head) {}

  int Started(int, qint64 total) override {
    total_ = total;
    // A small file is told once, when it is done: thousands of them must not cost a progress
    // update each at both ends.
    const bool large = total > kSmallFile;
    return (large ? Stopped(0) : stop_ && stop_->load()) ? ceAborted : ceOK;
  }
  int Copied(int out, const char* data, qint64 size, qint64 done) override {
    done_ = done;
    if (data) {
      if (head_ && head_->size() < kCopyHeadBytes)
        head_->append(data, static_cast<qsizetype>(std::min<qint64>(size, kCopyHeadBytes - head_->size())));
      if (!hashes_.Update(data, static_cast<size_t>(size))) return ceFileRead;
    } else {
      byKernel_ = true;
      if (!behind_ && (hashes_.xxh3 || hashes_.md)) behind_ = std::make_unique<THashBehind>(out, hashes_);
      if (behind_) behind_->Copied(done);
    }
    // A file that fits one chunk has been read whole: no progress between its first and last byte.
    return done < total_ && Stopped(done) ? ceAborted : ceOK;
  }
  int Finished(int out, int error) override {
    if (error) {
      if (behind_) behind_->Finish(true);
      return error;
    }
    if (behind_ && !behind_->Finish()) return ceFileRead;
    if (byKernel_ && head_) {
      head_->resize(static_cast<qsizetype>(std::min<qint64>(kCopyHeadBytes, done_)));
      if (::pread(out, head_->data(), static_cast<size_t>(head_->size()), 0) != head_->size()) return ceFileRead;
    }
    if (hashes_.xxh3 && check_.xxh3.compare(cvlib::Xxh3Text(XXH3_64bits_digest(hashes_.xxh3)), Qt::CaseInsensitive) != 0)
      return ceChkChecksum;
    if (hashes_.md && HexDigest(hashes_.md).compare(check_.sha256, Qt::CaseInsensitive) != 0) return ceChkChecksum;
    if (total_ > 0 && done_ == total_ && progress_ && !progress_(source_, done_, total_)) return ceAborted;
    return ceOK;
  }

 private:
  bool Stopped(qint64 done) const {
    if (stop_ && stop_->load()) return true;
    return progress_ && !progress_(source_, done, total_);
  }

  const QString& source_;
  const TCopyCheck& check_;
  const THashes hashes_;
  const TFileCopyProgress& progress_;
  const std::atomic<bool>* const stop_;
  QByteArray* const head_;
  std::unique_ptr<THashBehind> behind_;
  bool byKernel_ = false;  // the bytes went by the kernel, not through Copied's buffer
  qint64 total_ = 0;
  qint64 done_ = 0;
};

}  // namespace

int CopyChecked(const QString& source, const QString& target, const TCopyCheck& check,
                const TFileCopyProgress& progress, const std::atomic<bool>* stop, QByteArray* head) {
  if (head) head->clear();
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
  TCheckObserver observer(source, check, THashes{xxh3.get(), md.get()}, progress, stop, head);
  TCopyOptions options;
  // A FIFO in the backup is refused, never waited on; a link is never read through.
  options.sourceFlags = O_NOFOLLOW | O_NONBLOCK;
  options.mode = SafeMode;
  options.size = check.size;
  options.fileTime = check.fileTime;
  options.newInPlace = check.newInPlace;
  // A link under the target's name is replaced, never written through.
  options.followTargetLink = false;
  options.tempName = TTempName::Anonymous;
  // A large file is copied by the kernel (no trip through this process) and hashed behind it
  // on a second thread: the checksum costs no time of its own. Without a checksum every file
  // goes by the kernel (an installer copy's libraries, above all).
  options.kernelFrom = xxh3 || md ? kRangeCopyFile : 0;
  options.kernelChunkMin = kCopyChunk;
  options.kernelChunkMax = kRangeChunkMax;
  options.observer = &observer;
  return CopyFile(source, target, options);
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
    cvcrypto::EVP_DigestUpdate(md.get(), buffer.get(), static_cast<size_t>(n));
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

int PrivateSetupsFolder(QString& folder) { return PrivateCacheFolder(QStringLiteral("Setups"), folder); }

int PrivateCacheFolder(const QString& name, QString& folder) {
  QString cache = qEnvironmentVariable("XDG_CACHE_HOME");
  if (cache.isEmpty() || !QDir::isAbsolutePath(cache)) cache = QDir::homePath() + QStringLiteral("/.cache");
  const QString base = cache + QStringLiteral("/Corvane/Deployer");
  if (const int error = DirCreate(base)) return error;
  folder = base + u'/' + name + u'/';
  const QByteArray native = Native(base + u'/' + name);
  if (::mkdir(native.constData(), 0700) != 0 && errno != EEXIST) return OpenError(errno, ceDirCreate);
  struct stat st {};
  if (::lstat(native.constData(), &st) != 0) return ceFileAccess;
  if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) return ceFileAccess;
  if ((st.st_mode & 0077) != 0 && ::chmod(native.constData(), 0700) != 0) return ceFileAccess;
  return ceOK;
}

int WriteWholeFile(const QString& path, const QByteArray& data, unsigned mode) {
  QString tempPath;
  TFd out(CreateTempBeside(path, mode, tempPath, TTempName::Anonymous));
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
