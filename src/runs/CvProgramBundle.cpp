#include "CvProgramBundle.h"

#include "CvLibCrypto.h"
#include "CvLibFileIo.h"
#include "CvLibNet.h"
#include "CvLibSignature.h"
#include "CvRunFiles.h"
#include "CvZipLibrary.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QLibraryInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QStandardPaths>

#include <cstring>
#include <cerrno>
#include <algorithm>
#include <map>
#include <memory>
#include <vector>

#include <cstdio>
#include <climits>
#include <sys/stat.h>
#include <unistd.h>
#include <fcntl.h>

namespace cvruns {

namespace {

// ---- ELF ---------------------------------------------------------------------------------

constexpr quint32 kPtLoad = 1, kPtDynamic = 2;
constexpr quint64 kDtNull = 0, kDtNeeded = 1, kDtStrtab = 5, kDtStrsz = 10, kDtSoname = 14,
                  kDtRpath = 15, kDtRunpath = 29;

// Little-endian reads that never leave the file. The few blocks a dynamic section asks for are
// read as they are needed: no mapping of a library of megabytes (nor the page faults and the
// unmapping that cost more than the reads on a busy process).
class TElfView {
 public:
  TElfView(int fd, quint64 size) : fFd(fd), fSize(size) {}
  bool Has(quint64 offset, quint64 length) const { return offset <= fSize && length <= fSize - offset; }
  quint64 Get(quint64 offset, int width) const {
    quint64 v = 0;
    for (int i = width - 1; i >= 0; --i) v = (v << 8) | Byte(offset + static_cast<quint64>(i));
    return v;
  }
  // A zero-terminated string at offset inside [begin, end).
  bool String(quint64 offset, quint64 end, QString& out) const {
    if (offset >= end || end > fSize) return false;
    QByteArray bytes;
    for (quint64 at = offset; at < end; ++at) {
      const uchar c = Byte(at);
      if (c == 0) {
        out = QString::fromUtf8(bytes);
        return true;
      }
      bytes.append(static_cast<char>(c));
    }
    return false;
  }
  // A read of the file failed: what was parsed is not to be trusted.
  bool Failed() const { return fFailed; }

 private:
  static constexpr quint64 kBlock = 4096;
  static constexpr std::size_t kKeptBlocks = 64;
  uchar Byte(quint64 offset) const {
    const quint64 block = offset / kBlock;
    auto it = fBlocks.find(block);
    if (it == fBlocks.end()) {
      // A damaged or hostile file may point across all of itself: only the last few blocks stay.
      if (fBlocks.size() >= kKeptBlocks) fBlocks.clear();
      QByteArray data(static_cast<qsizetype>(std::min(kBlock, fSize - block * kBlock)), '\0');
      const ssize_t n = ::pread(fFd, data.data(), static_cast<size_t>(data.size()), static_cast<off_t>(block * kBlock));
      if (n != data.size()) {
        fFailed = true;
        data.fill('\0');
      }
      it = fBlocks.emplace(block, std::move(data)).first;
    }
    return static_cast<uchar>(it->second.at(static_cast<qsizetype>(offset % kBlock)));
  }

  int fFd;
  quint64 fSize;
  mutable std::map<quint64, QByteArray> fBlocks;
  mutable bool fFailed = false;
};

struct TLoadSegment {
  quint64 vaddr, offset, filesz;
};

bool ParseElf(const TElfView& f, quint64 size, TElfDynamic& elf, QString& error) {
  if (size < 16 || !f.Has(0, 16) || f.Get(0, 4) != 0x464c457fu) {
    error = QStringLiteral("not an ELF file");
    return false;
  }
  elf.elfClass = static_cast<int>(f.Get(4, 1));
  if (elf.elfClass != 1 && elf.elfClass != 2) {
    error = QStringLiteral("unknown ELF class");
    return false;
  }
  if (f.Get(5, 1) != 1) {
    error = QStringLiteral("not a little-endian ELF file");
    return false;
  }
  const bool wide = elf.elfClass == 2;
  const int word = wide ? 8 : 4;
  const quint64 headerSize = wide ? 64 : 52;
  if (!f.Has(0, headerSize)) {
    error = QStringLiteral("truncated ELF header");
    return false;
  }
  elf.machine = static_cast<int>(f.Get(18, 2));
  const quint64 phoff = f.Get(wide ? 32 : 28, word);
  const quint64 phentsize = f.Get(wide ? 54 : 42, 2);
  const quint64 phnum = f.Get(wide ? 56 : 44, 2);
  if (phentsize < (wide ? 56u : 32u) || !f.Has(phoff, phentsize * phnum)) {
    error = QStringLiteral("program headers outside the file");
    return false;
  }

  QList<TLoadSegment> loads;
  quint64 dynOffset = 0, dynSize = 0;
  bool hasDynamic = false;
  for (quint64 i = 0; i < phnum; ++i) {
    const quint64 p = phoff + i * phentsize;
    const quint32 type = static_cast<quint32>(f.Get(p, 4));
    const quint64 offset = f.Get(p + (wide ? 8 : 4), word);
    const quint64 vaddr = f.Get(p + (wide ? 16 : 8), word);
    const quint64 filesz = f.Get(p + (wide ? 32 : 16), word);
    if (type == kPtLoad) loads.append({vaddr, offset, filesz});
    if (type == kPtDynamic) {
      hasDynamic = true;
      dynOffset = offset;
      dynSize = filesz;
    }
  }
  if (!hasDynamic) return true;  // statically linked: needs nothing
  if (!f.Has(dynOffset, dynSize)) {
    error = QStringLiteral("dynamic section outside the file");
    return false;
  }

  quint64 strtab = 0, strsz = 0;
  bool hasStrtab = false;
  QList<quint64> needed, rpath, runpath;
  qint64 soname = -1;
  const quint64 entry = 2 * static_cast<quint64>(word);
  for (quint64 d = dynOffset; d + entry <= dynOffset + dynSize; d += entry) {
    const quint64 tag = f.Get(d, word), value = f.Get(d + word, word);
    if (tag == kDtNull) break;
    if (tag == kDtNeeded) needed.append(value);
    else if (tag == kDtRpath) rpath.append(value);
    else if (tag == kDtRunpath) runpath.append(value);
    else if (tag == kDtSoname) soname = static_cast<qint64>(value);
    else if (tag == kDtStrtab) {
      strtab = value;
      hasStrtab = true;
    } else if (tag == kDtStrsz) strsz = value;
  }
  if (needed.isEmpty() && rpath.isEmpty() && runpath.isEmpty() && soname < 0) return true;
  if (!hasStrtab) {
    error = QStringLiteral("no string table");
    return false;
  }
  // The string table is given as an address: find the file bytes behind it.
  quint64 strOffset = 0;
  bool mapped = false;
  for (const TLoadSegment& s : loads) {
    if (strtab >= s.vaddr && strtab - s.vaddr < s.filesz) {
      strOffset = s.offset + (strtab - s.vaddr);
      const quint64 room = s.filesz - (strtab - s.vaddr);
      if (strsz == 0 || strsz > room) strsz = room;
      mapped = true;
      break;
    }
  }
  if (!mapped || !f.Has(strOffset, strsz)) {
    error = QStringLiteral("string table outside the file");
    return false;
  }
  auto text = [&](quint64 index, QString& out) {
    if (index >= strsz || !f.String(strOffset + index, strOffset + strsz, out)) {
      error = QStringLiteral("string outside the string table");
      return false;
    }
    return true;
  };
  QString s;
  for (quint64 index : needed) {
    if (!text(index, s)) return false;
    elf.needed.append(s);
  }
  for (quint64 index : rpath) {
    if (!text(index, s)) return false;
    elf.rpath += s.split(QLatin1Char(':'));
  }
  for (quint64 index : runpath) {
    if (!text(index, s)) return false;
    elf.runpath += s.split(QLatin1Char(':'));
  }
  if (soname >= 0) {
    if (!text(static_cast<quint64>(soname), s)) return false;
    elf.soname = s;
  }
  return true;
}

// The dynamic section of the regular file open as fd, of size bytes.
bool ReadElfDynamicAt(int fd, qint64 size, TElfDynamic& elf, QString& error) {
  elf = TElfDynamic();
  const TElfView view(fd, static_cast<quint64>(size));
  const bool ok = ParseElf(view, static_cast<quint64>(size), elf, error);
  if (view.Failed()) {
    elf = TElfDynamic();
    error = QStringLiteral("read error");
    return false;
  }
  return ok;
}

// ---- Looking names up like the loader ---------------------------------------------------

// The folders the loader searches after the run paths: /etc/ld.so.conf (with its includes),
// then the built-in ones.
QStringList SystemLibraryFolders() {
  QStringList folders;
  QStringList confs{QStringLiteral("/etc/ld.so.conf")};
  QSet<QString> read;
  while (!confs.isEmpty()) {
    const QString conf = confs.takeFirst();
    if (read.contains(conf) || read.size() > 64) continue;
    read.insert(conf);
    QFile file(conf);
    if (!file.open(QIODevice::ReadOnly)) continue;
    const QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
    for (QString line : lines) {
      line = line.section(QLatin1Char('#'), 0, 0).trimmed();
      if (line.isEmpty()) continue;
      if (line.startsWith(QLatin1String("include "))) {
        QString pattern = line.mid(8).trimmed();
        if (!pattern.startsWith(QLatin1Char('/'))) pattern = QFileInfo(conf).absolutePath() + u'/' + pattern;
        const QFileInfo info(pattern);
        const QStringList matches = QDir(info.absolutePath()).entryList({info.fileName()}, QDir::Files, QDir::Name);
        for (const QString& m : matches) confs.append(info.absolutePath() + u'/' + m);
      } else if (line.startsWith(QLatin1Char('/'))) {
        folders.append(line);
      }
    }
  }
  folders << QStringLiteral("/lib") << QStringLiteral("/usr/lib") << QStringLiteral("/lib64")
          << QStringLiteral("/usr/lib64");
  return folders;
}

QStringList ExpandOrigin(const QStringList& paths, const QString& origin) {
  QStringList out;
  for (QString p : paths) {
    p.replace(QLatin1String("${ORIGIN}"), origin);
    p.replace(QLatin1String("$ORIGIN"), origin);
    // $LIB and $PLATFORM are not ours to guess; an empty entry (the current folder) is no
    // place a copy takes libraries from.
    if (!p.isEmpty() && !p.contains(QLatin1Char('$'))) out.append(p);
  }
  return out;
}

struct TLoaded {
  QString path;  // canonical
  TElfDynamic elf;
};

// Looks names up like the loader. A copy's program, its library and a dozen plug-ins ask for
// the same Qt libraries again and again: every path is looked at and every file read once.
class TResolver {
 public:
  TResolver(const TLoaded& program) : fProgram(program), fSystem(SystemLibraryFolders()) {
    fProgramChain = ExpandOrigin(program.elf.rpath, QFileInfo(program.path).absolutePath());
  }

  // The file the loader would take for name when requester asks for it (canonical, with its
  // dynamic section), or nullptr.
  const TLoaded* Find(const QString& name, const TLoaded& requester) const {
    if (name.contains(QLatin1Char('/'))) return Usable(name);
    QStringList folders;
    const QString origin = QFileInfo(requester.path).absolutePath();
    if (!requester.elf.runpath.isEmpty()) {
      folders = ExpandOrigin(requester.elf.runpath, origin);
    } else {
      // Without a run path of its own, the run paths of the program apply to every object.
      folders = ExpandOrigin(requester.elf.rpath, origin);
      if (fProgram.elf.runpath.isEmpty()) folders += fProgramChain;
    }
    folders += fSystem;
    for (const QString& folder : folders)
      if (const TLoaded* found = Usable(folder + u'/' + name)) return found;
    return nullptr;
  }

 private:
  // A regular file (after links) of the program's kind; else nullptr. Opened once, named by
  // what was opened: a few calls for each place looked at, where a copy looks at hundreds.
  const TLoaded* Usable(const QString& path) const {
    const auto asked = fByPath.constFind(path);
    if (asked != fByPath.cend()) return *asked;
    const TLoaded* usable = nullptr;
    // Not blocking: a FIFO under a library's name is refused, never waited on.
    const cvlib::TFd fd(::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat st {};
    if (fd.fd >= 0 && ::fstat(fd.fd, &st) == 0 && S_ISREG(st.st_mode)) {
      const QString canonical = OpenedPath(fd.fd, path);
      auto read = fByFile.find(canonical);
      if (read == fByFile.end()) {
        auto loaded = std::make_unique<TLoaded>();
        loaded->path = canonical;
        QString error;
        if (canonical.isEmpty() || !ReadElfDynamicAt(fd.fd, st.st_size, loaded->elf, error)) loaded.reset();
        read = fByFile.emplace(canonical, std::move(loaded)).first;
      }
      const TLoaded* file = read->second.get();
      if (file && file->elf.elfClass == fProgram.elf.elfClass && file->elf.machine == fProgram.elf.machine)
        usable = file;
    }
    fByPath.insert(path, usable);
    return usable;
  }

  // The canonical path of the file open as fd (opened by path).
  static QString OpenedPath(int fd, const QString& path) {
    char link[PATH_MAX];
    const QByteArray proc = "/proc/self/fd/" + QByteArray::number(fd);
    const ssize_t n = ::readlink(proc.constData(), link, sizeof link);
    if (n > 0 && n < static_cast<ssize_t>(sizeof link) && link[0] == '/') {
      const QString opened = QFile::decodeName(QByteArray(link, n));
      // A file deleted since it was opened is named so; it is looked up by its path instead.
      if (!opened.endsWith(QLatin1String(" (deleted)"))) return opened;
    }
    return QFileInfo(path).canonicalFilePath();
  }

  const TLoaded& fProgram;
  QStringList fSystem;
  QStringList fProgramChain;
  mutable QHash<QString, const TLoaded*> fByPath;  // as asked; nullptr: not usable
  mutable std::map<QString, std::unique_ptr<TLoaded>> fByFile;  // canonical; nullptr: no ELF object
};

// The plug-ins a copy takes, by folder: what the installer uses on the desktops it supports.
// The platforms for X11 and Wayland (and offscreen, for a start without a display, a few
// dozen kB), the Wayland client's xdg shell, its window decorations and its EGL integration
// (the compositor-side integrations are for compositors), input methods (dead keys, compose),
// the desktop portal's theme, and TLS through OpenSSL for https. No image formats: the program
// shows PNG only, which Qt reads without a plug-in; no icon engines, no GL integration of xcb
// (the windows are painted without OpenGL). A plug-in that is not there is left out.
struct TPluginSet {
  const char* folder;
  const char* pattern;
};
constexpr TPluginSet kPlugins[] = {
    {"platforms", "libqxcb.so"},
    {"platforms", "libqwayland-generic.so"},
    {"platforms", "libqwayland-egl.so"},
    {"platforms", "libqoffscreen.so"},
    {"wayland-shell-integration", "libxdg-shell.so"},
    {"wayland-decoration-client", "*.so"},
    {"wayland-graphics-integration-client", "libqt-plugin-wayland-egl.so"},
    {"platforminputcontexts", "*.so"},
    {"platformthemes", "libqxdgdesktopportal.so"},
    {"tls", "libqopensslbackend.so"},
};

// Both regular files (not links) of the same size and SHA-256.
// Byte for byte: as sure as comparing their SHA-256 and far cheaper than computing two. Only
// regular files, never through a link.
bool SameContent(const QString& a, const QString& b) {
  cvlib::TFd fa(::open(QFile::encodeName(a).constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  cvlib::TFd fb(::open(QFile::encodeName(b).constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  struct stat sa {}, sb {};
  if (fa.fd < 0 || fb.fd < 0 || ::fstat(fa.fd, &sa) != 0 || ::fstat(fb.fd, &sb) != 0 || !S_ISREG(sa.st_mode) ||
      !S_ISREG(sb.st_mode) || sa.st_size != sb.st_size)
    return false;
  constexpr std::size_t kChunk = std::size_t{1} << 20;
  std::vector<char> bufferA(kChunk), bufferB(kChunk);
  for (off_t at = 0; at < sa.st_size;) {
    const std::size_t want = static_cast<std::size_t>(std::min<off_t>(static_cast<off_t>(kChunk), sa.st_size - at));
    for (auto [fd, buffer] : {std::pair{fa.fd, bufferA.data()}, std::pair{fb.fd, bufferB.data()}}) {
      for (std::size_t got = 0; got < want;) {
        const ssize_t n = ::pread(fd, buffer + got, want - got, at + static_cast<off_t>(got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        got += static_cast<std::size_t>(n);
      }
    }
    if (std::memcmp(bufferA.data(), bufferB.data(), want) != 0) return false;
    at += static_cast<off_t>(want);
  }
  return true;
}

// Our own program and support library come from a build with debug information (two thirds
// of their size). They are stripped while they are copied, by binutils' strip when the
// computer has it; without it they are copied as they are. The libraries of the system come
// stripped already.
bool IsOwnFile(const TBundleFile& file) {
  return file.target == QLatin1String("Deployer") || file.target == QLatin1String("libCvLibNav5.so");
}

QString StripTool() { return QStandardPaths::findExecutable(QStringLiteral("strip")); }

// The installer's product, which a copy's manifest names.
constexpr char kInstallerProduct[] = "{B1509FE0-9898-43E1-BCEA-AB44A70E44EE}";
// A manifest is a few hundred bytes; anything much bigger under its name is not one.
constexpr qint64 kMaxManifestSize = 4096;

// A small regular file's bytes, not through a link; empty when it is none.
QByteArray ReadSmallFile(const QString& path) {
  const cvlib::TFd file(::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat st {};
  if (file.fd < 0 || ::fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMaxManifestSize) return {};
  QByteArray bytes(static_cast<qsizetype>(st.st_size), Qt::Uninitialized);
  return ::pread(file.fd, bytes.data(), bytes.size(), 0) == st.st_size ? bytes : QByteArray();
}

// A manifest and its signature, as Deployer.sig holds them (no file: empty bytes).
TCopyTrust ParseCopyManifest(const QByteArray& bytes, TCopyManifest& manifest) {
  if (bytes.size() <= cvlib::kEd25519SignatureSize) return ctMalformed;
  const QByteArray text = bytes.left(bytes.size() - cvlib::kEd25519SignatureSize);
  if (!cvlib::Ed25519Verify(cvlib::VendorPublicKey(),
                            reinterpret_cast<const unsigned char*>(bytes.constData() + text.size()),
                            reinterpret_cast<const unsigned char*>(text.constData()), static_cast<size_t>(text.size())))
    return ctBadSignature;
  // A signed text in another form (a later one) is refused, not guessed at.
  static const QRegularExpression form(QStringLiteral(
      R"(\ACorvane installer copy 1\nproduct (\{[0-9A-F-]{36}\})\nversion ([0-9]{1,3}(?:\.[0-9]{1,3}){3})\n)"
      R"(file Deployer ([0-9]{1,12}) ([0-9a-f]{64})\nfile libCvLibNav5\.so ([0-9]{1,12}) ([0-9a-f]{64})\n\z)"));
  const QRegularExpressionMatch m = form.match(QString::fromLatin1(text));
  if (!m.hasMatch()) return ctMalformed;
  if (m.captured(1) != QLatin1String(kInstallerProduct)) return ctOtherProduct;
  TCopyManifest read;
  read.version = m.captured(2);
  read.files = {{QStringLiteral("Deployer"), m.captured(3).toLongLong(), m.captured(4)},
                {QStringLiteral("libCvLibNav5.so"), m.captured(5).toLongLong(), m.captured(6)}};
  manifest = read;
  return ctSigned;
}

// A regular file (no link followed) of the signed size and SHA-256.
bool MatchesSigned(const QString& path, const TCopyManifestFile& signedFile) {
  struct stat st {};
  if (::lstat(QFile::encodeName(path).constData(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size != signedFile.size)
    return false;
  QString sha;
  std::int64_t size = 0;
  return HashFile(path, sha, size) == cvlib::ceOK && size == signedFile.size &&
         sha.compare(signedFile.sha256, Qt::CaseInsensitive) == 0;
}

// Writes source without its debug information and symbol table to a hidden name beside target,
// then renames it into place with the source's time and mode (less group and other write).
// ceOK when done; ceAborted on a stop; any other result: the caller copies the file as it is.
// The stripped form of one of our own files, made once for each state of its source and kept
// in the user's cache: a backup update compares the medium's copy with it and writes nothing
// when they agree, and strip's output never needs room on the medium.
int StrippedForm(const QString& tool, const QString& source, const cvlib::TFileCopyProgress& progress,
                 const std::atomic<bool>* stop, QString& stripped) {
  QString folder;
  if (const int error = PrivateCacheFolder(QStringLiteral("Stripped"), folder)) return error;
  struct stat st {};
  if (::stat(QFile::encodeName(source).constData(), &st) != 0 || !S_ISREG(st.st_mode)) return cvlib::ceFileRead;
  const QFileInfo from(source);
  const QString key = QString::fromLatin1(
      QCryptographicHash::hash(QFile::encodeName(from.canonicalFilePath()), QCryptographicHash::Sha256).toHex().left(16));
  stripped = folder + QStringLiteral("%1-%2-%3.%4-%5-%6")
                          .arg(key)
                          .arg(st.st_size)
                          .arg(st.st_mtim.tv_sec)
                          .arg(st.st_mtim.tv_nsec)
                          .arg(st.st_ino)
                          .arg(from.fileName());
  if (QFileInfo(stripped).isFile() && QFileInfo(stripped).size() > 0) return cvlib::ceOK;
  // Forms of earlier states of this source go.
  for (const QString& old : QDir(folder).entryList({key + QStringLiteral("-*")}, QDir::Files | QDir::Hidden))
    QFile::remove(folder + old);
  const QString temp = folder + QStringLiteral(".strip-") + QString::number(QCoreApplication::applicationPid());
  QFile::remove(temp);
  QProcess strip;
  strip.setStandardOutputFile(QProcess::nullDevice());
  strip.setStandardErrorFile(QProcess::nullDevice());
  // The program needs no symbols beyond its dynamic ones; a library keeps those others link to.
  strip.start(tool, {source.endsWith(QLatin1String(".so")) ? QStringLiteral("--strip-unneeded") : QStringLiteral("--strip-all"),
                     QStringLiteral("-o"), temp, source});
  bool stopped = false;
  while (!strip.waitForFinished(50)) {
    if (strip.state() == QProcess::NotRunning) break;
    if ((stop && stop->load()) || (progress && !progress(source, 0, from.size()))) {
      stopped = true;
      strip.kill();
      strip.waitForFinished(5000);
      break;
    }
  }
  bool ok = !stopped && strip.exitStatus() == QProcess::NormalExit && strip.exitCode() == 0;
  if (ok) {
    QFile out(temp);
    ok = out.open(QIODevice::ReadWrite) && out.size() > 0 &&
         out.setFileTime(from.lastModified(), QFileDevice::FileModificationTime);
    out.close();
  }
  ok = ok && std::rename(QFile::encodeName(temp).constData(), QFile::encodeName(stripped).constData()) == 0;
  if (!ok) {
    QFile::remove(temp);
    return stopped ? cvlib::ceAborted : cvlib::ceFileWrite;
  }
  return cvlib::ceOK;
}

}  // namespace

bool ReadElfDynamic(const QString& path, TElfDynamic& elf, QString& error) {
  elf = TElfDynamic();
  const cvlib::TFd fd(::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  struct stat st {};
  if (fd.fd < 0 || ::fstat(fd.fd, &st) != 0) {
    error = QString::fromLocal8Bit(std::strerror(errno));
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    error = QStringLiteral("not an ELF file");
    return false;
  }
  return ReadElfDynamicAt(fd.fd, st.st_size, elf, error);
}

bool IsSystemLibrary(const QString& soname) {
  // Looked up by name, not matched by pattern: a copy asks a few hundred times.
  static const QSet<QString> system = [] {
    QSet<QString> names;
    for (const char* name : {
             // C and C++ run-time
             "libc", "libm", "libmvec", "libdl", "libpthread", "librt", "libresolv", "libutil", "libanl", "libcrypt",
             "libBrokenLocale", "libnsl", "libgcc_s", "libstdc++",
             // what every installation has (compression, security, system)
             "libz", "libzstd", "liblzma", "libbz2", "liblz4", "libpcre2-8", "libselinux", "libcap", "libgcrypt",
             "libgpg-error", "libsystemd", "libudev", "libuuid", "libblkid", "libmount", "libbsd", "libmd", "libffi",
             "libexpat",
             // the desktop: GLib, D-Bus, fonts and text shaping
             "libglib-2.0", "libgobject-2.0", "libgio-2.0", "libgmodule-2.0", "libgthread-2.0", "libdbus-1",
             "libfontconfig", "libfreetype", "libpng16", "libbrotlicommon", "libbrotlidec", "libharfbuzz",
             "libgraphite2",
             // Unicode (ICU, 37 MB, two thirds of a copy): libxml2 needs it, and with it every desktop
             "libicudata", "libicuuc", "libicui18n",
             // graphics drivers and the display's client libraries
             "libGL", "libEGL", "libGLX", "libGLESv2", "libOpenGL", "libGLdispatch", "libgbm", "libdrm", "libvulkan",
             "libX11", "libX11-xcb", "libxcb", "libXau", "libXdmcp", "libXext", "libXrender", "libXfixes", "libXi",
             "libXcursor", "libXrandr", "libXinerama", "libwayland-client", "libwayland-cursor", "libwayland-egl"})
      names.insert(QString::fromLatin1(name));
    return names;
  }();
  // Nothing or .<digits>, any number of times.
  const auto versionsOnly = [&soname](qsizetype i) {
    while (i < soname.size()) {
      if (soname[i] != u'.') return false;
      const qsizetype digits = ++i;
      while (i < soname.size() && soname[i] >= u'0' && soname[i] <= u'9') ++i;
      if (i == digits) return false;
    }
    return true;
  };
  // <name>.so and its versions; every split of that form counts.
  static const QLatin1String kSo(".so");
  for (qsizetype at = soname.indexOf(kSo); at > 0; at = soname.indexOf(kSo, at + 1)) {
    if (!versionsOnly(at + kSo.size())) continue;
    const QStringView name = QStringView(soname).left(at);
    // The loader's own (ld-linux-x86-64, ...) and the name-service modules come in many names.
    if (system.contains(name.toString()) || name.startsWith(QLatin1String("ld-linux")) ||
        name.startsWith(QLatin1String("libnss_")))
      return true;
  }
  return false;
}

int PlanProgramBundle(const QString& programFolder, TProgramBundle& bundle, QString& error,
                      const QString& pluginFolder) {
  bundle = TProgramBundle();
  const QString folder = QFileInfo(programFolder).canonicalFilePath();
  if (folder.isEmpty()) {
    error = programFolder;
    return cvlib::ceFileNotFound;
  }
  TLoaded program;
  program.path = QFileInfo(folder + QStringLiteral("/Deployer")).canonicalFilePath();
  if (program.path.isEmpty()) {
    error = folder + QStringLiteral("/Deployer");
    return cvlib::ceFileNotFound;
  }
  if (!ReadElfDynamic(program.path, program.elf, error)) {
    error = program.path + QStringLiteral(": ") + error;
    return cvlib::ceFileRead;
  }
  // What the program loads when it first needs it, as if it were linked.
  program.elf.needed.append(QString::fromLatin1(cvzip::kLibraryName));
  const TResolver resolver(program);
  const QString signature = QFileInfo(program.path).absolutePath() + u'/' + QLatin1String(kCopySignatureName);
  if (struct stat st {}; ::lstat(QFile::encodeName(signature).constData(), &st) == 0 && S_ISREG(st.st_mode))
    bundle.signature = signature;

  QSet<QString> targets;  // paths in the copy already planned
  QSet<QString> expected;
  auto targetFor = [&](const QString& name, const QString& source) {
    // A library lying in the program's own folder keeps its place, everything else goes below.
    return QFileInfo(source).absolutePath() == folder ? name
                                                      : QString::fromLatin1(kBundleLibFolder) + u'/' + name;
  };

  // The libraries (not yet planned) that the objects in queue need, in loading order;
  // false with the first name nothing provides.
  auto close = [&](QList<TLoaded> queue, QList<TBundleFile>& added, QString& missing) {
    QSet<QString> seen;
    while (!queue.isEmpty()) {
      const TLoaded object = queue.takeFirst();
      for (const QString& name : object.elf.needed) {
        if (IsSystemLibrary(name)) {
          expected.insert(name);
          continue;
        }
        const TLoaded* found = resolver.Find(name, object);
        if (!found) {
          missing = name;
          return false;
        }
        const QString target = targetFor(name, found->path);
        if (targets.contains(target) || seen.contains(target)) continue;
        seen.insert(target);
        added.append({found->path, target});
        queue.append(*found);
      }
    }
    return true;
  };

  TLoaded library;
  library.path = QFileInfo(folder + QStringLiteral("/libCvLibNav5.so")).canonicalFilePath();
  if (library.path.isEmpty()) {
    error = folder + QStringLiteral("/libCvLibNav5.so");
    return cvlib::ceFileNotFound;
  }
  if (!ReadElfDynamic(library.path, library.elf, error)) {
    error = library.path + QStringLiteral(": ") + error;
    return cvlib::ceFileRead;
  }
  // What the support library loads when it first needs it, as if it were linked.
  library.elf.needed.append(QString::fromLatin1(cvcrypto::kLibraryName));
  library.elf.needed.append(QString::fromLatin1(cvlib::kNetLibraryName));
  bundle.files.append({program.path, QStringLiteral("Deployer")});
  bundle.files.append({library.path, QStringLiteral("libCvLibNav5.so")});
  targets << QStringLiteral("Deployer") << QStringLiteral("libCvLibNav5.so");
  QList<TBundleFile> libraries;
  QString missing;
  if (!close({program, library}, libraries, missing)) {
    error = missing;
    return cvlib::ceFileNotFound;
  }
  for (const TBundleFile& f : libraries) targets.insert(f.target);
  bundle.files += libraries;

  QString plugins = pluginFolder;
  if (plugins.isEmpty()) {
    const QString own = folder + u'/' + QString::fromLatin1(kBundleLibFolder) + QStringLiteral("/plugins");
    plugins = QFileInfo(own).isDir() ? own : QLibraryInfo::path(QLibraryInfo::PluginsPath);
  }
  for (const TPluginSet& set : kPlugins) {
    const QString sub = QString::fromLatin1(set.folder);
    const QDir dir(plugins + u'/' + sub);
    const QStringList names = dir.entryList({QString::fromLatin1(set.pattern)}, QDir::Files, QDir::Name);
    for (const QString& name : names) {
      const QString target = QString::fromLatin1(kBundleLibFolder) + QStringLiteral("/plugins/") + sub + u'/' + name;
      if (targets.contains(target)) continue;
      TLoaded plugin;
      plugin.path = QFileInfo(dir.filePath(name)).canonicalFilePath();
      QString why;
      if (!ReadElfDynamic(plugin.path, plugin.elf, why) || plugin.elf.elfClass != program.elf.elfClass ||
          plugin.elf.machine != program.elf.machine) {
        bundle.skipped.append(sub + u'/' + name);
        continue;
      }
      QList<TBundleFile> needs;
      if (!close({plugin}, needs, missing)) {
        bundle.skipped.append(sub + u'/' + name + QStringLiteral(" (") + missing + u')');
        continue;
      }
      bundle.files.append({plugin.path, target});
      targets.insert(target);
      for (const TBundleFile& f : needs) targets.insert(f.target);
      bundle.files += needs;
    }
  }
  bundle.expected = QStringList(expected.begin(), expected.end());
  bundle.expected.sort();
  return cvlib::ceOK;
}

int CopyProgramBundle(const TProgramBundle& bundle, const QString& targetFolder, QString& failedFile,
                      const cvlib::TFileCopyProgress& progress, const std::atomic<bool>* stop,
                      TCopyTrust* copyTrust) {
  const QString root = QDir::cleanPath(targetFolder) + u'/';
  // The manifest the copy will carry, when the program has one that holds.
  TCopyManifest manifest;
  // Read once: the bytes checked are the bytes the copy gets.
  QByteArray signatureBytes = bundle.signature.isEmpty() ? QByteArray() : ReadSmallFile(bundle.signature);
  TCopyTrust check = bundle.signature.isEmpty() ? ctUnsigned : ParseCopyManifest(signatureBytes, manifest);
  if (check != ctSigned) signatureBytes.clear();
  const QString mediumSignature = root + QLatin1String(kCopySignatureName);
  // An old manifest goes before any file changes: until the new one is written, the copy is
  // told as unsigned rather than vouched for by a manifest of other files.
  if (ReadSmallFile(mediumSignature) != signatureBytes || signatureBytes.isEmpty()) {
    if (::unlink(QFile::encodeName(mediumSignature).constData()) != 0 && errno != ENOENT) {
      failedFile = mediumSignature;
      return static_cast<int>(cvlib::ceFileDelete);
    }
  }
  // Folders below the target are made here, each refused when something else (a link
  // above all) is in its place.
  auto makeFolders = [&](const QString& relative) {
    const QStringList parts = relative.split(u'/', Qt::SkipEmptyParts);
    QString path = root;
    for (int i = 0; i + 1 < parts.size(); ++i) {
      path += parts[i];
      const QFileInfo info(path);
      if (info.isSymLink()) {
        failedFile = path;
        return static_cast<int>(cvlib::ceChkLinkedFolder);
      }
      if (!info.exists() && !QDir().mkdir(path)) {
        failedFile = path;
        return static_cast<int>(cvlib::ceDirCreate);
      }
      if (!QFileInfo(path).isDir()) {
        failedFile = path;
        return static_cast<int>(cvlib::ceDirCreate);
      }
      path += u'/';
    }
    return static_cast<int>(cvlib::ceOK);
  };
  for (const TBundleFile& file : bundle.files) {
    if (int error = makeFolders(file.target)) return error;
    // Updating a backup: a copy is kept only when its content is its source's (autorun.sh
    // starts it; size and time alone are anyone's to fake). Our own files are stripped on the
    // way, and a stripped copy that says the same stays as it is.
    QString source = file.source;
    if (IsOwnFile(file)) {
      const TCopyManifestFile* signedFile = check == ctSigned ? manifest.Find(file.target) : nullptr;
      // A package's files are the signed ones already; a build's are stripped first.
      if (!signedFile || !MatchesSigned(file.source, *signedFile)) {
        const QString tool = StripTool();
        QString stripped;
        const int formed = tool.isEmpty() ? static_cast<int>(cvlib::ceFileNotFound)
                                          : StrippedForm(tool, file.source, progress, stop, stripped);
        if (formed == cvlib::ceAborted || (stop && stop->load())) {
          failedFile = file.source;
          return static_cast<int>(cvlib::ceAborted);
        }
        // Without strip (or when it fails) the file goes as it is.
        if (formed == cvlib::ceOK) source = stripped;
        // Not what the vendor signed (another strip, a changed program): the copy goes unsigned.
        if (check == ctSigned && (!signedFile || !MatchesSigned(source, *signedFile))) check = ctChanged;
      }
    }
    if (SameContent(source, root + file.target)) continue;
    // The progress names the file of the installer, not its stripped form in the cache.
    cvlib::TFileCopyProgress named;
    if (progress)
      named = [&progress, &file](const QString&, qint64 done, qint64 total) { return progress(file.source, done, total); };
    // Shown before the first byte, and a stop asked for then writes nothing.
    if ((named && !named(file.source, 0, QFileInfo(source).size())) || (stop && stop->load())) {
      failedFile = file.source;
      return static_cast<int>(cvlib::ceAborted);
    }
    if (int error = CopyChecked(source, root + file.target, -1, {}, 0, named, stop)) {
      failedFile = file.source;
      return error;
    }
  }
  // Kept when it says the same: an unchanged backup is not written again.
  const bool confSame = ReadSmallFile(root + QStringLiteral("qt.conf")) == QByteArray(kBundleQtConf);
  if (int error = confSame ? 0 : WriteWholeFile(root + QStringLiteral("qt.conf"), QByteArray(kBundleQtConf))) {
    failedFile = root + QStringLiteral("qt.conf");
    return error;
  }
  // Last, when every file it names is in place; a copy whose files are not the signed ones
  // keeps no manifest.
  if (check == ctSigned && ReadSmallFile(mediumSignature) != signatureBytes) {
    if (int error = WriteWholeFile(mediumSignature, signatureBytes)) {
      failedFile = mediumSignature;
      return error;
    }
  } else if (check != ctSigned && ::unlink(QFile::encodeName(mediumSignature).constData()) != 0 && errno != ENOENT) {
    failedFile = mediumSignature;
    return static_cast<int>(cvlib::ceFileDelete);
  }
  if (copyTrust) *copyTrust = check;
  return cvlib::ceOK;
}

const TCopyManifestFile* TCopyManifest::Find(const QString& name) const {
  for (const TCopyManifestFile& f : files)
    if (f.name == name) return &f;
  return nullptr;
}

TCopyTrust ReadCopyManifest(const QString& file, TCopyManifest& manifest) {
  struct stat st {};
  if (::lstat(QFile::encodeName(file).constData(), &st) != 0) return ctUnsigned;
  return ParseCopyManifest(ReadSmallFile(file), manifest);
}

QStringList ChangedBundleTexts(const QString& folder) {
  const QString root = QDir::cleanPath(folder) + u'/';
  const std::pair<const char*, const char*> written[] = {
      {"qt.conf", kBundleQtConf}, {"autorun.sh", kBundleAutorunSh}, {"Autorun.inf", kBundleAutorunInf}};
  QStringList changed;
  for (const auto& [name, content] : written) {
    const QString path = root + QLatin1String(name);
    struct stat st {};
    if (::lstat(QFile::encodeName(path).constData(), &st) == 0 && ReadSmallFile(path) != QByteArray(content))
      changed << QLatin1String(name);
  }
  return changed;
}

TCopyTrust CheckProgramCopy(const QString& folder, QStringList& changed) {
  const QString root = QDir::cleanPath(folder) + u'/';
  TCopyManifest manifest;
  const TCopyTrust check = ReadCopyManifest(root + QLatin1String(kCopySignatureName), manifest);
  if (check != ctSigned) return check;
  for (const TCopyManifestFile& f : manifest.files)
    if (!MatchesSigned(root + f.name, f)) changed.append(f.name);
  return changed.isEmpty() ? ctSigned : ctChanged;
}

}  // namespace cvruns
