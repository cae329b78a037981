#pragma once

// File work of the runs that the support library does not offer: a copy that checks size and
// SHA-256 on the way (one read of the source), whether a local file is current, the private
// folder that setups of an installation from the internet are fetched into, and small files
// written in one piece. Errors are the support library's codes (0 = success).

#include "CvLib.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <cstdint>

namespace cvruns {

// Copies source to target through a hidden temporary name beside the target that takes the
// target's name only when the copy is complete and checked; an older target stays until then.
// expectedSize < 0 and an empty expectedSha skip those checks. A size or checksum that does
// not match gives ceChkChecksum and leaves nothing. The source is never read through a link
// (ceFileRead); a link under the target's name is replaced, never written through. The copy
// gets fileTime (Unix seconds) as its modification time when fileTime > 0, else the
// source's; it keeps the source's permission bits.
int CopyChecked(const QString& source, const QString& target, std::int64_t expectedSize,
                const QString& expectedSha, std::int32_t fileTime, const cvlib::TFileCopyProgress& progress = {},
                const std::atomic<bool>* stop = nullptr);

// SHA-256 (64 lower-case hex digits) and size of a regular file, not through a link.
int HashFile(const QString& path, QString& sha, std::int64_t& size);

// A file of an item is current when a regular file of its name is there, as large as the
// item says and not older than the item's file time. When its time is not exactly the item's
// (the file was written after it arrived) and a checksum is known, the content must match
// too: a damaged copy is fetched again.
bool IsFileCurrent(const QString& path, std::int64_t size, std::int32_t time, const QString& sha);

// The user's own folder for the setups of an installation from the internet:
// $XDG_CACHE_HOME/Corvane/Deployer/Setups/ (else ~/.cache/...), mode 0700, kept between runs so
// that a current setup is not fetched again. Refused (ceFileAccess) when it is a link, not a
// folder, or not the user's own; looser modes are tightened.
int PrivateSetupsFolder(QString& folder);

// Writes data to path in one piece (temporary name, then rename): a link under the name is
// replaced, never followed.
int WriteWholeFile(const QString& path, const QByteArray& data, unsigned mode = 0644);

// Sets the modification time of every file below folder (sub-folders too) to now; links are
// neither followed nor touched.
void TouchTree(const QString& folder);

}  // namespace cvruns
