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
#include <condition_variable>
#include <mutex>
#include <thread>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
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
// any name a list could be made to carry.
int CreateTempBeside(const QString& target, mode_t mode, QString& tempPath) {
  const QFileInfo info(target);
  const QString folder = info.absolutePath();
  for (int attempt = 0; attempt < 100; ++attempt) {
    tempPath = folder + QStringLiteral("/.cvrun-%1%2")
                           .arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'))
                           .arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'));
    const int fd = ::open(Native(tempPath).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
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

constexpr size_t kChunk = 1 << 20;

// Copies go in chunks of 1 MiB: few system calls, and the buffer stays in the processor's cache
// between the read, the checksum and the write.
constexpr size_t kCopyChunk = size_t{1} << 20;
constexpr size_t kSmallFile = 256 << 10;
constexpr qint64 kThreadedFile = qint64{16} << 20;

// One buffer per thread for all its copies: allocating one for each of thousands of small
// files would cost more than copying them.
char* CopyBuffer() {
  thread_local std::unique_ptr<char[]> buffer(new char[kCopyChunk]);
  return buffer.get();
}

// Reads a file chunk by chunk into the hashes, on this thread or (threaded) one chunk ahead on
// a thread of its own, into a small ring of buffers that the caller writes from.
class TChunkReader {
 public:
  TChunkReader(int fd, qint64 expectedSize, XXH3_state_t* xxh3, EVP_MD_CTX* md, bool threaded)
      : fd_(fd), expected_(expectedSize), xxh3_(xxh3), md_(md) {
    if (!threaded) return;
    for (auto& b : ring_) b.data.reset(new char[kCopyChunk]);
    thread_ = std::thread([this] { ReadAhead(); });
  }
  ~TChunkReader() { Finish(); }
  TChunkReader(const TChunkReader&) = delete;
  TChunkReader& operator=(const TChunkReader&) = delete;

  // The next chunk: its size, 0 at the end, or minus an error code.
  ssize_t Next(const char*& data) {
    if (!thread_.joinable()) {
      char* buffer = CopyBuffer();
      const ssize_t n = ReadChunk(buffer);
      data = buffer;
      return n;
    }
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return filled_ > taken_; });
    const Slot& slot = ring_[taken_ % kRing];
    data = slot.data.get();
    return slot.size;
  }
  // The chunk Next gave is written: its buffer may be filled again.
  void Release() {
    if (!thread_.joinable()) return;
    std::lock_guard lock(mutex_);
    ++taken_;
    changed_.notify_all();
  }
  // Stops the reading thread (at once, when the copy ends early).
  void Finish() {
    if (!thread_.joinable()) return;
    {
      std::lock_guard lock(mutex_);
      quit_ = true;
      changed_.notify_all();
    }
    thread_.join();
  }

 private:
  static constexpr int kRing = 4;
  struct Slot {
    std::unique_ptr<char[]> data;
    ssize_t size = 0;
  };

  ssize_t ReadChunk(char* buffer) {
    for (;;) {
      const ssize_t n = ::read(fd_, buffer, kCopyChunk);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return -ceFileRead;
      // The source grew while it was read.
      if (expected_ >= 0 && read_ + n > expected_) return -ceChkChecksum;
      read_ += n;
      if (n > 0 && xxh3_ && XXH3_64bits_update(xxh3_, buffer, static_cast<size_t>(n)) != XXH_OK) return -ceFileRead;
      if (n > 0 && md_ && EVP_DigestUpdate(md_, buffer, static_cast<size_t>(n)) != 1) return -ceFileRead;
      return n;
    }
  }

  void ReadAhead() {
    for (long long next = 0;; ++next) {
      {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return quit_ || next - taken_ < kRing; });
        if (quit_) return;
      }
      Slot& slot = ring_[next % kRing];
      const ssize_t n = ReadChunk(slot.data.get());
      std::lock_guard lock(mutex_);
      slot.size = n;
      filled_ = next + 1;
      changed_.notify_all();
      if (n <= 0) return;  // the end or an error: the writer sees it as the last chunk
    }
  }

  const int fd_;
  const qint64 expected_;
  XXH3_state_t* const xxh3_;
  EVP_MD_CTX* const md_;
  qint64 read_ = 0;  // the reading thread's
  Slot ring_[kRing];
  std::mutex mutex_;
  std::condition_variable changed_;
  long long filled_ = 0;  // chunks read
  long long taken_ = 0;   // chunks written
  bool quit_ = false;
  std::thread thread_;
};

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
  const mode_t mode = st.st_mode & 0777;
  QByteArray tempNative;
  TFd out(-1);
  if (check.newInPlace) {
    out.fd = ::open(targetNative.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
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

  // A large file is read and hashed on a second thread while this one writes what it read:
  // the checksum costs no time of its own. The bytes hashed are the bytes written.
  TChunkReader reader(in.fd, check.size, xxh3.get(), md.get(), total >= kThreadedFile);
  for (;;) {
    const char* data = nullptr;
    const ssize_t n = reader.Next(data);
    if (n < 0) return fail(static_cast<int>(-n));
    if (n == 0) break;
    if (head && head->size() < kCopyHeadBytes)
      head->append(data, static_cast<qsizetype>(std::min<ssize_t>(n, kCopyHeadBytes - head->size())));
    if (!WriteAll(out.fd, data, static_cast<size_t>(n))) return fail(IsDiskFull(errno) ? ceDiskFull : ceFileWrite);
    reader.Release();
    done += n;
    // A file that fits one chunk has been read whole: no progress between its first and last byte.
    if (done < total && stopped()) return fail(ceAborted);
  }
  reader.Finish();
  // The source may have shrunk while it was read.
  if (check.size >= 0 && done != check.size) return fail(ceChkChecksum);
  if (xxh3) {
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(XXH3_64bits_digest(xxh3.get())));
    if (check.xxh3.compare(QLatin1String(hex, 16), Qt::CaseInsensitive) != 0) return fail(ceChkChecksum);
  }
  if (md && HexDigest(md.get()).compare(check.sha256, Qt::CaseInsensitive) != 0) return fail(ceChkChecksum);
  if (total > 0 && done == total && progress && !progress(source, done, total)) return fail(ceAborted);

  struct timespec times[2] = {{0, UTIME_OMIT}, st.st_mtim};
  if (check.fileTime > 0) times[1] = {check.fileTime, 0};
  ::futimens(out.fd, times);
  // The mode given at creation went through the umask.
  ::fchmod(out.fd, mode);
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
  std::unique_ptr<char[]> buffer(new char[kChunk]);
  for (;;) {
    const ssize_t n = ::read(in.fd, buffer.get(), kChunk);
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

bool IsFileCurrent(const QString& path, std::int64_t size, std::int32_t time, const QString& sha) {
  struct stat st {};
  if (::lstat(Native(path).constData(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  if (st.st_size != size || st.st_mtim.tv_sec < time) return false;
  if (st.st_mtim.tv_sec == time && st.st_mtim.tv_nsec == 0) return true;
  if (sha.isEmpty()) return true;
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

void TouchTree(const QString& folder) {
  QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::NoSymLinks | QDir::System, QDirIterator::Subdirectories);
  while (it.hasNext()) {
    const QByteArray path = Native(it.next());
    ::utimensat(AT_FDCWD, path.constData(), nullptr, AT_SYMLINK_NOFOLLOW);
  }
}

}  // namespace cvruns
