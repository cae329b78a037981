#include "CvLibBackupIndex.h"

#include "CvLibErrors.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <limits>

namespace cvlib {
namespace {

// First line: magic, format version, payload length in bytes, SHA-256 of the payload.
constexpr char kMagic[] = "CVBACKUPIDX";
constexpr qint64 kMaxIndexSize = 64 * 1024 * 1024;
constexpr qint64 kMaxHeaderLine = 200;

QJsonObject ProductToJson(const TProductData& p) {
  QJsonObject o;
  o["number"] = p.productNumber;
  o["kind"] = p.kind;
  o["group"] = p.group;
  o["displayName"] = p.displayName;
  o["itemTitle"] = p.itemTitle;
  o["moduleMask"] = p.moduleMask;
  o["registryKey"] = p.registryKey;
  o["revision"] = p.revision;
  o["latestVersion"] = static_cast<qint64>(p.latestVersion);
  o["size"] = QString::number(p.size);  // 64-bit values as text: JSON numbers are doubles
  o["installFolder"] = p.installFolder;
  o["checked"] = p.checked;
  return o;
}

QJsonObject ItemToJson(const TItemData& item) {
  QJsonObject o;
  o["product"] = item.productNumber;
  o["mask"] = item.moduleMask;
  o["productCode"] = item.productCode;
  o["productName"] = item.productName;
  o["moduleCode"] = item.moduleCode;
  o["moduleName"] = item.moduleName;
  o["revision"] = item.revision;
  o["installFolder"] = item.installFolder;
  o["sourceFolder"] = item.sourceFolder;
  o["status"] = item.status;
  QJsonArray files;
  for (const TItemFile& f : item.files) {
    QJsonObject fo;
    fo["name"] = f.name;
    fo["folder"] = f.folder;
    fo["size"] = QString::number(f.size);
    fo["time"] = f.time;
    fo["addon"] = f.addOn;
    fo["sha256"] = f.sha256;
    files.append(fo);
  }
  o["files"] = files;
  if (item.hasProduct) o["record"] = ProductToJson(item.product);
  return o;
}

// Strict readers: a missing field or one of the wrong type makes the index corrupt.
struct Reader {
  bool ok = true;
  int Int(const QJsonObject& o, const char* key) {
    const QJsonValue v = o.value(QLatin1String(key));
    const double d = v.toDouble(std::numeric_limits<double>::quiet_NaN());
    if (!v.isDouble() || d != static_cast<double>(static_cast<qint64>(d)) ||
        d < std::numeric_limits<int32_t>::min() || d > std::numeric_limits<uint32_t>::max()) {
      ok = false;
      return 0;
    }
    return static_cast<int>(static_cast<int64_t>(d));
  }
  int64_t Int64(const QJsonObject& o, const char* key) {
    const QJsonValue v = o.value(QLatin1String(key));
    bool good = false;
    const qint64 n = v.toString().toLongLong(&good);
    if (!v.isString() || !good || n < 0) {
      ok = false;
      return 0;
    }
    return n;
  }
  QString Str(const QJsonObject& o, const char* key) {
    const QJsonValue v = o.value(QLatin1String(key));
    if (!v.isString()) ok = false;
    return v.toString();
  }
  bool Bool(const QJsonObject& o, const char* key) {
    const QJsonValue v = o.value(QLatin1String(key));
    if (!v.isBool()) ok = false;
    return v.toBool();
  }
};

bool ProductFromJson(Reader& r, const QJsonObject& o, TProductData& p) {
  p.productNumber = r.Int(o, "number");
  p.kind = r.Int(o, "kind");
  p.group = r.Int(o, "group");
  p.displayName = r.Str(o, "displayName");
  p.itemTitle = r.Str(o, "itemTitle");
  p.moduleMask = r.Int(o, "moduleMask");
  p.registryKey = r.Str(o, "registryKey");
  p.revision = r.Int(o, "revision");
  p.latestVersion = static_cast<uint32_t>(r.Int(o, "latestVersion"));
  p.size = r.Int64(o, "size");
  p.installFolder = r.Str(o, "installFolder");
  p.checked = r.Bool(o, "checked");
  return r.ok;
}

int ItemFromJson(const QJsonObject& o, TItemData& item) {
  Reader r;
  item.productNumber = r.Int(o, "product");
  item.moduleMask = r.Int(o, "mask");
  item.productCode = r.Str(o, "productCode");
  item.productName = r.Str(o, "productName");
  item.moduleCode = r.Str(o, "moduleCode");
  item.moduleName = r.Str(o, "moduleName");
  item.revision = r.Int(o, "revision");
  item.installFolder = r.Str(o, "installFolder");
  item.sourceFolder = r.Str(o, "sourceFolder");
  item.status = r.Int(o, "status");
  const QJsonValue files = o.value(QLatin1String("files"));
  if (!files.isArray()) return ceBackupIndexCorrupt;
  for (const QJsonValue& fv : files.toArray()) {
    if (!fv.isObject()) return ceBackupIndexCorrupt;
    const QJsonObject fo = fv.toObject();
    TItemFile f;
    f.name = r.Str(fo, "name");
    f.folder = r.Str(fo, "folder");
    f.size = r.Int64(fo, "size");
    f.time = r.Int(fo, "time");
    f.addOn = r.Bool(fo, "addon");
    f.sha256 = r.Str(fo, "sha256");
    if (!r.ok) return ceBackupIndexCorrupt;
    if (!IsSafeFileName(f.name) || !IsSafeRelativeFolder(f.folder)) return ceChkUnsafeName;
    item.files.push_back(f);
  }
  const QJsonValue record = o.value(QLatin1String("record"));
  if (record.isObject()) {
    item.hasProduct = ProductFromJson(r, record.toObject(), item.product);
  } else if (!record.isUndefined()) {
    return ceBackupIndexCorrupt;
  }
  if (!r.ok) return ceBackupIndexCorrupt;
  // The backup folder is the base of these; none may lead out of it.
  if (!IsSafeRelativeFolder(item.sourceFolder) || !IsSafeRelativeFolder(item.installFolder) ||
      (!item.productCode.isEmpty() && !IsSafeFileName(item.productCode)) ||
      (!item.moduleCode.isEmpty() && !IsSafeFileName(item.moduleCode)))
    return ceChkUnsafeName;
  return ceOK;
}

}  // namespace

int WriteBackupIndexFile(const QString& path, const std::vector<TItemData>& items) {
  QJsonArray array;
  for (const TItemData& item : items) array.append(ItemToJson(item));
  QJsonObject root;
  root["items"] = array;
  const QByteArray payload = QJsonDocument(root).toJson(QJsonDocument::Indented);
  const QByteArray header = QByteArray(kMagic) + ' ' + QByteArray::number(kBackupIndexVersion) + ' ' +
                            QByteArray::number(payload.size()) + ' ' +
                            QCryptographicHash::hash(payload, QCryptographicHash::Sha256).toHex() + '\n';
  QSaveFile file(path);
  if (!file.open(QIODevice::WriteOnly)) return ceBackupIndexWrite;
  if (file.write(header) != header.size() || file.write(payload) != payload.size()) {
    file.cancelWriting();
    return ceBackupIndexWrite;
  }
  return file.commit() ? ceOK : ceBackupIndexWrite;
}

int ReadBackupIndexFile(const QString& path, std::vector<TItemData>& items) {
  QFile file(path);
  if (!file.exists()) return ceBackupIndexMissing;
  if (!file.open(QIODevice::ReadOnly)) return ceFileRead;
  if (file.size() > kMaxIndexSize) return ceBackupIndexForeign;
  const QByteArray data = file.readAll();
  if (data.size() != file.size()) return ceFileRead;

  const QByteArray magic = QByteArray(kMagic) + ' ';
  if (!data.startsWith(magic)) {
    // A file cut inside the magic is a damaged index, not a foreign file.
    return (!data.isEmpty() && magic.startsWith(data)) ? ceBackupIndexCorrupt : ceBackupIndexForeign;
  }
  const qint64 eol = data.indexOf('\n');
  if (eol < 0 || eol > kMaxHeaderLine) return ceBackupIndexCorrupt;
  const QList<QByteArray> fields = data.left(eol).split(' ');
  if (fields.size() != 4) return ceBackupIndexCorrupt;
  bool okVersion = false, okLength = false;
  const int version = fields[1].toInt(&okVersion);
  const qint64 length = fields[2].toLongLong(&okLength);
  if (!okVersion || !okLength || version < 1 || length < 0) return ceBackupIndexCorrupt;
  if (version > kBackupIndexVersion) return ceBackupIndexNewer;
  const QByteArray payload = data.mid(eol + 1);
  if (payload.size() != length) return ceBackupIndexCorrupt;
  if (QCryptographicHash::hash(payload, QCryptographicHash::Sha256).toHex() != fields[3])
    return ceBackupIndexCorrupt;

  QJsonParseError parseError{};
  const QJsonDocument doc = QJsonDocument::fromJson(payload, &parseError);
  if (parseError.error != QJsonParseError::NoError || !doc.isObject()) return ceBackupIndexCorrupt;
  const QJsonValue array = doc.object().value(QLatin1String("items"));
  if (!array.isArray()) return ceBackupIndexCorrupt;
  std::vector<TItemData> read;
  for (const QJsonValue& v : array.toArray()) {
    if (!v.isObject()) return ceBackupIndexCorrupt;
    TItemData item;
    const int error = ItemFromJson(v.toObject(), item);
    if (error) return error;
    read.push_back(std::move(item));
  }
  items = std::move(read);
  return ceOK;
}

}  // namespace cvlib
