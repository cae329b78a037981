#include "CvLibDrives.h"

#include "CvLibErrors.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <algorithm>
#include <vector>

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace cvlib {
namespace {

struct TVolume {
  QString root;  // mount point with a trailing '/'
  int type = dtUnknown;
  bool present = false;
};

QString AsRoot(const QString& path) {
  const QString clean = QDir::cleanPath(path);
  return clean.endsWith(QLatin1Char('/')) ? clean : clean + QLatin1Char('/');
}

// Mount points in /proc/self/mountinfo escape blank, tab, newline and backslash as \ooo.
QString UnescapeMountField(const QByteArray& field) {
  QByteArray out;
  out.reserve(field.size());
  for (int i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      bool ok = false;
      const int value = field.mid(i + 1, 3).toInt(&ok, 8);
      if (ok && value < 256) {
        out.append(static_cast<char>(value));
        i += 3;
        continue;
      }
    }
    out.append(field[i]);
  }
  return QFile::decodeName(out);
}

// File systems that hold no user files: kernel interfaces, container plumbing, packaged
// read-only images.
bool IsPseudoFs(const QByteArray& fs) {
  static const QSet<QByteArray> pseudo = {
      "proc",      "sysfs",      "cgroup",   "cgroup2",   "devpts",     "devtmpfs",  "mqueue",
      "debugfs",   "tracefs",    "securityfs", "pstore",  "bpf",        "configfs",  "fusectl",
      "hugetlbfs", "autofs",     "binfmt_misc", "efivarfs", "selinuxfs", "rpc_pipefs", "nsfs",
      "squashfs",  "nfsd",       "fuse.gvfsd-fuse", "fuse.portal", "fuse.lxcfs"};
  return pseudo.contains(fs);
}

bool IsUnder(const QString& path, const QString& folder) {
  return path == folder || path.startsWith(folder + QLatin1Char('/'));
}

// Mount points that belong to the system or to container machinery, not to the user.
bool IsSystemMountPoint(const QString& mountPoint, const QByteArray& fs) {
  for (const char* f : {"/proc", "/sys", "/dev", "/snap", "/var/lib/docker", "/var/lib/containers"})
    if (IsUnder(mountPoint, QLatin1String(f))) return true;
  if (IsUnder(mountPoint, QStringLiteral("/run")) && !IsUnder(mountPoint, QStringLiteral("/run/media")))
    return true;
  // The upper and work layers of overlays live below their storage folders.
  if (fs == "overlay" && mountPoint != QLatin1String("/") && mountPoint.contains(QLatin1String("/overlay")))
    return true;
  return false;
}

bool IsRemoteFs(const QByteArray& fs) {
  static const QSet<QByteArray> remote = {"nfs",    "nfs4",      "cifs",   "smb3",     "smbfs",
                                          "ncpfs",  "9p",        "afs",    "ceph",     "glusterfs",
                                          "lustre", "davfs",     "virtiofs", "coda",   "ocfs2"};
  if (remote.contains(fs)) return true;
  for (const char* f : {"fuse.sshfs", "fuse.glusterfs", "fuse.rclone", "fuse.davfs2", "fuse.s3fs", "fuse.curlftpfs"})
    if (fs == f) return true;
  return false;
}

QByteArray ReadSmallFile(const QString& path) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) return {};
  return f.read(4096).trimmed();
}

// Type of a volume on a block device, from /sys: removable flag of the whole disk, optical
// drives by their name.
int BlockDeviceType(const QByteArray& majorMinor) {
  const QString dev = QFileInfo(QStringLiteral("/sys/dev/block/") + QString::fromLatin1(majorMinor)).canonicalFilePath();
  if (dev.isEmpty()) return dtUnknown;
  QString disk = dev;
  if (QFileInfo::exists(dev + QStringLiteral("/partition"))) disk = QFileInfo(dev).path();
  const QString name = QFileInfo(disk).fileName();
  if (name.startsWith(QLatin1String("sr"))) return dtOptical;
  if (ReadSmallFile(disk + QStringLiteral("/removable")) == "1") return dtRemovable;
  return dtFixed;
}

int VolumeType(const QString& mountPoint, const QByteArray& fs, const QByteArray& majorMinor) {
  if (IsRemoteFs(fs)) return dtRemote;
  if (fs == "iso9660" || fs == "udf") return dtOptical;
  if (fs == "tmpfs" || fs == "ramfs") return dtRamDisk;
  const int block = BlockDeviceType(majorMinor);
  if (block == dtRemovable || block == dtOptical) return block;
  if (IsUnder(mountPoint, QStringLiteral("/media")) || IsUnder(mountPoint, QStringLiteral("/run/media")))
    return dtRemovable;
  return dtFixed;
}

bool Readable(const QString& root) { return ::access(QFile::encodeName(root).constData(), R_OK | X_OK) == 0; }

std::vector<TVolume> SystemVolumes() {
  std::vector<TVolume> volumes;
  QFile file(QStringLiteral("/proc/self/mountinfo"));
  if (!file.open(QIODevice::ReadOnly)) return volumes;
  // Format: id parent major:minor root mount-point options [optional...] - fstype source super
  for (const QByteArray& line : file.readAll().split('\n')) {
    const QList<QByteArray> f = line.split(' ');
    const qsizetype dash = f.indexOf("-");
    if (f.size() < 7 || dash < 6 || dash + 1 >= f.size()) continue;
    const QByteArray fs = f[dash + 1];
    const QString mountPoint = UnescapeMountField(f[4]);
    if (!mountPoint.startsWith(QLatin1Char('/')) || IsPseudoFs(fs) || IsSystemMountPoint(mountPoint, fs)) continue;
    const bool remote = IsRemoteFs(fs);
    // Containers bind single files (hosts, resolv.conf) over the root; those are no drives.
    // Remote volumes are not touched here, so a dead server cannot stall the listing.
    if (!remote && !QFileInfo(mountPoint).isDir()) continue;
    TVolume v;
    v.root = AsRoot(mountPoint);
    v.type = VolumeType(mountPoint, fs, f[2]);
    v.present = remote || Readable(v.root);
    // A later mount on the same point hides the earlier one.
    volumes.erase(std::remove_if(volumes.begin(), volumes.end(), [&](const TVolume& o) { return o.root == v.root; }),
                  volumes.end());
    volumes.push_back(v);
  }
  std::sort(volumes.begin(), volumes.end(), [](const TVolume& a, const TVolume& b) { return a.root < b.root; });
  return volumes;
}

int ParseType(const QString& text) {
  bool ok = false;
  const int n = text.toInt(&ok);
  if (ok) return n >= dtUnknown && n <= dtRamDisk ? n : -1;
  static const std::pair<const char*, int> words[] = {{"removable", dtRemovable}, {"fixed", dtFixed},
                                                      {"remote", dtRemote},       {"optical", dtOptical},
                                                      {"ramdisk", dtRamDisk},     {"unknown", dtUnknown}};
  for (const auto& [word, type] : words)
    if (text.compare(QLatin1String(word), Qt::CaseInsensitive) == 0) return type;
  return -1;
}

int ParseBool(const QString& text) {
  for (const char* yes : {"1", "yes", "true"})
    if (text.compare(QLatin1String(yes), Qt::CaseInsensitive) == 0) return 1;
  for (const char* no : {"0", "no", "false"})
    if (text.compare(QLatin1String(no), Qt::CaseInsensitive) == 0) return 0;
  return -1;
}

std::vector<TVolume> SimulatedVolumes(const QString& fileName) {
  std::vector<TVolume> volumes;
  QFile file(fileName);
  if (!file.open(QIODevice::ReadOnly)) {
    qWarning("CORVANE_VOLUMES: cannot read %s; no drives", qPrintable(fileName));
    return volumes;
  }
  int lineNo = 0;
  for (const QByteArray& raw : file.readAll().split('\n')) {
    ++lineNo;
    QString line = QString::fromUtf8(raw);
    if (line.endsWith(QLatin1Char('\r'))) line.chop(1);
    if (line.trimmed().isEmpty() || line.trimmed().startsWith(QLatin1Char('#'))) continue;
    const QStringList f = line.split(QLatin1Char('\t'));
    const int type = f.size() == 3 ? ParseType(f[1].trimmed()) : -1;
    const int present = f.size() == 3 ? ParseBool(f[2].trimmed()) : -1;
    if (type < 0 || present < 0 || !f[0].startsWith(QLatin1Char('/'))) {
      qWarning("CORVANE_VOLUMES: %s line %d ignored (want: mount point, type, present; tab-separated)",
               qPrintable(fileName), lineNo);
      continue;
    }
    TVolume v;
    v.root = AsRoot(f[0]);
    v.type = type;
    v.present = present == 1;
    volumes.push_back(v);
  }
  return volumes;
}

bool Simulated() { return !qEnvironmentVariableIsEmpty("CORVANE_VOLUMES"); }

// Read on every call: drives come and go while the program runs.
std::vector<TVolume> Volumes() {
  return Simulated() ? SimulatedVolumes(qEnvironmentVariable("CORVANE_VOLUMES")) : SystemVolumes();
}

const TVolume* FindRoot(const std::vector<TVolume>& volumes, const QString& drive) {
  if (drive.isEmpty()) return nullptr;
  const QString root = AsRoot(drive);
  for (const TVolume& v : volumes)
    if (v.root == root) return &v;
  return nullptr;
}

// The nearest existing folder at or above path; empty for relative paths.
QString ExistingAncestor(const QString& path) {
  if (path.isEmpty() || !QDir::isAbsolutePath(path)) return {};
  QString p = QDir::cleanPath(path);
  while (!QFileInfo::exists(p)) {
    const QString parent = QFileInfo(p).path();
    if (parent == p) return {};
    p = parent;
  }
  return p;
}

const TVolume* HoldingVolume(const std::vector<TVolume>& volumes, const QString& folder) {
  const QString existing = ExistingAncestor(folder);
  if (existing.isEmpty()) return nullptr;
  // Match the folder as written and with links resolved; the longest root wins.
  const QString seen[2] = {AsRoot(existing), AsRoot(QFileInfo(existing).canonicalFilePath())};
  const TVolume* best = nullptr;
  for (const TVolume& v : volumes) {
    for (const QString& s : seen) {
      if (s.startsWith(v.root) && (!best || v.root.length() > best->root.length())) best = &v;
    }
  }
  return best;
}

}  // namespace

QStringList GetDrives() {
  QStringList drives;
  for (const TVolume& v : Volumes()) drives << v.root;
  return drives;
}

std::vector<TDriveInfo> GetDriveTable() {
  std::vector<TDriveInfo> table;
  for (const TVolume& v : Volumes()) table.push_back({v.root, v.type, v.present});
  return table;
}

int DriveGetType(const QString& drive) {
  const auto volumes = Volumes();
  const TVolume* v = FindRoot(volumes, drive);
  return v ? v->type : dtNoRootDir;
}

bool DiskIsPresent(const QString& drive) {
  const auto volumes = Volumes();
  const TVolume* v = FindRoot(volumes, drive);
  return v && v->present;
}

int DiskGetFreeSpace(const QString& path, qint64& freeBytes, qint64& totalBytes) {
  freeBytes = 0;
  totalBytes = 0;
  const auto volumes = Volumes();
  const TVolume* v = HoldingVolume(volumes, path);
  if (!v) return ceDriveNotFound;
  if (!v->present) return ceDriveNotReady;
  struct statvfs st {};
  if (::statvfs(QFile::encodeName(ExistingAncestor(path)).constData(), &st) != 0) return ceDriveNotReady;
  freeBytes = static_cast<qint64>(st.f_bavail) * static_cast<qint64>(st.f_frsize);
  totalBytes = static_cast<qint64>(st.f_blocks) * static_cast<qint64>(st.f_frsize);
  return ceOK;
}

QString GetFolderDrive(const QString& folder) {
  const auto volumes = Volumes();
  const TVolume* v = HoldingVolume(volumes, folder);
  return v ? v->root : QString();
}

bool IsDriveRoot(const QString& folder) {
  if (folder.isEmpty() || !QDir::isAbsolutePath(folder)) return false;
  const auto volumes = Volumes();
  return FindRoot(volumes, folder) != nullptr;
}

}  // namespace cvlib
