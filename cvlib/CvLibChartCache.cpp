#include "CvLibChartCache.h"

#include "CvLibErrors.h"
#include "CvLibFiles.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

#include <cerrno>
#include <cstring>
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

// Reads the header of a chart file; size and time come from the opened file itself, so they
// describe the bytes that were read.
int ReadChartHeader(const QByteArray& path, TQMR2ChartHeader& header, qint64& size, qint64& mtimeNs) {
  // O_NONBLOCK: a FIFO put in a chart's place must not hang the start-up.
  const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
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

struct Entry {
  TQMR2ChartInfo info;
  bool used = false;    // handed out by this cache object and still valid
  bool onDisk = false;  // the cache file holds exactly this entry
};

}  // namespace

class TQMR2ChartCacheImpl final : public TQMR2ChartCache {
 public:
  TQMR2ChartCacheImpl(const QString& cacheFile, std::uint32_t programVersion)
      : cacheFile_(cacheFile), programVersion_(programVersion) {
    Load();
  }

  TQMR2ChartInfo* GetChartInfo(const QString& fullPath, int& error) override {
    error = ceOK;
    if (fullPath.isEmpty()) {
      error = ceChartNotFound;
      return nullptr;
    }
    const QByteArray encoded = QFile::encodeName(fullPath);
    auto it = entries_.find(fullPath);
    Entry* entry = it == entries_.end() ? nullptr : it->second.get();
    if (entry) {
      struct stat st {};
      if (::stat(encoded.constData(), &st) != 0) {
        error = StatError(errno);
        return Forget(entry);
      }
      if (S_ISREG(st.st_mode) && st.st_size == entry->info.fileSize_ && MTimeNs(st) == entry->info.modifiedNs_) {
        entry->used = true;
        return &entry->info;
      }
    }
    TQMR2ChartHeader header;
    qint64 size = 0;
    qint64 mtime = 0;
    error = ReadChartHeader(encoded, header, size, mtime);
    if (error) return entry ? Forget(entry) : nullptr;
    if (!entry) {
      auto owned = std::make_unique<Entry>();
      entry = owned.get();
      entry->info.fileName_ = fullPath;
      entries_.emplace(fullPath, std::move(owned));
    }
    entry->info.header_ = header;
    entry->info.fileSize_ = size;
    entry->info.modifiedNs_ = mtime;
    entry->used = true;
    entry->onDisk = false;
    return &entry->info;
  }

  void PutChartInfo(const QString& fullPath, const TQMR2ChartHeader& header, qint64 fileSize,
                    qint64 modifiedNs) override {
    if (fullPath.isEmpty()) return;
    std::unique_ptr<Entry>& entry = entries_[fullPath];
    if (!entry) {
      entry = std::make_unique<Entry>();
      entry->info.fileName_ = fullPath;
    }
    entry->info.header_ = header;
    entry->info.fileSize_ = fileSize;
    entry->info.modifiedNs_ = modifiedNs;
    entry->onDisk = false;
  }

  int SaveCache() override {
    qsizetype used = 0;
    bool allOnDisk = true;
    for (const auto& [path, entry] : entries_) {
      if (!entry->used) continue;
      ++used;
      allOnDisk = allOnDisk && entry->onDisk;
    }
    if (fileMatches_ && allOnDisk && used == diskEntries_) return ceOK;

    QByteArray out;
    out.reserve(kCacheHeaderSize + used * (kEntryFixedSize + 96) + 8);
    out.append(kCacheMagic, 4);
    Put<std::uint32_t>(out, kCacheFormatVersion);
    Put<std::uint32_t>(out, programVersion_);
    Put<std::uint32_t>(out, static_cast<std::uint32_t>(used));
    for (const auto& [path, entry] : entries_) {
      if (!entry->used) continue;
      const QByteArray name = path.toUtf8();
      Put<std::uint32_t>(out, static_cast<std::uint32_t>(name.size()));
      out.append(name);
      const TQMR2ChartInfo& info = entry->info;
      Put<std::int64_t>(out, info.fileSize_);
      Put<std::int64_t>(out, info.modifiedNs_);
      Put<std::uint32_t>(out, info.header_.FormatVersion());
      Put<std::int32_t>(out, info.header_.ProductNumber());
      Put<std::int32_t>(out, info.header_.ModuleNumber());
    }
    Put<std::uint64_t>(out, Fnv1a64(out.constData(), out.size()));

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

    for (auto& [path, entry] : entries_) entry->onDisk = entry->used;
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
    entry->info.fileSize_ = -1;
    entry->info.modifiedNs_ = -1;
    return nullptr;
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

    std::unordered_map<QString, std::unique_ptr<Entry>> loaded;
    loaded.reserve(count);
    qsizetype pos = kCacheHeaderSize;
    for (std::uint32_t i = 0; i < count; ++i) {
      if (end - pos < kEntryFixedSize) return;
      const std::uint32_t nameSize = Get<std::uint32_t>(p + pos);
      pos += 4;
      if (static_cast<std::uint64_t>(end - pos) < std::uint64_t{nameSize} + kEntryFixedSize - 4) return;
      auto entry = std::make_unique<Entry>();
      entry->info.fileName_ = QString::fromUtf8(p + pos, nameSize);
      pos += nameSize;
      entry->info.fileSize_ = Get<std::int64_t>(p + pos);
      entry->info.modifiedNs_ = Get<std::int64_t>(p + pos + 8);
      entry->info.header_ = TQMR2ChartHeader(Get<std::uint32_t>(p + pos + 16), Get<std::int32_t>(p + pos + 20),
                                             Get<std::int32_t>(p + pos + 24));
      pos += 28;
      entry->onDisk = true;
      if (entry->info.fileName_.isEmpty() || entry->info.header_.FormatVersion() != kChartFormatVersion) return;
      QString key = entry->info.fileName_;
      if (!loaded.emplace(std::move(key), std::move(entry)).second) return;  // a path twice
    }
    if (pos != end) return;
    entries_ = std::move(loaded);
    diskEntries_ = count;
    fileMatches_ = true;
  }

  QString cacheFile_;
  std::uint32_t programVersion_;
  std::unordered_map<QString, std::unique_ptr<Entry>> entries_;
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
