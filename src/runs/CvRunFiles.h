#pragma once

// File work of the runs that the support library does not offer: a copy that checks size and
// XXH3 or SHA-256 on the way (one read of the source), whether a local file is current, the private
// folder that setups of an installation from the internet are fetched into, and small files
// written in one piece. Errors are the support library's codes (0 = success).

#include "CvLib.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>

namespace cvruns {

// What a copy is checked against, and how it takes its name.
struct TCopyCheck {
  std::int64_t size = -1;  // < 0: not checked
  // The content: by XXH3-64 (16 hex digits) when given, else by SHA-256 (64 hex digits) when
  // given, else not at all.
  QString xxh3;
  QString sha256;
  std::int32_t fileTime = 0;  // Unix seconds for the copy's modification time; 0: the source's
  // A target that does not exist yet is created under its own name (no temporary name and
  // rename), and removed again on any failure. Only for files that count as installed by a
  // record written after all of them are complete (a chart set): after a crash in the middle
  // an unrecorded half file may stay, which the next installation replaces.
  bool newInPlace = false;
};

// The first bytes of a copy that CopyChecked hands back when asked (a chart's header).
inline constexpr int kCopyHeadBytes = 16;

// Copies source to target with the checks of `check` on the way (one read of the source). An
// existing target is replaced through a hidden temporary name beside it that takes the
// target's name only when the copy is complete and checked: the older file stays until then.
// A size or checksum that does not match gives ceChkChecksum and leaves nothing. The source
// is never read through a link, nor when it is no regular file (a FIFO is not even waited on:
// ceFileRead); a link under the target's name is replaced, never written through. The copy
// gets check.fileTime as its modification time when > 0, else the source's; its mode is 0755
// for a program (an executable ELF file or script), else 0644, through the umask: never the
// source's group or other write. head, when given, receives the first kCopyHeadBytes bytes copied
// (fewer for a shorter file).
int CopyChecked(const QString& source, const QString& target, const TCopyCheck& check,
                const cvlib::TFileCopyProgress& progress = {}, const std::atomic<bool>* stop = nullptr,
                QByteArray* head = nullptr);

// The same with a size and SHA-256 (empty: not checked), through a temporary name.
inline int CopyChecked(const QString& source, const QString& target, std::int64_t expectedSize,
                       const QString& expectedSha, std::int32_t fileTime,
                       const cvlib::TFileCopyProgress& progress = {}, const std::atomic<bool>* stop = nullptr) {
  TCopyCheck check;
  check.size = expectedSize;
  check.sha256 = expectedSha;
  check.fileTime = fileTime;
  return CopyChecked(source, target, check, progress, stop);
}

// SHA-256 (64 lower-case hex digits) and size of a regular file, not through a link.
int HashFile(const QString& path, QString& sha, std::int64_t& size);

// A file of an item is current when a regular file of its name is there, as large as the
// item says and not older than the item's file time. When its time is not exactly the item's
// (the file was written after it arrived) and a checksum is known, the content must match
// too: a damaged copy is fetched again.
// Times closer than kTimeStep seconds below the listed one are a medium's rounding (vfat
// keeps 2-second steps): such a file is current when its size and SHA-256 agree.
// byContent: size and SHA-256 alone decide, whatever the time (a program: a replacement of the
// same size and time must not pass).
inline constexpr std::int64_t kTimeStep = 2;
bool IsFileCurrent(const QString& path, std::int64_t size, std::int32_t time, const QString& sha,
                   bool byContent = false);

// The user's own folder for the setups of an installation from the internet:
// $XDG_CACHE_HOME/Corvane/Deployer/Setups/ (else ~/.cache/...), mode 0700, kept between runs so
// that a current setup is not fetched again. Refused (ceFileAccess) when it is a link, not a
// folder, or not the user's own; looser modes are tightened.
int PrivateSetupsFolder(QString& folder);
// The same for another folder of the user's cache (folder gets it with a trailing '/').
int PrivateCacheFolder(const QString& name, QString& folder);

// Writes data to path in one piece (temporary name, then rename): a link under the name is
// replaced, never followed.
int WriteWholeFile(const QString& path, const QByteArray& data, unsigned mode = 0644);

// A new, empty folder in parent (an existing folder) to fill before it takes its place: a hidden
// name ending in '.', which no folder an installation makes from a product or module code can
// have, with a random part. Made without following a link in parent's place.
int MakeStagingFolder(const QString& parent, QString& staging);

// Puts the filled staging folder in place of target (a folder beside it, which may be missing):
// its files are synced first (one syncfs), then it takes target's name in one rename; what was
// at target (a folder, or a link, never followed) is removed after. On failure target is as
// it was and staging is removed.
int PutFolderInPlace(const QString& staging, const QString& target);
// Called by PutFolderInPlace once the staging folder's files are synced, before it takes its
// place (tests watch the order with it); empty by default.
std::function<void(const QString& staging)>& StagingSyncedHook();

// Renames file `from` in the folder base/relative to `to` (replacing what has that name), or
// removes it when `to` is empty. The folders below base are reached without following a link,
// so nothing outside base changes; base itself may be a link. A renamed file gets the
// modification time `time` (Unix seconds) when it is >= 0. 0 or an error code.
int RenameBelow(const QString& base, const QString& relative, const QString& from, const QString& to,
                std::int64_t time = -1);

// Writes what the file system of folder holds in memory to its disk (one syncfs).
int SyncFileSystem(const QString& folder);

// The bytes free for the user on the file system of folder; -1 when unknown.
std::int64_t FreeBytes(const QString& folder);

// Removes folder and everything below it; links are removed, never followed.
void RemoveTree(const QString& folder);

// Sets the modification time of every file below folder (sub-folders too) to now; links are
// neither followed nor touched.
void TouchTree(const QString& folder);

}  // namespace cvruns
