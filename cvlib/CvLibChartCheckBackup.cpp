// The chart-check engine's backup index: the index read last, and a new index merged with it.
// Format: docs/backup-index.md.
#include "CvLibChartCheckParts.h"

#include "CvLibBackupIndex.h"
#include "CvLibErrors.h"
#include "CvLibItemJson.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>

#include <algorithm>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>

namespace cvlib::detail {

namespace {

// The fields an index keeps of an item, through the same field lists the index is written
// with: two items whose fields match are written alike. The fields of the first are noted,
// then those of the second compared with them, without copying any.
class SameFields {
 public:
  bool Items(const TItemData& a, const TItemData& b) {
    if (a.files.size() != b.files.size() || a.hasProduct != b.hasProduct) return false;
    if (!Both(a, b, [](auto& f, const TItemData& d) {
          int none = 0;
          ItemFields(f, none, d);
          f.Str(none, "sourceFolder", d.sourceFolder);
          f.Str(none, "version", d.version);
          f.Str(none, "signature", d.signature);
        }))
      return false;
    for (size_t i = 0; i < a.files.size(); ++i)
      if (!Both(a.files[i], b.files[i], [](auto& f, const TItemFile& file) {
            int none = 0;
            FileFields(f, none, file);
            f.Str(none, "xxh3", file.xxh3);
          }))
        return false;
    return !a.hasProduct || Both(a.product, b.product, [](auto& f, const TProductData& p) {
      int none = 0;
      ProductFields(f, none, p);
    });
  }

  template <typename O>
  void Int(O&, const char*, const int& v) { Field(&v); }
  template <typename O>
  void Size(O&, const char*, const int64_t& v) { Field(&v); }
  template <typename O>
  void Version(O&, const char*, const uint32_t& v) { Field(&v); }
  template <typename O>
  void Bool(O&, const char*, const bool& v) { Field(&v); }
  template <typename O>
  void Str(O&, const char*, const QString& v) { Field(&v); }

 private:
  template <typename T, typename Visit>
  bool Both(const T& a, const T& b, Visit visit) {
    fNoted.clear();
    fComparing = false;
    visit(*this, a);
    fComparing = true;
    fAt = 0;
    fSame = true;
    visit(*this, b);
    return fSame && fAt == fNoted.size();
  }
  template <typename T>
  void Field(const T* v) {
    if (!fComparing) {
      fNoted.push_back(v);
      return;
    }
    fSame = fSame && fAt < fNoted.size() && *static_cast<const T*>(fNoted[fAt]) == *v;
    ++fAt;
  }
  std::vector<const void*> fNoted;
  size_t fAt = 0;
  bool fComparing = false;
  bool fSame = true;
};

bool SameItems(const std::vector<TItemData>& a, const std::vector<TItemData>& b) {
  if (a.size() != b.size()) return false;
  SameFields same;
  for (size_t i = 0; i < a.size(); ++i)
    if (!same.Items(a[i], b[i])) return false;
  return true;
}

// The entry under the index's name, not through a link: false for anything but a regular file.
bool IndexStat(const QString& path, struct stat& st) {
  return ::fstatat(AT_FDCWD, QFile::encodeName(path).constData(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
         S_ISREG(st.st_mode);
}

bool SameEntry(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
         a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

}  // namespace

// The index's path with its folder's links resolved: the same backup reached through a
// linked folder (a mount point, a link on the desktop) is still the same backup.
QString BackupIndexMerge::IndexPath(const QString& path) {
  const QFileInfo info(path);
  const QString folder = info.absoluteDir().canonicalPath();
  return folder.isEmpty() ? info.absoluteFilePath() : folder + u'/' + info.fileName();
}

// Reads the index file; may run on a thread of its own (a prefetch): it touches nothing else.
BackupIndexMerge::FileRead BackupIndexMerge::ReadFile(const QString& path) {
  FileRead r;
  struct stat before {};
  const bool stated = IndexStat(path, before);
  r.error = ReadBackupIndexFile(path, r.data);
  // What was read, as it was read, when the file did not change meanwhile: a backup that
  // gets nothing new keeps its index as it is.
  if (!r.error && stated && IndexStat(path, r.stat) && SameEntry(before, r.stat)) {
    r.asRead = r.data;
    r.unchanged = true;
  }
  return r;
}

void BackupIndexMerge::Prefetch(const QString& path) {
  fPrefetch = std::async(std::launch::async, [path] { return ReadFile(path); });
  fPrefetchPath = path;
}

int BackupIndexMerge::Read(const QString& path, std::vector<std::shared_ptr<InstallItem>>& items) {
  FileRead r;
  if (fPrefetch.valid() && fPrefetchPath == path) r = fPrefetch.get();
  else r = ReadFile(path);
  fPrefetch = {};  // one of another path is waited for and dropped
  fRead.clear();
  fReadValid = false;
  if (r.error) {
    fItems.clear();
    fPath.clear();
    return r.error;
  }
  if (r.unchanged) {
    fRead = std::move(r.asRead);
    fReadStat = r.stat;
    fReadValid = true;
  }
  std::vector<std::shared_ptr<InstallItem>> read;
  for (TItemData& d : r.data) read.push_back(std::make_shared<InstallItem>(std::move(d)));
  items = read;
  fItems = std::move(read);
  fPath = IndexPath(path);
  return ceOK;
}

int BackupIndexMerge::Write(const QString& path, const EngineLists& lists) const {
  std::vector<TItemData> out;
  auto contains = [&out](int number, int mask) {
    return std::any_of(out.begin(), out.end(), [&](const TItemData& d) {
      return d.productNumber == number && d.moduleMask == mask;
    });
  };
  for (const auto& item : lists.Items()) {
    if (!item->Selected() || !item->Succeeded() || item->Status() != 0) continue;
    if (contains(item->ProductNumber(), item->ModuleMask())) continue;
    TItemData d = item->Data();
    if (const ProductRecord* p = lists.FindProduct(d.productNumber, d.moduleMask)) {
      d.hasProduct = true;
      d.product = p->Data();
    }
    if (d.sourceFolder.isEmpty()) d.sourceFolder = BackupSourceFolder(*item, lists.IsChartSet(*item));
    for (TItemFile& f : d.files) f.url.clear();  // a backup is read without the service
    out.push_back(std::move(d));
  }
  // What an earlier run put into this backup stays in its index.
  const bool sameIndex = !fPath.isEmpty() && fPath == IndexPath(path);
  if (sameIndex) {
    for (const auto& item : fItems)
      if (!contains(item->ProductNumber(), item->ModuleMask())) out.push_back(item->Data());
    // An earlier index's XXH3 is not carried over: a file kept by its size and time was not
    // read in this run, and only a checksum of bytes this run saw may describe it.
  }
  // The index on disk already says exactly this (the file read, unchanged since): writing and
  // syncing it again would change nothing but cost a long wait for the disk.
  struct stat st {};
  if (sameIndex && fReadValid && IndexStat(path, st) && SameEntry(st, fReadStat) && SameItems(out, fRead))
    return ceOK;
  return WriteBackupIndexFile(path, out);
}

InstallItem* BackupIndexMerge::Find(int productNumber, int moduleMask) const {
  for (const auto& item : fItems)
    if (item->ProductNumber() == productNumber && item->ModuleMask() == moduleMask) return item.get();
  return nullptr;
}

}  // namespace cvlib::detail
