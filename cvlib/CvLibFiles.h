#pragma once

// Files and folders. Functions that only succeed or fail return an error code of
// CvLibErrors.h (0 = success); functions with a result take the error as an out argument.
// Folders handed out by this area end with '/' unless noted.

#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>

namespace cvlib {

// Creates the folder and every missing parent. An existing folder is success; an existing
// file of that name is ceDirCreate.
int DirCreate(const QString& path);

// Creates a new, empty folder below base whose name is prefix plus a number, e.g.
// "<base>/<prefix>1/". The folder did not exist before the call (no other process can have
// been handed the same one). result gets its path with a trailing '/'.
int _DirCreateUnique(const QString& base, const QString& prefix, QString& result);

// Deletes the folder with everything below it. Symbolic links are removed, never followed.
// A missing folder is ceFileNotFound; an empty path or "/" is refused (ceInvalidPath).
int DirDeleteTree(const QString& folder);

// Deletes one file (or symbolic link). A folder is refused with ceFileDelete.
int FileDelete(const QString& path);

// Progress of a copy: the source path, bytes copied so far and the total size at the start.
// Return false to stop the copy.
using TFileCopyProgress = std::function<bool(const QString& source, qint64 done, qint64 total)>;

// Copies source to target, replacing a file already there. The data goes to a hidden
// temporary file beside the target that is renamed into place only when complete, so a
// failed or stopped copy never leaves a partial file under the target's name (and leaves an
// older target untouched). The copy keeps the source's modification time and permission bits.
// progress is called once with 0 before the first byte and after every chunk of a few MiB;
// it may pump events. A false return from progress, or *stop turning true, ends the copy
// with ceAborted. A full disk gives ceDiskFull. The target's folder must exist.
int FileCopy(const QString& source, const QString& target, const TFileCopyProgress& progress = {},
             const std::atomic<bool>* stop = nullptr);

// The process's umask, read once (it cannot be read without setting it, which would race other
// threads' new files); the usual 022 when the process status does not tell.
unsigned ProcessUmask();

// Modification time of a file or folder as a date-time: days since 1899-12-30 00:00 UTC with
// the time of day as fraction (Unix seconds / 86400 + 25569). 0 with an error when missing.
double FileGetTimeModified(const QString& path, int& error);

// Files below folder whose names match mask, as full paths. mask holds one or more patterns
// separated by ';' with '*' and '?' as wildcards, compared without regard to case; "*.*"
// and "*" match every name. Within a folder the files come first, in case-insensitive name
// order, then each sub-folder in the same order (only when recursive). Hidden files are
// included; links to folders are not entered. A missing folder gives an empty list.
QStringList FindFiles(const QString& folder, const QString& mask, bool recursive);

// The folder for temporary files, with a trailing '/'.
QString _GetTempDir();

// Special folders, given without a trailing '/'. 35: the common application data folder
// ($XDG_DATA_HOME, else ~/.local/share); 38: the program-files folder (/opt as root, else
// ~/.local/opt). The folder need not exist yet. False for other ids or without a home folder.
enum TSpecialFolder : int {
  csfCommonAppData = 35,
  csfProgramFiles = 38,
};
bool ShlGetSpecialFolderPath(int folderId, QString& result);

}  // namespace cvlib
