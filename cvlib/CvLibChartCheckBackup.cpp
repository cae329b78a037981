// The chart-check engine's backup index: the index read last, and a new index merged with it.
// Format: docs/backup-index.md.
#include "CvLibChartCheckParts.h"

#include "CvLibBackupIndex.h"
#include "CvLibErrors.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>

#include <algorithm>

namespace cvlib::detail {

// The index's path with its folder's links resolved: the same backup reached through a
// linked folder (a mount point, a link on the desktop) is still the same backup.
QString BackupIndexMerge::IndexPath(const QString& path) {
  const QFileInfo info(path);
  const QString folder = info.absoluteDir().canonicalPath();
  return folder.isEmpty() ? info.absoluteFilePath() : folder + u'/' + info.fileName();
}

int BackupIndexMerge::Read(const QString& path, std::vector<std::shared_ptr<InstallItem>>& items) {
  std::vector<TItemData> data;
  const int error = ReadBackupIndexFile(path, data);
  if (error) {
    fItems.clear();
    fPath.clear();
    return error;
  }
  std::vector<std::shared_ptr<InstallItem>> read;
  for (TItemData& d : data) read.push_back(std::make_shared<InstallItem>(std::move(d)));
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
  if (!fPath.isEmpty() && fPath == IndexPath(path)) {
    const size_t updated = out.size();
    for (const auto& item : fItems)
      if (!contains(item->ProductNumber(), item->ModuleMask())) out.push_back(item->Data());
    // A file that was current and not fetched again keeps the XXH3 the earlier run noted,
    // when it is the very file the earlier index describes.
    for (size_t i = 0; i < updated; ++i) {
      const InstallItem* old = Find(out[i].productNumber, out[i].moduleMask);
      if (!old) continue;
      QHash<QString, const TItemFile*> known;
      for (const TItemFile& o : old->Data().files)
        if (!o.xxh3.isEmpty()) known.insert(o.folder + u'/' + o.name, &o);
      if (known.isEmpty()) continue;
      for (TItemFile& f : out[i].files) {
        if (!f.xxh3.isEmpty()) continue;
        const TItemFile* o = known.value(f.folder + u'/' + f.name);
        if (o && o->size == f.size && o->time == f.time && o->addOn == f.addOn && !o->sha256.isEmpty() &&
            o->sha256 == f.sha256)
          f.xxh3 = o->xxh3;
      }
    }
  }
  return WriteBackupIndexFile(path, out);
}

InstallItem* BackupIndexMerge::Find(int productNumber, int moduleMask) const {
  for (const auto& item : fItems)
    if (item->ProductNumber() == productNumber && item->ModuleMask() == moduleMask) return item.get();
  return nullptr;
}

}  // namespace cvlib::detail
