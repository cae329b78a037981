#pragma once

// The backup index file (cvbackup.idx): the install items of an installation backup with
// their files and product records. Format: docs/backup-index.md.

#include "CvLibChartCheck.h"

#include <QString>

#include <vector>

namespace cvlib {

constexpr int kBackupIndexVersion = 2;  // 2: items carry version and signature

// A file's XXH3-64 as the index keeps it: 16 lower-case hex digits.
bool IsXxh3Hex(const QString& text);

// Writes the items atomically (temporary file, flushed to disk, renamed over the old one, the
// folder synced); a link under the index's name is replaced, never written through.
// 0 or ceBackupIndexWrite; on an error before the rename the old index is as it was.
int WriteBackupIndexFile(const QString& path, const std::vector<TItemData>& items);

// Reads an index. 0, or ceBackupIndexMissing, ceBackupIndexForeign, ceBackupIndexCorrupt,
// ceBackupIndexNewer, ceChkUnsafeName (a name or folder that would leave the backup), ceFileRead;
// items is left untouched unless the result is 0.
int ReadBackupIndexFile(const QString& path, std::vector<TItemData>& items);

// The items of an index's payload (its JSON, after the header line): 0, ceBackupIndexCorrupt or
// ceChkUnsafeName, as ReadBackupIndexFile judges them; items is left untouched unless 0.
int ScanBackupIndexPayload(const QByteArray& payload, std::vector<TItemData>& items);

}  // namespace cvlib
