#pragma once

// Extracting an add-on archive below its own folder (libzip, zlib). Entry names keep their folders
// below the base folder; an entry whose name would lead out of it (absolute, "..", an empty part)
// or that is a link is never written, nor is anything written through a link already in the base
// folder. Existing files are replaced; an entry whose data does not match its size and CRC leaves
// no file, and the archive itself (it lies in the folder it fills) is never written over by an
// entry of its name. Two worker threads write the files; the result is the one of writing the
// entries one after the other (a repeated name: the last one stands). Files are not synced to disk
// one by one: an extraction lost in a crash is mended by installing again.

#include <QString>
#include <QStringList>

#include <functional>

namespace cvruns {

// percent 0..100 of the uncompressed bytes; return false to stop the extraction (ceAborted:
// files under way are removed). Called on the calling thread only, after every entry and at
// least every 10 ms while it waits for the workers, so that it can pump events.
using TExtractProgress = std::function<bool(int percent)>;

// 0, ceAborted, or the error that ended it (ceFileRead for an archive that cannot be opened,
// ceFileWrite for a base folder that cannot be opened or a write error, ceDiskFull). refused
// gets the names of entries that were left out as unsafe. firstLeftOut gets the first entry
// in the archive's order that was not written whole (refused, unreadable, damaged, no room,
// something in its way), empty when every entry was: then, and only then, the archive was
// extracted whole.
int ExtractArchive(const QString& archive, const QString& baseFolder, const TExtractProgress& progress,
                   QStringList* refused = nullptr, QString* firstLeftOut = nullptr);

// The entry name made relative and checked: '\' counts as a separator; empty when the name
// is unsafe (absolute, a "." or ".." part, an empty part inside, a control character).
QString SafeEntryPath(const QString& name);

}  // namespace cvruns
