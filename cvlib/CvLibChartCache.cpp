#include "CvLibChartCache.h"

#include "CvLibErrors.h"
#include "CvLibFiles.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <unordered_map>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cvlib {
namespace {

constexpr char kChartMagic[4] = {'Q', 'M', 'R', '2'};
constexpr std::uint32_t kChartFormatVersion = 1;
constexpr int kChartHeaderSize = 16;

// Cache file: "CVCI", uint32 cache format version, uint32 program version, uint32 entry
// count, the entries, then a 64-bit FNV-1a sum of everything before it. Little-endian.
constexpr char kCacheMagic[4] = {'C', 'V', 'C', 'I'};
constexpr std::uint32_t kCacheFormatVersion = 1;
constexpr int kCacheHeaderSize = 16;
// Per entry besides the path bytes: path length, size, modification time, chart format
// version, product number, module number.
constexpr int kEntryFixedSize = 4 + 8 + 8 + 4 + 4 + 4;
constexpr qint64 kMaxCacheFileSize = qint64{1} << 30;

std::uint64_t Fnv1a64(const char* data, qsizetype size) {
  std::uint64_t h = 0xcbf29ce484222325ull;
  for (qsizetype i = 0; i < size; ++i) {
    h ^= static_cast<unsigned char>(data[i]);
    h *= 0x100000001b3ull;
  }
  return h;
}

template <typename T>
void Put(QByteArray& out, T value) {
  using U = std::make_unsigned_t<T>;
  auto u = static_cast<U>(value);
  char bytes[sizeof(T)];
  for (size_t i = 0; i < sizeof(T); ++i) bytes[i] = static_cast<char>((u >> (8 * i)) & 0xFF);
  out.append(bytes, sizeof(T));
}

template <typename T>
char* PutAt(char* out, T value) {
  using U = std::make_unsigned_t<T>;
  auto u = static_cast<U>(value);
  for (size_t i = 0; i < sizeof(T); ++i) out[i] = static_cast<char>((u >> (8 * i)) & 0xFF);
  return out + sizeof(T);
}

// Writes s as UTF-8 (at most 3 bytes for each UTF-16 unit); returns the end.
char* PutUtf8(char* out, const QString& s) {
  const char16_t* units = reinterpret_cast<const char16_t*>(s.utf16());
  const qsizetype n = s.size();
  for (qsizetype i = 0; i < n; ++i) {
    if (units[i] >= 0x80) {
      // Not plain ASCII: Qt's own conversion, as everywhere else.
      const QByteArray utf8 = s.toUtf8();
      std::memcpy(out, utf8.constData(), static_cast<std::size_t>(utf8.size()));
      return out + utf8.size();
    }
    out[i] = static_cast<char>(units[i]);
  }
  return out + n;
}

template <typename T>
T Get(const char* p) {
  using U = std::make_unsigned_t<T>;
  U u = 0;
  for (size_t i = 0; i < sizeof(T); ++i) u |= static_cast<U>(static_cast<unsigned char>(p[i])) << (8 * i);
  return static_cast<T>(u);
}

qint64 MTimeNs(const struct stat& st) {
  return static_cast<qint64>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

int StatError(int err) {
  return err == ENOENT || err == ENOTDIR || err == ENAMETOOLONG ? ceChartNotFound : ceChartRead;
}

// Reads the header of a chart file (name, relative to the open folder dirFd or AT_FDCWD); size
// and time come from the opened file itself, so they describe the bytes that were read.
int ReadChartHeaderAt(int dirFd, const char* name, TQMR2ChartHeader& header, qint64& size, qint64& mtimeNs) {
  // O_NONBLOCK: a FIFO put in a chart's place must not hang the start-up. O_NOCTTY: a terminal
  // there must not become ours.
  const int fd = ::openat(dirFd, name, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return StatError(errno);
  struct stat st {};
  int error = ceOK;
  char bytes[kChartHeaderSize];
  ssize_t got = 0;
  if (::fstat(fd, &st) != 0) {
    error = ceChartRead;
  } else if (!S_ISREG(st.st_mode)) {
    error = ceChartRead;
  } else {
    while (got < kChartHeaderSize) {
      const ssize_t n = ::pread(fd, bytes + got, kChartHeaderSize - got, got);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        error = ceChartRead;
        break;
      }
      if (n == 0) break;
      got += n;
    }
  }
  ::close(fd);
  if (error) return error;
  if (const int parsed = ParseChartHeader(QByteArray::fromRawData(bytes, static_cast<qsizetype>(got)), header))
    return parsed;
  size = st.st_size;
  mtimeNs = MTimeNs(st);
  return ceOK;
}

}  // namespace

int ParseChartHeader(const QByteArray& bytes, TQMR2ChartHeader& header) {
  const qsizetype got = bytes.size();
  if (got < kChartHeaderSize) {
    // A file shorter than the magic that still starts like one is short; anything else is
    // not a chart at all.
    return got >= 4 && std::memcmp(bytes.constData(), kChartMagic, 4) != 0 ? ceChartBadMagic : ceChartShort;
  }
  if (std::memcmp(bytes.constData(), kChartMagic, 4) != 0) return ceChartBadMagic;
  const auto version = Get<std::uint32_t>(bytes.constData() + 4);
  if (version != kChartFormatVersion) return ceChartVersion;
  header = TQMR2ChartHeader(version, Get<std::int32_t>(bytes.constData() + 8), Get<std::int32_t>(bytes.constData() + 12));
  return ceOK;
}

namespace {
// The folder of the files a thread is looking at, held open (O_PATH: looking up names needs no
// read right on it) while the next files lie in the same folder, so that each file costs one
// name lookup instead of a walk down its whole path. Anything unusual about a path (no folder
// part, no name, too long for the system) or a folder that cannot be opened sends the lookup
// down the whole path, exactly as a single call does it: the answers never differ.
class TFolderCursor {
 public:
  TFolderCursor() = default;
  TFolderCursor(const TFolderCursor&) = delete;
  TFolderCursor& operator=(const TFolderCursor&) = delete;
  ~TFolderCursor() { Close(); }

  // The folder to look name up in: an open folder with name pointing into path after its last
  // '/', or AT_FDCWD with name the whole path.
  int At(std::string_view path, const char*& name) {
    name = path.data();
    const std::size_t slash = path.rfind('/');
    if (slash == std::string_view::npos || slash + 1 == path.size() || path.size() >= PATH_MAX) return AT_FDCWD;
    const std::string_view folder = path.substr(0, slash + 1);
    if (!open_ || folder != folder_) {
      Close();
      folder_.assign(folder);
      fd_ = ::open(folder_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
      open_ = true;
    }
    if (fd_ < 0) return AT_FDCWD;
    name = path.data() + slash + 1;
    return fd_;
  }

 private:
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    open_ = false;
  }

  std::string folder_;
  int fd_ = -1;
  bool open_ = false;  // folder_ was tried: fd_ is its descriptor or -1
};

// A path as the system gets it (QFile::encodeName), kept in a buffer that serves path after path:
// a plain ASCII path, the usual kind, costs no allocation.
class TEncodedPath {
 public:
  // The bytes, NUL-terminated.
  std::string_view Encode(const QString& path) {
    const char16_t* units = reinterpret_cast<const char16_t*>(path.utf16());
    const auto n = static_cast<std::size_t>(path.size());
    ascii_.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
      if (units[i] >= 0x80) {
        other_ = QFile::encodeName(path);
        return {other_.constData(), static_cast<std::size_t>(other_.size())};
      }
      ascii_[i] = static_cast<char>(units[i]);
    }
    return ascii_;
  }

 private:
  std::string ascii_;
  QByteArray other_;
};

struct Entry {
  TQMR2ChartInfo info;
  bool used = false;    // handed out by this cache object and still valid
  bool onDisk = false;  // the cache file holds exactly this entry
  bool put = false;     // from PutChartInfo: the next look takes it without a look at the file
};

// What was found on disk for one path, before the cache takes it in.
struct TLook {
  enum Kind : std::uint8_t { kHit, kRead, kFailed };
  Entry* entry = nullptr;  // the cache's entry for the path when it was looked at
  Kind kind = kFailed;
  int error = ceOK;        // kFailed: why
  TQMR2ChartHeader header;  // kRead
  qint64 size = 0;         // kHit, kRead: the file's size and time
  qint64 mtimeNs = 0;
};

// Paths looked at by one thread at a time: neighbours share a folder, and a batch this small
// is not worth a second thread.
constexpr std::size_t kLookChunk = 64;
constexpr std::size_t kThreadsFrom = 256;
// Threads that look at files side by side, the calling one included. The work is system calls
// on cached folders and one small read per file: a few threads cover the cores a desktop has
// and the waits on a disk that has not cached them yet.
constexpr unsigned kLookThreads = 4;

}  // namespace

class TQMR2ChartCacheImpl final : public TQMR2ChartCache {
 public:
  TQMR2ChartCacheImpl(const QString& cacheFile, std::uint32_t programVersion)
      : cacheFile_(cacheFile), programVersion_(programVersion) {
    Load();
  }

  TQMR2ChartInfo* GetChartInfo(const QString& fullPath, int& error) override {
    TLook look;
    TEncodedPath encoder;
    Look(fullPath, nullptr, encoder, look);
    return Take(fullPath, look, error);
  }

  void GetChartInfos(const std::vector<QString>& fullPaths, std::vector<TQMR2ChartInfo*>& infos,
                     std::vector<int>& errors) override {
    const std::size_t n = fullPaths.size();
    std::vector<TLook> looks(n);
    LookAll(fullPaths, looks);
    std::size_t added = 0;
    for (const TLook& look : looks) added += look.kind == TLook::kRead && !look.entry;
    entries_.reserve(entries_.size() + added);
    infos.assign(n, nullptr);
    errors.assign(n, ceOK);
    for (std::size_t i = 0; i < n; ++i) infos[i] = Take(fullPaths[i], looks[i], errors[i]);
  }

  void PutChartInfo(const QString& fullPath, const TQMR2ChartHeader& header, qint64 fileSize,
                    qint64 modifiedNs) override {
    if (fullPath.isEmpty()) return;
    const auto [it, added] = entries_.try_emplace(fullPath);
    Entry& entry = it->second;
    if (added) entry.info.fileName_ = fullPath;
    entry.info.header_ = header;
    entry.info.fileSize_ = fileSize;
    entry.info.modifiedNs_ = modifiedNs;
    entry.onDisk = false;
    entry.put = true;
  }

  int SaveCache() override {
    qsizetype used = 0;
    qsizetype room = kCacheHeaderSize + 8;
    bool allOnDisk = true;
    for (const auto& [path, entry] : entries_) {
      if (!entry.used) continue;
      ++used;
      room += kEntryFixedSize + 3 * path.size();
      allOnDisk = allOnDisk && entry.onDisk;
    }
    if (fileMatches_ && allOnDisk && used == diskEntries_) return ceOK;

    // Written straight into a buffer with room for the longest possible names, then cut to size.
    QByteArray out(room, Qt::Uninitialized);
    char* p = out.data();
    std::memcpy(p, kCacheMagic, 4);
    p = PutAt<std::uint32_t>(p + 4, kCacheFormatVersion);
    p = PutAt<std::uint32_t>(p, programVersion_);
    p = PutAt<std::uint32_t>(p, static_cast<std::uint32_t>(used));
    for (const auto& [path, entry] : entries_) {
      if (!entry.used) continue;
      char* const name = p + 4;
      char* const nameEnd = PutUtf8(name, path);
      PutAt<std::uint32_t>(p, static_cast<std::uint32_t>(nameEnd - name));
      const TQMR2ChartInfo& info = entry.info;
      p = PutAt<std::int64_t>(nameEnd, info.fileSize_);
      p = PutAt<std::int64_t>(p, info.modifiedNs_);
      p = PutAt<std::uint32_t>(p, info.header_.FormatVersion());
      p = PutAt<std::int32_t>(p, info.header_.ProductNumber());
      p = PutAt<std::int32_t>(p, info.header_.ModuleNumber());
    }
    const qsizetype size = p - out.constData();
    PutAt<std::uint64_t>(p, Fnv1a64(out.constData(), size));
    out.truncate(size + 8);

    const QFileInfo target(cacheFile_);
    if (cacheFile_.isEmpty() || !QDir().mkpath(target.absolutePath())) return ceChartCacheWrite;
    // A temporary file beside the target, renamed into place once it is whole: a reader never
    // sees half a cache, a failed save leaves the old file as it was, and whatever stands under
    // the name (a link, a pipe) is replaced, never written through.
    QTemporaryFile file(target.absoluteFilePath() + QStringLiteral(".XXXXXX"));
    file.setAutoRemove(true);
    if (!file.open()) return ceChartCacheWrite;
    file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther);
    if (file.write(out) != out.size() || !file.flush() || ::fsync(file.handle()) != 0) return ceChartCacheWrite;
    if (::rename(QFile::encodeName(file.fileName()).constData(), QFile::encodeName(cacheFile_).constData()) != 0)
      return ceChartCacheWrite;
    file.setAutoRemove(false);

    for (auto& [path, entry] : entries_) entry.onDisk = entry.used;
    diskEntries_ = used;
    fileMatches_ = true;
    return ceOK;
  }

  const QString& CacheFile() const override { return cacheFile_; }

 private:
  // The file no longer gives a header: its entry stays (its address may be held) but is
  // neither handed out nor saved.
  TQMR2ChartInfo* Forget(Entry* entry) {
    entry->used = false;
    entry->onDisk = false;
    entry->put = false;
    entry->info.fileSize_ = -1;
    entry->info.modifiedNs_ = -1;
    return nullptr;
  }

  // Looks at the file of fullPath as the cache stands; changes nothing, so that several threads
  // may look at once. folder: the calling thread's folder cursor, or nullptr for the whole path;
  // encoder: the calling thread's.
  void Look(const QString& fullPath, TFolderCursor* folder, TEncodedPath& encoder, TLook& look) {
    if (fullPath.isEmpty()) {
      look.error = ceChartNotFound;
      return;
    }
    const auto it = entries_.find(fullPath);
    look.entry = it == entries_.end() ? nullptr : &it->second;
    const std::string_view encoded = encoder.Encode(fullPath);
    // No file name holds a NUL; the system would see only the part before it.
    if (encoded.find('\0') != std::string_view::npos) {
      look.error = ceChartNotFound;
      return;
    }
    const char* name = encoded.data();
    const int dirFd = folder ? folder->At(encoded, name) : AT_FDCWD;
    if (look.entry && look.entry->put) {
      look.kind = TLook::kHit;
      look.size = look.entry->info.fileSize_;
      look.mtimeNs = look.entry->info.modifiedNs_;
      return;
    }
    if (look.entry) {
      struct stat st {};
      if (::fstatat(dirFd, name, &st, 0) != 0) {
        look.error = StatError(errno);
        return;
      }
      if (S_ISREG(st.st_mode) && st.st_size == look.entry->info.fileSize_ &&
          MTimeNs(st) == look.entry->info.modifiedNs_) {
        look.kind = TLook::kHit;
        look.size = st.st_size;
        look.mtimeNs = MTimeNs(st);
        return;
      }
    }
    look.error = ReadChartHeaderAt(dirFd, name, look.header, look.size, look.mtimeNs);
    look.kind = look.error ? TLook::kFailed : TLook::kRead;
  }

  // Looks at every path, on a few threads when there are many.
  void LookAll(const std::vector<QString>& fullPaths, std::vector<TLook>& looks) {
    const std::size_t n = fullPaths.size();
    std::atomic<std::size_t> next{0};
    auto work = [&] {
      TFolderCursor folder;
      TEncodedPath encoder;
      for (std::size_t begin; (begin = next.fetch_add(kLookChunk, std::memory_order_relaxed)) < n;) {
        const std::size_t end = std::min(n, begin + kLookChunk);
        for (std::size_t i = begin; i < end; ++i) Look(fullPaths[i], &folder, encoder, looks[i]);
      }
    };
    std::vector<std::thread> helpers;
    // Joined on every way out: they use what this frame holds.
    struct TJoin {
      std::vector<std::thread>& threads;
      ~TJoin() {
        for (std::thread& t : threads) t.join();
      }
    } join{helpers};
    if (n >= kThreadsFrom) {
      const std::size_t wanted = std::min<std::size_t>(kLookThreads - 1, (n - 1) / kLookChunk);
      helpers.reserve(wanted);
      for (std::size_t t = 0; t < wanted; ++t) {
        try {
          helpers.emplace_back(work);
        } catch (const std::system_error&) {
          break;  // no more threads to be had: the ones there do it all
        }
      }
    }
    work();
  }

  // Takes what Look found into the cache, exactly as if the file had been looked at just now.
  TQMR2ChartInfo* Take(const QString& fullPath, const TLook& look, int& error) {
    error = ceOK;
    switch (look.kind) {
      case TLook::kHit:
        // The same path earlier in a batch may have changed the entry since.
        if (look.entry->info.fileSize_ != look.size || look.entry->info.modifiedNs_ != look.mtimeNs)
          return GetChartInfo(fullPath, error);
        look.entry->used = true;
        look.entry->put = false;
        return &look.entry->info;
      case TLook::kFailed: {
        error = look.error;
        Entry* entry = look.entry;
        if (!entry && !fullPath.isEmpty()) {
          const auto it = entries_.find(fullPath);
          if (it != entries_.end()) entry = &it->second;
        }
        return entry ? Forget(entry) : nullptr;
      }
      case TLook::kRead:
        break;
    }
    Entry* entry = look.entry;
    if (!entry) {
      const auto [it, added] = entries_.try_emplace(fullPath);
      entry = &it->second;
      if (added) entry->info.fileName_ = fullPath;
    }
    entry->info.header_ = look.header;
    entry->info.fileSize_ = look.size;
    entry->info.modifiedNs_ = look.mtimeNs;
    entry->used = true;
    entry->onDisk = false;
    return &entry->info;
  }

  // Anything unexpected in the file makes the cache start empty: it is only a cache.
  // Only a regular file is read, never through a link: a pipe in its place would hold the start
  // for good. Anything else counts as no cache and is replaced on the next save.
  void Load() {
    if (cacheFile_.isEmpty()) return;
    const int fd = ::open(QFile::encodeName(cacheFile_).constData(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return;
    struct stat st {};
    QFile file;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || !file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
      ::close(fd);
      return;
    }
    if (file.size() > kMaxCacheFileSize) return;  // not ours: no cache grows that large
    const QByteArray data = file.readAll();
    const qsizetype n = data.size();
    const char* p = data.constData();
    if (n < kCacheHeaderSize + 8) return;
    if (std::memcmp(p, kCacheMagic, 4) != 0) return;
    if (Get<std::uint32_t>(p + 4) != kCacheFormatVersion) return;
    if (Get<std::uint32_t>(p + 8) != programVersion_) return;
    if (Get<std::uint64_t>(p + n - 8) != Fnv1a64(p, n - 8)) return;
    const std::uint32_t count = Get<std::uint32_t>(p + 12);
    const qsizetype end = n - 8;
    if (count > static_cast<std::uint64_t>(end - kCacheHeaderSize) / kEntryFixedSize) return;

    std::unordered_map<QString, Entry> loaded;
    loaded.reserve(count);
    qsizetype pos = kCacheHeaderSize;
    for (std::uint32_t i = 0; i < count; ++i) {
      if (end - pos < kEntryFixedSize) return;
      const std::uint32_t nameSize = Get<std::uint32_t>(p + pos);
      pos += 4;
      if (static_cast<std::uint64_t>(end - pos) < std::uint64_t{nameSize} + kEntryFixedSize - 4) return;
      Entry entry;
      entry.info.fileName_ = QString::fromUtf8(p + pos, nameSize);
      pos += nameSize;
      entry.info.fileSize_ = Get<std::int64_t>(p + pos);
      entry.info.modifiedNs_ = Get<std::int64_t>(p + pos + 8);
      entry.info.header_ = TQMR2ChartHeader(Get<std::uint32_t>(p + pos + 16), Get<std::int32_t>(p + pos + 20),
                                            Get<std::int32_t>(p + pos + 24));
      pos += 28;
      entry.onDisk = true;
      if (entry.info.fileName_.isEmpty() || entry.info.header_.FormatVersion() != kChartFormatVersion) return;
      QString key = entry.info.fileName_;
      if (!loaded.try_emplace(std::move(key), std::move(entry)).second) return;  // a path twice
    }
    if (pos != end) return;
    entries_ = std::move(loaded);
    diskEntries_ = count;
    fileMatches_ = true;
  }

  QString cacheFile_;
  std::uint32_t programVersion_;
  // Entries live in the map's nodes, which keep their addresses for the map's life.
  std::unordered_map<QString, Entry> entries_;
  qsizetype diskEntries_ = 0;
  bool fileMatches_ = false;  // the cache file was read whole (or written) by this object
};

std::unique_ptr<TQMR2ChartCache> QMR2ChartCacheCreate(const QString& cacheFile, std::uint32_t programVersion) {
  return std::make_unique<TQMR2ChartCacheImpl>(cacheFile, programVersion);
}

int WriteChartFile(const QString& path, std::int32_t productNumber, std::int32_t moduleNumber, qint64 dataBytes) {
  const QFileInfo info(path);
  if (const int error = DirCreate(info.absolutePath())) return error;
  QByteArray bytes;
  bytes.reserve(kChartHeaderSize + std::max<qint64>(0, dataBytes));
  bytes.append(kChartMagic, 4);
  Put<std::uint32_t>(bytes, kChartFormatVersion);
  Put<std::int32_t>(bytes, productNumber);
  Put<std::int32_t>(bytes, moduleNumber);
  for (qint64 i = 0; i < dataBytes; ++i) bytes.append(static_cast<char>(i * 31 + 7));
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) return ceFileCreate;
  if (file.write(bytes) != bytes.size() || !file.flush()) return ceFileWrite;
  return ceOK;
}

}  // namespace cvlib
