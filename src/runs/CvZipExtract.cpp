#include "CvZipExtract.h"

#include "CvLib.h"
#include "CvLibFileIo.h"
#include "CvZipLibrary.h"

#include <QFile>

#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace cvruns {
namespace {

using namespace cvlib;

// The calling thread checks the names and makes the folders, in the order of the archive; two
// workers create the files and read, inflate, check and write the contents. What a serial run
// would decide from an earlier entry waits for that entry: a repeated name, a folder where an
// entry under way writes a file.
constexpr int kWorkers = 2;
constexpr std::size_t kChunk = 1 << 20;
constexpr std::size_t kMaxQueued = 64;   // entries handed over and not yet taken by a worker
constexpr std::size_t kMaxFolders = 128;  // folder handles kept open
constexpr auto kTick = std::chrono::milliseconds(10);  // longest wait between two progress calls

struct TZipClose {
  void operator()(zip_t* z) const { cvzip::zip_discard(z); }
};
struct TZipFileClose {
  void operator()(zip_file_t* f) const { cvzip::zip_fclose(f); }
};
using TZip = std::unique_ptr<zip_t, TZipClose>;
using TZipFile = std::unique_ptr<zip_file_t, TZipFileClose>;

bool IsLinkEntry(zip_t* zip, zip_uint64_t index) {
  zip_uint8_t opsys = 0;
  zip_uint32_t attributes = 0;
  if (cvzip::zip_file_get_external_attributes(zip, index, 0, &opsys, &attributes) != 0) return false;
  return opsys == ZIP_OPSYS_UNIX && ((attributes >> 16) & S_IFMT) == S_IFLNK;
}

// The entry name checked and made relative as SafeEntryPath does, in the file system's
// encoding; plain ASCII names (nearly all) are checked on their bytes.
bool EntryPath(const char* raw, std::string& path) {
  if (!raw) return false;
  const std::string_view name(raw);
  if (std::any_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; })) {
    const QString safe = SafeEntryPath(QString::fromUtf8(raw));
    if (safe.isEmpty()) return false;
    path = QFile::encodeName(safe).toStdString();
    return true;
  }
  path.assign(name);
  std::replace(path.begin(), path.end(), '\\', '/');
  if (path.empty() || path.front() == '/') return false;
  if (path.back() == '/') path.pop_back();
  for (char c : path)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return false;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = std::min(path.find('/', start), path.size());
    const std::string_view part(path.data() + start, end - start);
    if (part.empty() || part == "." || part == "..") return false;
    if (end == path.size()) return true;
    start = end + 1;
  }
}

int WriteError() { return cvlib::IsDiskFull(errno) ? ceDiskFull : ceFileWrite; }

int WriteAll(int fd, const char* p, std::size_t n) { return cvlib::WriteAll(fd, p, n) ? ceOK : WriteError(); }

// An open folder below the base: files and subfolders are opened relative to it, so no link
// met on the way is ever followed.
struct TFolder {
  int fd;
  explicit TFolder(int handle) : fd(handle) {}
  TFolder(const TFolder&) = delete;
  TFolder& operator=(const TFolder&) = delete;
  ~TFolder() { ::close(fd); }
};
using TFolderPtr = std::shared_ptr<TFolder>;

struct TEntryInfo {
  std::uint64_t size = 0;
  std::uint64_t compSize = 0;
  std::uint32_t crc = 0;
  bool raw = false;  // stored or deflated, not encrypted: read as it stands and inflated here
  bool deflated = false;
};

using TFileKey = std::pair<dev_t, ino_t>;

struct TJob {
  zip_uint64_t index = 0;
  TEntryInfo info;
  TFolderPtr folder;
  std::string path;  // relative to the base
  std::string name;  // in folder
  int fd = -1;
  TFileKey key{};
};

constexpr int kSkipped = -1;  // a file that cannot be made: the entry is left out, as a serial run would

class TExtraction final {
 public:
  explicit TExtraction(const TExtractProgress& progress) : fProgress(progress) {}
  TExtraction(const TExtraction&) = delete;
  TExtraction& operator=(const TExtraction&) = delete;
  ~TExtraction() {
    {
      std::lock_guard lock(fMutex);
      fStop = true;
      fCancel = true;
    }
    fWorkCv.notify_all();
    fDoneCv.notify_all();
    for (std::thread& t : fThreads) t.join();
  }

  int Run(const QString& archive, const QString& baseFolder, QStringList* refused);
  // The entry that was not written whole first in the archive's order (empty: none).
  QString FirstLeftOut();

 private:
  struct TWorker {
    TZip zip;
    z_stream z{};
    bool zReady = false;
    std::unique_ptr<char[]> in{new char[kChunk]};
    std::unique_ptr<char[]> out{new char[kChunk]};
    TWorker() = default;
    TWorker(const TWorker&) = delete;
    TWorker& operator=(const TWorker&) = delete;
    ~TWorker() {
      if (zReady) inflateEnd(&z);
    }
  };

  bool Report();
  template <typename Ready>
  bool Wait(Ready ready, bool watch = true);
  bool BusyUnder(const std::string& folder) const;
  TFolderPtr Folder(const std::string& relative);
  int Stop(int error);
  void LeftOut(zip_uint64_t index, const char* name);

  void Work(TWorker& worker);
  void Process(TWorker& worker, std::unique_ptr<TJob> job);
  int Open(TJob& job);
  int ExtractRaw(TWorker& worker, const TJob& job);
  int ExtractThroughLibrary(TWorker& worker, const TJob& job);
  bool Flush(TWorker& worker, int fd, std::size_t n, std::uint64_t& written, std::uint32_t& crc,
             std::uint64_t size, int& error);

  const TExtractProgress& fProgress;
  std::uint64_t fTotal = 0;
  std::atomic<std::uint64_t> fDone{0};
  std::atomic<bool> fCancel{false};
  bool fAborted = false;  // progress asked to stop
  TFolderPtr fBase;
  TFileKey fArchive{};  // the archive itself, never written over by one of its entries
  std::unordered_map<std::string, TFolderPtr> fFolders;  // the calling thread's alone

  std::vector<std::unique_ptr<TWorker>> fWorkers;
  std::vector<std::thread> fThreads;
  // Below: under fMutex.
  std::mutex fMutex;
  std::condition_variable fWorkCv;  // a job queued, or the end
  std::condition_variable fDoneCv;  // a job done
  std::deque<std::unique_ptr<TJob>> fQueue;
  std::unordered_set<std::string> fBusy;  // paths of the jobs queued or under way
  std::vector<TFileKey> fOpen;            // files being written
  int fFailure = 0;                       // a write error that ends the extraction
  int fWatchers = 0;                      // threads that wait for a given job to end
  bool fStop = false;
  std::vector<std::pair<zip_uint64_t, QString>> fLeftOut;  // entries not written whole
};

void TExtraction::LeftOut(zip_uint64_t index, const char* name) {
  std::lock_guard lock(fMutex);
  fLeftOut.emplace_back(index, name ? QString::fromUtf8(name) : QString());
}

QString TExtraction::FirstLeftOut() {
  std::lock_guard lock(fMutex);
  const auto first = std::min_element(fLeftOut.begin(), fLeftOut.end(),
                                      [](const auto& a, const auto& b) { return a.first < b.first; });
  return first == fLeftOut.end() ? QString() : first->second;
}

bool TExtraction::Report() {
  if (!fProgress) return true;
  const std::uint64_t done = fDone.load(std::memory_order_relaxed);
  return fProgress(fTotal ? static_cast<int>(std::min<std::uint64_t>(done * 100 / fTotal, 100)) : 100);
}

// Waits (under fMutex) until ready() holds, calling progress at least every tick so that the
// caller can pump its events; false when progress asks to stop (or asked before). Workers wake
// the waiter at the end of every job when it watches, else only when the queue runs half
// empty, the last job ends or one fails.
template <typename Ready>
bool TExtraction::Wait(Ready ready, bool watch) {
  std::unique_lock lock(fMutex);
  if (fAborted || ready()) return !fAborted;
  if (watch) ++fWatchers;
  while (!fAborted && !ready()) {
    fDoneCv.wait_for(lock, kTick);
    if (ready()) break;
    lock.unlock();
    const bool go = Report();
    lock.lock();
    if (!go) fAborted = true;
  }
  if (watch) --fWatchers;
  return !fAborted;
}

// Whether a job under way writes a file where this folder or one above it belongs: then the
// folder is made only after that job (a file that fails is removed again).
bool TExtraction::BusyUnder(const std::string& folder) const {
  for (std::size_t end = folder.find('/');; end = folder.find('/', end + 1)) {
    if (fBusy.count(end == std::string::npos ? folder : folder.substr(0, end))) return true;
    if (end == std::string::npos) return false;
  }
}

// The folder of a relative path below the base, made when missing; null when a part of it is a
// link or a file.
TFolderPtr TExtraction::Folder(const std::string& relative) {
  if (relative.empty()) return fBase;
  if (auto it = fFolders.find(relative); it != fFolders.end()) return it->second;
  if (!Wait([&] { return !BusyUnder(relative); })) return nullptr;
  const std::size_t slash = relative.rfind('/');
  const TFolderPtr parent = Folder(slash == std::string::npos ? std::string() : relative.substr(0, slash));
  if (!parent) return nullptr;
  const char* leaf = relative.c_str() + (slash == std::string::npos ? 0 : slash + 1);
  ::mkdirat(parent->fd, leaf, 0755);  // an existing one is fine: the open below decides
  const int fd = ::openat(parent->fd, leaf, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return nullptr;
  if (fFolders.size() >= kMaxFolders) fFolders.clear();  // jobs keep the handles they use
  auto folder = std::make_shared<TFolder>(fd);
  fFolders.emplace(relative, folder);
  return folder;
}

// Ends the extraction with error: jobs not yet done stop and remove their files.
int TExtraction::Stop(int error) {
  fCancel = true;
  std::unique_lock lock(fMutex);
  fDoneCv.notify_all();
  while (!fBusy.empty()) {
    fDoneCv.wait_for(lock, kTick);
    lock.unlock();
    Report();  // keeps the caller's events flowing; its answer no longer matters
    lock.lock();
  }
  return error;
}

int TExtraction::Run(const QString& archive, const QString& baseFolder, QStringList* refused) {
  const QByteArray path = QFile::encodeName(archive);
  int zipError = 0;
  TZip zip(cvzip::zip_open(path.constData(), ZIP_RDONLY, &zipError));
  if (!zip) return ceFileRead;
  struct stat archiveStat {};
  if (::stat(path.constData(), &archiveStat) == 0) fArchive = {archiveStat.st_dev, archiveStat.st_ino};
  const zip_int64_t count = cvzip::zip_get_num_entries(zip.get(), 0);
  std::vector<TEntryInfo> entries(static_cast<std::size_t>(std::max<zip_int64_t>(count, 0)));
  for (zip_int64_t i = 0; i < count; ++i) {
    zip_stat_t st;
    if (cvzip::zip_stat_index(zip.get(), static_cast<zip_uint64_t>(i), 0, &st) != 0) continue;
    TEntryInfo& e = entries[static_cast<std::size_t>(i)];
    if (st.valid & ZIP_STAT_SIZE) fTotal += e.size = st.size;
    if (st.valid & ZIP_STAT_COMP_SIZE) e.compSize = st.comp_size;
    if (st.valid & ZIP_STAT_CRC) e.crc = st.crc;
    constexpr zip_uint64_t kNeeded = ZIP_STAT_SIZE | ZIP_STAT_COMP_SIZE | ZIP_STAT_CRC | ZIP_STAT_COMP_METHOD |
                                     ZIP_STAT_ENCRYPTION_METHOD;
    e.deflated = st.comp_method == ZIP_CM_DEFLATE;
    e.raw = (st.valid & kNeeded) == kNeeded && (st.comp_method == ZIP_CM_STORE || e.deflated) &&
            st.encryption_method == ZIP_EM_NONE;
  }
  if (!Report()) return ceAborted;

  const int baseFd = ::open(QFile::encodeName(baseFolder).constData(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (baseFd < 0) return ceFileWrite;
  fBase = std::make_shared<TFolder>(baseFd);

  // zip_t is not shared between threads: each worker reads through a handle of its own.
  for (int i = 0; i < kWorkers; ++i) {
    auto worker = std::make_unique<TWorker>();
    worker->zip.reset(cvzip::zip_open(path.constData(), ZIP_RDONLY, &zipError));
    if (!worker->zip || cvzip::zip_get_num_entries(worker->zip.get(), 0) != count) return ceFileRead;
    if (inflateInit2(&worker->z, -MAX_WBITS) != Z_OK) return ceFileRead;
    worker->zReady = true;
    fWorkers.push_back(std::move(worker));
  }
  try {
    for (auto& worker : fWorkers) fThreads.emplace_back([this, w = worker.get()] { Work(*w); });
  } catch (const std::system_error&) {
    // No thread to be had: the threads there are do the work, or this one does.
  }

  std::string relative;
  for (zip_int64_t i = 0; i < count; ++i) {
    const auto index = static_cast<zip_uint64_t>(i);
    if (!Report()) return Stop(ceAborted);
    {
      std::lock_guard lock(fMutex);
      if (fFailure) break;
    }
    const char* rawName = cvzip::zip_get_name(zip.get(), index, ZIP_FL_ENC_GUESS);
    const auto refuse = [&] {
      if (refused) refused->append(rawName ? QString::fromUtf8(rawName) : QString());
      LeftOut(index, rawName);
    };
    if (!EntryPath(rawName, relative) || IsLinkEntry(zip.get(), index)) {
      refuse();
      continue;
    }
    const std::string_view name(rawName);
    const bool folderEntry = name.back() == '/' || name.back() == '\\';
    const std::size_t slash = folderEntry ? std::string::npos : relative.rfind('/');
    const TFolderPtr folder =
        Folder(folderEntry ? relative : slash == std::string::npos ? std::string() : relative.substr(0, slash));
    if (fAborted) return Stop(ceAborted);
    if (!folder) {
      refuse();
      continue;
    }
    if (folderEntry) continue;
    const TEntryInfo& info = entries[index];
    // Another method goes through the library; one it cannot read (unknown, encrypted) is left out.
    if (!info.raw && !TZipFile(cvzip::zip_fopen_index(zip.get(), index, 0))) {
      LeftOut(index, rawName);
      continue;
    }

    auto job = std::make_unique<TJob>();
    job->index = index;
    job->info = info;
    job->folder = folder;
    job->path = relative;
    job->name = relative.substr(slash == std::string::npos ? 0 : slash + 1);
    // A name repeated in the archive is written after the entry before it is done.
    if (!Wait([&] { return fFailure || fQueue.size() < kMaxQueued; }, false) ||
        !Wait([&] { return fFailure || !fBusy.count(relative); }))
      return Stop(ceAborted);
    {
      std::lock_guard lock(fMutex);
      if (fFailure) break;
      fBusy.insert(relative);
      if (!fThreads.empty()) fQueue.push_back(std::move(job));
    }
    if (job)
      Process(*fWorkers.front(), std::move(job));
    else
      fWorkCv.notify_one();
  }
  if (!Wait([&] { return fBusy.empty() || fFailure; }, false)) return Stop(ceAborted);
  int failure = ceOK;
  {
    std::lock_guard lock(fMutex);
    failure = fFailure;
  }
  if (failure) return Stop(failure);
  // Entries left out count as done.
  if (fProgress) fProgress(100);
  return ceOK;
}

void TExtraction::Work(TWorker& worker) {
  for (;;) {
    std::unique_ptr<TJob> job;
    {
      std::unique_lock lock(fMutex);
      fWorkCv.wait(lock, [&] { return fStop || !fQueue.empty(); });
      if (fQueue.empty()) return;
      job = std::move(fQueue.front());
      fQueue.pop_front();
      if (fQueue.size() == kMaxQueued / 2) fDoneCv.notify_all();
    }
    Process(worker, std::move(job));
  }
}

void TExtraction::Process(TWorker& worker, std::unique_ptr<TJob> job) {
  int error = fCancel ? ceAborted : Open(*job);
  if (job->fd >= 0) {
    if (!error) error = job->info.raw ? ExtractRaw(worker, *job) : ExtractThroughLibrary(worker, *job);
    if (::close(job->fd) != 0 && !error) error = WriteError();
    // A damaged entry, or one stopped half way, leaves no half file.
    if (error) ::unlinkat(job->folder->fd, job->name.c_str(), 0);
  }
  if (error && error != ceAborted) LeftOut(job->index, job->path.c_str());
  bool wake = false;
  {
    std::lock_guard lock(fMutex);
    fBusy.erase(job->path);
    if (job->fd >= 0) fOpen.erase(std::find(fOpen.begin(), fOpen.end(), job->key));
    if ((error == ceDiskFull || error == ceFileWrite) && !fFailure) fFailure = error;
    wake = fWatchers > 0 || fBusy.empty() || fFailure;
  }
  job.reset();
  if (wake) fDoneCv.notify_all();
}

// Opens (creates) the entry's file, empty; sets job.fd on success. Another entry's file under
// way under another name (a hard link, a folder that ignores case) is waited for, so that two
// entries never write one file at once.
int TExtraction::Open(TJob& job) {
  const int dir = job.folder->fd;
  const char* leaf = job.name.c_str();
  // O_NONBLOCK: a fifo without a reader fails at once instead of blocking.
  constexpr int kFlags = O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  for (int attempt = 0; attempt < 8; ++attempt) {
    // A file made here is this job's alone; only one that was there may be another's.
    int fd = ::openat(dir, leaf, kFlags | O_CREAT | O_EXCL, 0644);
    const bool made = fd >= 0;
    if (fd < 0 && errno == EEXIST) {
      fd = ::openat(dir, leaf, kFlags);
      if (fd < 0 && errno == ELOOP) {  // a link is replaced, not followed
        if (::unlinkat(dir, leaf, 0) != 0) return kSkipped;
        continue;
      }
      if (fd < 0 && errno == ENOENT) continue;  // removed in between (its entry failed)
    }
    if (fd < 0) return (errno == ENOSPC || errno == EDQUOT) ? ceDiskFull : kSkipped;
    struct stat st {};
    std::unique_lock lock(fMutex);
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      ::close(fd);
      return kSkipped;
    }
    const TFileKey key{st.st_dev, st.st_ino};
    if (key == fArchive) {  // the archive lies in its folder and holds an entry of its own name
      ::close(fd);
      return kSkipped;
    }
    const auto busy = [&] { return std::find(fOpen.begin(), fOpen.end(), key) != fOpen.end(); };
    // A file removed since it was opened (its entry failed) is made again.
    if (!made && (busy() || st.st_nlink == 0)) {
      ::close(fd);
      ++fWatchers;
      fDoneCv.wait(lock, [&] { return fCancel || !busy(); });
      --fWatchers;
      if (fCancel) return ceAborted;
      --attempt;
      continue;
    }
    // A file written over takes no group or other write from what was there before.
    if (!made && (st.st_mode & 0022) != 0) ::fchmod(fd, st.st_mode & 0755 & ~static_cast<mode_t>(ProcessUmask()));
    fOpen.push_back(key);  // a number freed by a job still finishing may stand twice: each removes one
    lock.unlock();
    job.fd = fd;
    job.key = key;
    if (st.st_size > 0 && ::ftruncate(fd, 0) != 0) return WriteError();
    return ceOK;
  }
  return kSkipped;
}

// Writes the n bytes at the head of the out buffer; false (error set) on a write error, a stop,
// or more bytes than the entry declares (a size that lies makes a damaged entry).
bool TExtraction::Flush(TWorker& worker, int fd, std::size_t n, std::uint64_t& written, std::uint32_t& crc,
                        std::uint64_t size, int& error) {
  if (n > size - written) {
    error = ceFileRead;
    return false;
  }
  crc = static_cast<std::uint32_t>(crc32_z(crc, reinterpret_cast<const Bytef*>(worker.out.get()), n));
  if ((error = WriteAll(fd, worker.out.get(), n))) return false;
  written += n;
  fDone.fetch_add(n, std::memory_order_relaxed);
  if (fCancel) {
    error = ceAborted;
    return false;
  }
  return true;
}

// A stored or deflated entry: its bytes read as they stand, inflated, and held to the size and
// CRC of the archive's directory while they are written.
int TExtraction::ExtractRaw(TWorker& worker, const TJob& job) {
  TZipFile in(cvzip::zip_fopen_index(worker.zip.get(), job.index, ZIP_FL_COMPRESSED));
  if (!in) return ceFileRead;
  const bool deflated = job.info.deflated;
  std::uint64_t left = job.info.compSize;
  std::uint64_t written = 0;
  std::uint32_t crc = static_cast<std::uint32_t>(crc32_z(0, nullptr, 0));
  int error = ceOK;
  bool ended = !deflated;
  std::size_t have = 0;  // inflated bytes waiting in the out buffer
  z_stream& z = worker.z;
  if (deflated && inflateReset(&z) != Z_OK) return ceFileRead;
  while (left > 0 && !(deflated && ended)) {
    const zip_int64_t n = cvzip::zip_fread(in.get(), deflated ? worker.in.get() : worker.out.get(),
                                    static_cast<zip_uint64_t>(std::min<std::uint64_t>(left, kChunk)));
    if (n <= 0) return ceFileRead;
    left -= static_cast<std::uint64_t>(n);
    if (!deflated) {
      if (!Flush(worker, job.fd, static_cast<std::size_t>(n), written, crc, job.info.size, error)) return error;
      continue;
    }
    z.next_in = reinterpret_cast<Bytef*>(worker.in.get());
    z.avail_in = static_cast<uInt>(n);
    for (;;) {
      z.next_out = reinterpret_cast<Bytef*>(worker.out.get() + have);
      z.avail_out = static_cast<uInt>(kChunk - have);
      // Z_FINISH with all input given: inflate skips keeping its window (a copy of the output).
      const int r = inflate(&z, left == 0 ? Z_FINISH : Z_NO_FLUSH);
      have = kChunk - z.avail_out;
      if (have > job.info.size - written) return ceFileRead;  // more than the entry declares
      if (r == Z_STREAM_END) {
        ended = true;
        break;
      }
      if (r != Z_OK && r != Z_BUF_ERROR) return ceFileRead;
      if (z.avail_out == 0) {
        if (!Flush(worker, job.fd, have, written, crc, job.info.size, error)) return error;
        have = 0;
        continue;
      }
      if (z.avail_in == 0) break;
      if (r == Z_BUF_ERROR) return ceFileRead;
    }
  }
  if (!ended) return ceFileRead;  // the stream breaks off
  if (have && !Flush(worker, job.fd, have, written, crc, job.info.size, error)) return error;
  return written == job.info.size && crc == job.info.crc ? ceOK : ceFileRead;
}

// Other methods: the library inflates and checks; the size is held to what the entry declares.
int TExtraction::ExtractThroughLibrary(TWorker& worker, const TJob& job) {
  TZipFile in(cvzip::zip_fopen_index(worker.zip.get(), job.index, 0));
  if (!in) return ceFileRead;
  std::uint64_t written = 0;
  std::uint32_t crc = static_cast<std::uint32_t>(crc32_z(0, nullptr, 0));
  int error = ceOK;
  for (;;) {
    const zip_int64_t n = cvzip::zip_fread(in.get(), worker.out.get(), kChunk);
    if (n < 0) return ceFileRead;
    if (n == 0) return ceOK;
    if (!Flush(worker, job.fd, static_cast<std::size_t>(n), written, crc, job.info.size, error)) return error;
  }
}

}  // namespace

QString SafeEntryPath(const QString& name) {
  QString path = name;
  path.replace(QLatin1Char('\\'), QLatin1Char('/'));
  if (path.isEmpty() || path.startsWith(QLatin1Char('/'))) return {};
  if (path.endsWith(QLatin1Char('/'))) path.chop(1);
  for (QChar ch : path)
    if (ch.unicode() < 0x20 || (ch.unicode() >= 0x7F && ch.unicode() <= 0x9F)) return {};
  for (const QString& part : path.split(QLatin1Char('/')))
    if (part.isEmpty() || part == QLatin1String(".") || part == QLatin1String("..")) return {};
  return path;
}

int ExtractArchive(const QString& archive, const QString& baseFolder, const TExtractProgress& progress,
                   QStringList* refused, QString* firstLeftOut) {
  TExtraction extraction(progress);
  const int error = extraction.Run(archive, baseFolder, refused);
  if (firstLeftOut) *firstLeftOut = extraction.FirstLeftOut();
  return error;
}

}  // namespace cvruns
