#include "CvLibBackupIndex.h"

#include "CvLibCrypto.h"
#include "CvLibErrors.h"
#include "CvLibItemJson.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cvlib {

bool IsXxh3Hex(const QString& text) {
  if (text.size() != 16) return false;
  for (const QChar c : text)
    if (!((c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f'))) return false;
  return true;
}

namespace {

// First line: magic, format version, payload length in bytes, SHA-256 of the payload.
constexpr char kMagic[] = "CVBACKUPIDX";
constexpr qint64 kMaxIndexSize = 64 * 1024 * 1024;
constexpr qint64 kMaxHeaderLine = 200;

// Writes the payload's JSON text straight into one buffer: building a document of tens of
// thousands of file objects first took most of a backup's last moments. Objects of an item are
// laid out one field a line, a file's fields on one line.
class TIndexText {
 public:
  explicit TIndexText(QByteArray& out) : fOut(out) {}

  // The field visitor of CvLibItemJson.h; the object argument is not used (fields go to the
  // object begun last).
  template <typename Object>
  void Int(Object&, const char* key, int value) {
    Key(key);
    fOut += QByteArray::number(value);
  }
  template <typename Object>
  void Str(Object&, const char* key, const QString& value) {
    Key(key);
    String(value);
  }
  template <typename Object>
  void Bool(Object&, const char* key, bool value) {
    Key(key);
    fOut += value ? "true" : "false";
  }
  // 64-bit values as text: JSON numbers are doubles.
  template <typename Object>
  void Size(Object&, const char* key, int64_t value) {
    Key(key);
    fOut += '"';
    fOut += QByteArray::number(static_cast<qint64>(value));
    fOut += '"';
  }
  template <typename Object>
  void Version(Object&, const char* key, uint32_t value) {
    Key(key);
    fOut += QByteArray::number(static_cast<qint64>(value));
  }

  // An object as the value of key (none: an element of the array begun last); on one line
  // when flat.
  void BeginObject(const char* key = nullptr, bool flat = false) {
    if (key) Key(key);
    else Element();
    fOut += '{';
    fLevels.push_back({flat || Flat(), true});
  }
  void EndObject() { End('}'); }
  void BeginArray(const char* key) {
    Key(key);
    fOut += '[';
    fLevels.push_back({Flat(), true});
  }
  void EndArray() { End(']'); }

 private:
  struct Level {
    bool flat;
    bool empty;
  };
  bool Flat() const { return !fLevels.empty() && fLevels.back().flat; }
  void Break(std::size_t depth) {
    fOut += '\n';
    fOut.append(static_cast<qsizetype>(depth * 4), ' ');
  }
  void Element() {
    if (fLevels.empty()) return;
    Level& level = fLevels.back();
    if (!level.empty) fOut += level.flat ? ", " : ",";
    if (!level.flat) Break(fLevels.size());
    level.empty = false;
  }
  void Key(const char* key) {
    Element();
    fOut += '"';
    fOut += key;
    fOut += "\": ";
  }
  void End(char close) {
    const Level level = fLevels.back();
    fLevels.pop_back();
    if (!level.flat && !level.empty) Break(fLevels.size());
    fOut += close;
  }
  void String(const QString& value) {
    static const char kHex[] = "0123456789abcdef";
    const QByteArray utf8 = value.toUtf8();
    fOut += '"';
    for (const char c : utf8) {
      const auto u = static_cast<unsigned char>(c);
      if (c == '"' || c == '\\') {
        fOut += '\\';
        fOut += c;
      } else if (u < 0x20) {
        switch (c) {
          case '\b': fOut += "\\b"; break;
          case '\f': fOut += "\\f"; break;
          case '\n': fOut += "\\n"; break;
          case '\r': fOut += "\\r"; break;
          case '\t': fOut += "\\t"; break;
          default:
            fOut += "\\u00";
            fOut += kHex[u >> 4];
            fOut += kHex[u & 15];
        }
      } else {
        fOut += c;
      }
    }
    fOut += '"';
  }

  QByteArray& fOut;
  std::vector<Level> fLevels;
};

void WriteItem(TIndexText& w, const TItemData& item) {
  const int none = 0;
  w.BeginObject();
  detail::ItemFields(w, none, item);
  w.Str(none, "sourceFolder", item.sourceFolder);
  if (!item.version.isEmpty()) w.Str(none, "version", item.version);
  if (!item.signature.isEmpty()) w.Str(none, "signature", item.signature);
  w.BeginArray("files");
  for (const TItemFile& f : item.files) {
    w.BeginObject(nullptr, true);
    detail::FileFields(w, none, f);
    if (!f.xxh3.isEmpty()) w.Str(none, "xxh3", f.xxh3);
    w.EndObject();
  }
  w.EndArray();
  if (item.hasProduct) {
    w.BeginObject("record");
    detail::ProductFields(w, none, item.product);
    w.EndObject();
  }
  w.EndObject();
}

bool WriteFully(int fd, const QByteArray& data) {
  const char* p = data.constData();
  qint64 left = data.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, p, static_cast<size_t>(left));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    left -= n;
  }
  return true;
}

// The renamed entry is durable only once its folder is. File systems that cannot sync a
// folder say EINVAL; there is nothing more to do on them.
bool SyncFolder(const QByteArray& folder) {
  const int fd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = ::fsync(fd) == 0 || errno == EINVAL;
  ::close(fd);
  return ok;
}

// At most kMaxIndexSize + 1 bytes of a regular file: a device, a pipe or a folder under
// the index's name is refused without reading (or waiting on) it.
int ReadIndexBytes(const QString& path, QByteArray& data) {
  const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return (errno == ENOENT || errno == ENOTDIR) ? ceBackupIndexMissing : ceFileRead;
  struct stat st {};
  int result = ceOK;
  if (::fstat(fd, &st) != 0) {
    result = ceFileRead;
  } else if (!S_ISREG(st.st_mode) || st.st_size > kMaxIndexSize) {
    result = ceBackupIndexForeign;
  } else {
    data.resize(static_cast<qsizetype>(st.st_size) + 1);  // one byte more shows a file that grew
    qint64 got = 0;
    while (got < data.size()) {
      const ssize_t n = ::read(fd, data.data() + got, static_cast<size_t>(data.size() - got));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        result = ceFileRead;
        break;
      }
      if (n == 0) break;
      got += n;
    }
    if (got != st.st_size) result = ceBackupIndexCorrupt;  // changed while being read
    data.truncate(got);
  }
  ::close(fd);
  return result;
}

// The index's checksum; OpenSSL's hash is several times faster than Qt's on an index of
// tens of thousands of files.
QByteArray Sha256Hex(const QByteArray& data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (cvcrypto::EVP_Digest(data.constData(), static_cast<size_t>(data.size()), digest, &length, cvcrypto::EVP_sha256(), nullptr) != 1)
    return QByteArray();
  return QByteArray(reinterpret_cast<const char*>(digest), static_cast<qsizetype>(length)).toHex();
}

}  // namespace

int WriteBackupIndexFile(const QString& path, const std::vector<TItemData>& items) {
  QByteArray payload;
  std::size_t files = 0;
  for (const TItemData& item : items) files += item.files.size();
  payload.reserve(static_cast<qsizetype>(4096 + 1024 * items.size() + 320 * files));
  TIndexText w(payload);
  w.BeginObject();
  w.BeginArray("items");
  for (const TItemData& item : items) WriteItem(w, item);
  w.EndArray();
  w.EndObject();
  payload += '\n';
  const QByteArray header = QByteArray(kMagic) + ' ' + QByteArray::number(kBackupIndexVersion) + ' ' +
                            QByteArray::number(payload.size()) + ' ' +
                            Sha256Hex(payload) + '\n';

  // A temporary file beside the index, synced, then renamed over it. The rename replaces
  // whatever entry has the index's name: a symbolic link there is replaced, not followed,
  // so nothing outside the backup folder is written.
  const QFileInfo info(path);
  const QByteArray target = QFile::encodeName(info.absoluteFilePath());
  QByteArray temp = target + ".XXXXXX";
  const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return ceBackupIndexWrite;
  // A file system that keeps no modes (FAT through FUSE) may not implement fchmod at all.
  bool ok = (::fchmod(fd, 0644) == 0 || errno == ENOSYS) && WriteFully(fd, header) && WriteFully(fd, payload) && ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  if (!ok || ::rename(temp.constData(), target.constData()) != 0) {
    ::unlink(temp.constData());
    return ceBackupIndexWrite;
  }
  return SyncFolder(QFile::encodeName(info.absolutePath())) ? ceOK : ceBackupIndexWrite;
}

int ReadBackupIndexFile(const QString& path, std::vector<TItemData>& items) {
  QByteArray data;
  if (const int error = ReadIndexBytes(path, data)) return error;

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
  if (Sha256Hex(payload) != fields[3])
    return ceBackupIndexCorrupt;

  return ScanBackupIndexPayload(payload, items);
}

}  // namespace cvlib
