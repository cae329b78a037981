#pragma once

// Drives are the mounted volumes; a drive root is a volume's mount point with a trailing '/'.
// The volume table comes from the system, or, when the environment variable CORVANE_VOLUMES
// names a file, from that file (docs/volumes.md), so that tests and demos can simulate
// removable drives.

#include <QString>
#include <QStringList>

#include <vector>

namespace cvlib {

// Drive types, numbered as the program expects them.
enum TDriveType : int {
  dtUnknown = 0,
  dtNoRootDir = 1,  // not the root of a known drive
  dtRemovable = 2,
  dtFixed = 3,
  dtRemote = 4,
  dtOptical = 5,
  dtRamDisk = 6,
};

// The drive roots, each with a trailing '/'. System volumes come in mount-point order
// ("/" first); a simulated table keeps the order of its file.
QStringList GetDrives();

// One look at the volume table: every drive root (in GetDrives' order) with its type and
// whether its medium can be read, as DriveGetType and DiskIsPresent give them one at a time.
struct TDriveInfo {
  QString root;
  int type = dtUnknown;
  bool present = false;
};
std::vector<TDriveInfo> GetDriveTable();

// The type of the drive whose root is given (with or without the trailing '/');
// dtNoRootDir when it is no drive root.
int DriveGetType(const QString& drive);

// True when the drive root is known, mounted and its medium can be read.
bool DiskIsPresent(const QString& drive);

// Space on the volume holding path (a drive root or any folder on it): bytes free for the
// user and total size. ceDriveNotFound when the path is not reachable, ceDriveNotReady
// when its drive has no medium.
int DiskGetFreeSpace(const QString& path, qint64& freeBytes, qint64& totalBytes);

// The drive part of a folder: the root of the drive that holds it (or, when it does not
// exist yet, its nearest existing parent), with a trailing '/'. Empty for an empty or
// relative path or when no drive holds it.
QString GetFolderDrive(const QString& folder);

// True when the folder is itself a drive root.
bool IsDriveRoot(const QString& folder);

}  // namespace cvlib
