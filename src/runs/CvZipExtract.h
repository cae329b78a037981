#pragma once

// Extracting an add-on archive below its own folder (libzip). Entry names keep their folders
// below the base folder; an entry whose name would lead out of it (absolute, "..", an empty
// part) or that is a link is never written, nor is anything written through a link already in
// the base folder. Existing files are replaced.

#include <QString>
#include <QStringList>

#include <functional>

namespace cvruns {

// percent 0..100 of the uncompressed bytes; return false to stop the extraction (ceAborted).
using TExtractProgress = std::function<bool(int percent)>;

// 0, ceAborted, or the error that ended it (ceFileRead for an archive that cannot be opened,
// ceFileWrite, ceDiskFull). refused gets the names of entries that were left out as unsafe.
int ExtractArchive(const QString& archive, const QString& baseFolder, const TExtractProgress& progress,
                   QStringList* refused = nullptr);

// The entry name made relative and checked: '\' counts as a separator; empty when the name
// is unsafe (absolute, a "." or ".." part, an empty part inside, a control character).
QString SafeEntryPath(const QString& name);

}  // namespace cvruns
