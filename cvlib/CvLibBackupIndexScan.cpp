// The backup index's payload read straight from its text (an index of 20,000 files spent most
// of its reading time building and then querying a QJsonDocument). Strict, as the index is
// written by the engine alone: a missing field or one of the wrong type makes it corrupt.
// Format and errors: docs/backup-index.md.
#include "CvLibBackupIndex.h"

#include "CvLibErrors.h"
#include "CvLibItemJson.h"
#include "CvLibJsonScan.h"

#include <cstring>
#include <limits>
#include <set>
#include <string_view>
#include <utility>

namespace cvlib {
namespace {

using detail::JsonScan;

// Reads the field named by the current key, and afterwards (Check) tells whether every field
// of the object was there.
struct StrictFields {
  explicit StrictFields(JsonScan& s) : scan(s) {}
  JsonScan& scan;
  std::string_view key;
  bool checking = false;  // the second pass: only presence is looked at
  bool handled = false;
  bool ok = true;
  std::vector<const char*> seen;

  void Begin() {
    seen.clear();
    checking = false;
  }
  void Check() { checking = true; }
  // True when the value under the current key is this field's and is to be read now.
  bool Take(const char* name) {
    if (checking) {
      bool there = false;
      for (const char* s : seen) there = there || std::strcmp(s, name) == 0;
      if (!there) ok = false;
      return false;
    }
    if (handled || key != name) return false;
    handled = true;
    seen.push_back(name);
    return true;
  }
  bool Wrong() {
    ok = false;
    scan.Skip();
    return false;
  }
  template <typename O>
  void Int(O&, const char* name, int& out) {
    if (!Take(name)) return;
    out = 0;
    double d = 0;
    if (scan.Peek() != JsonScan::Type::Number) return void(Wrong());
    if (!scan.ReadNumber(d)) return;
    // The range first: casting a double beyond 64 bits is undefined.
    if (!(d >= std::numeric_limits<int32_t>::min() && d <= std::numeric_limits<uint32_t>::max()) ||
        d != static_cast<double>(static_cast<qint64>(d))) {
      ok = false;
      return;
    }
    out = static_cast<int>(static_cast<int64_t>(d));
  }
  template <typename O>
  void Version(O& o, const char* name, uint32_t& out) {
    int packed = 0;
    const bool reading = !checking && !handled && key == name;
    Int(o, name, packed);
    if (reading) out = static_cast<uint32_t>(packed);
  }
  // 64-bit sizes are decimal text.
  template <typename O>
  void Size(O&, const char* name, int64_t& out) {
    if (!Take(name)) return;
    out = 0;
    QString text;
    if (scan.Peek() != JsonScan::Type::String) return void(Wrong());
    if (!scan.ReadString(text)) return;
    bool good = false;
    const qint64 n = text.toLongLong(&good);
    if (!good || n < 0) {
      ok = false;
      return;
    }
    out = n;
  }
  template <typename O>
  void Str(O&, const char* name, QString& out) {
    if (!Take(name)) return;
    out.clear();
    if (scan.Peek() != JsonScan::Type::String) return void(Wrong());
    scan.ReadString(out);
  }
  template <typename O>
  void Bool(O&, const char* name, bool& out) {
    if (!Take(name)) return;
    out = false;
    if (scan.Peek() != JsonScan::Type::Bool) return void(Wrong());
    scan.ReadBool(out);
  }
};

// An item as it stood in the text; judged once the whole text has been read, so that a
// damaged text is corrupt whatever its first items say.
struct ScannedItem {
  TItemData d;
  bool object = true;
  bool fieldsOk = true;     // its own fields (sourceFolder included) are there with their types
  bool filesArray = false;  // "files" is there and an array
  std::vector<signed char> fileStates;  // 1 fine, 0 a field missing or of the wrong type, -1 no object
  bool optionalOk = true;   // version and signature, where there, are text
  int record = 0;           // 0 none, 1 an object with its fields, 2 an object without, -1 no object
};

// Reads the object at the reader's position: each key goes first to own, which reads the value
// and returns true when the key is its own, else to fields, which reads the object's fields
// through r. False when the value is no object; ok tells whether every field was there with
// its type.
template <typename Own, typename Fields>
bool ScanStrictObject(JsonScan& scan, bool& ok, Own&& own, Fields&& fields) {
  if (scan.Peek() != JsonScan::Type::Object) {
    scan.Skip();
    return false;
  }
  scan.BeginObject();
  StrictFields r(scan);
  r.Begin();
  std::string_view key;
  while (scan.NextKey(key)) {
    if (own(key)) continue;
    r.key = key;
    r.handled = false;
    fields(r);
    if (!r.handled) scan.Skip();
  }
  r.Check();
  fields(r);
  ok = r.ok;
  return true;
}

constexpr auto kNoOwnKeys = [](std::string_view) { return false; };

void ScanFile(JsonScan& scan, ScannedItem& item) {
  TItemFile& f = item.d.files.emplace_back();
  bool ok = false;
  bool xxh3Ok = true;
  const bool object = ScanStrictObject(
      scan, ok,
      [&](std::string_view key) {
        if (key != "xxh3") return false;
        // Optional (older indexes lack it), but never malformed: it stands in for the SHA-256
        // when the file is installed.
        if (scan.Peek() != JsonScan::Type::String) {
          xxh3Ok = false;
          scan.Skip();
        } else if (!scan.ReadString(f.xxh3) || !IsXxh3Hex(f.xxh3)) {
          xxh3Ok = false;
        }
        return true;
      },
      [&](StrictFields& r) {
        int none = 0;
        detail::FileFields(r, none, f);
      });
  item.fileStates.push_back(!object ? -1 : ok && xxh3Ok ? 1 : 0);
}

void ScanRecord(JsonScan& scan, ScannedItem& item) {
  bool ok = false;
  const bool object = ScanStrictObject(scan, ok, kNoOwnKeys, [&](StrictFields& r) {
    int none = 0;
    detail::ProductFields(r, none, item.d.product);
  });
  item.record = !object ? -1 : ok ? 1 : 2;
}

void ScanItem(JsonScan& scan, ScannedItem& item) {
  bool ok = false;
  item.object = ScanStrictObject(
      scan, ok,
      [&](std::string_view key) {
        if (key == "files") {
          if (item.filesArray || scan.Peek() != JsonScan::Type::Array) {
            item.filesArray = false;
            scan.Skip();
            return true;
          }
          item.filesArray = true;
          scan.BeginArray();
          while (scan.NextElement()) ScanFile(scan, item);
          return true;
        }
        if (key == "record") {
          ScanRecord(scan, item);
          return true;
        }
        // Optional (an index of format 1 has neither: its items are unsigned), never malformed.
        if (key == "version" || key == "signature") {
          QString& out = key == "version" ? item.d.version : item.d.signature;
          if (scan.Peek() != JsonScan::Type::String || !scan.ReadString(out)) {
            if (scan.Peek() != JsonScan::Type::String) scan.Skip();
            item.optionalOk = false;
          }
          return true;
        }
        return false;
      },
      [&](StrictFields& r) {
        int none = 0;
        detail::ItemFields(r, none, item.d);
        r.Str(none, "sourceFolder", item.d.sourceFolder);
      });
  item.fieldsOk = ok;
}

// The checks of one item, in the order the index has always been judged by.
int JudgeItem(ScannedItem& s) {
  if (!s.object || !s.filesArray || !s.optionalOk) return ceBackupIndexCorrupt;
  TItemData& item = s.d;
  int64_t total = 0;
  for (size_t i = 0; i < item.files.size(); ++i) {
    if (s.fileStates[i] < 0 || !(s.fieldsOk && s.fileStates[i] > 0)) return ceBackupIndexCorrupt;
    // The item's size is the sum of its files: it must be a size too.
    if (__builtin_add_overflow(total, item.files[i].size, &total)) return ceBackupIndexCorrupt;
    if (!detail::FileStaysInside(item.files[i])) return ceChkUnsafeName;
  }
  if (s.record < 0) return ceBackupIndexCorrupt;
  item.hasProduct = s.record == 1;
  if (!s.fieldsOk || s.record == 2) return ceBackupIndexCorrupt;
  // The backup folder is the base of these; none may lead out of it.
  if (!IsSafeRelativeFolder(item.sourceFolder) || !detail::ItemNamesSafe(item)) return ceChkUnsafeName;
  // The record stands in for the service's when the backup is installed: the same rule as there.
  if (item.hasProduct && !detail::ProductNamesSafe(item.product)) return ceChkUnsafeName;
  return ceOK;
}

}  // namespace

int ScanBackupIndexPayload(const QByteArray& payload, std::vector<TItemData>& items) {
  JsonScan scan(payload.constData(), static_cast<std::size_t>(payload.size()));
  std::vector<ScannedItem> scanned;
  if (!detail::ScanItemList(scan, [&] { ScanItem(scan, scanned.emplace_back()); })) return ceBackupIndexCorrupt;
  std::vector<TItemData> read;
  read.reserve(scanned.size());
  std::set<std::pair<int, int>> seen;  // an index lists each product and module once
  for (ScannedItem& s : scanned) {
    if (const int error = JudgeItem(s)) return error;
    if (!seen.insert({s.d.productNumber, s.d.moduleMask}).second) return ceBackupIndexCorrupt;
    read.push_back(std::move(s.d));
  }
  items = std::move(read);
  return ceOK;
}

}  // namespace cvlib
