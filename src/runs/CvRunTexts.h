#pragma once

// The texts of the runs. Entries: English, Dutch, German, French, Spanish, Italian, Danish,
// Swedish; an empty entry falls back to English.

#include "CvLanguage.h"

extern const TLangText rtInstalling;        // "Installing"
extern const TLangText rtDownloading;       // "Downloading"
extern const TLangText rtCopying;           // "Copying"
extern const TLangText rtTotal;             // "Total:"
extern const TLangText rtDone;              // "Done..."
extern const TLangText rtRequestingFiles;   // total line while the file list is requested
extern const TLangText rtCheckingFiles;     // %1 files checked, %2 of the item
extern const TLangText rtReturnToStart;     // "Return to start page?"

// A backup's program not vouched for by the vendor's signature (%1 the file), and the
// summary's warning for chart sets of a backup without signatures (%1 their names).
extern const TLangText rtErrUntrustedProgram;
extern const TLangText rtErrUntrustedItem;
extern const TLangText rtWarnUnsignedCharts;
extern const TLangText rtWarnUnsignedCopy;

extern const TLangText rtCaptionSuccess;
extern const TLangText rtCaptionFailed;
extern const TLangText rtCaptionPartial;

// Summary texts, by outcome and setup type.
extern const TLangText rtBackupSuccess;
extern const TLangText rtRestoreSuccess;
extern const TLangText rtInstallSuccess;
extern const TLangText rtBackupFailed;
extern const TLangText rtRestoreFailed;
extern const TLangText rtInstallFailed;
extern const TLangText rtBackupPartial;
extern const TLangText rtRestorePartial;
extern const TLangText rtInstallPartial;

// Messages.
extern const TLangText rtErrCreateFolder;
extern const TLangText rtErrStartDownload;
extern const TLangText rtErrRunInstaller;
extern const TLangText rtErrCopyChartSet;
extern const TLangText rtErrCopyProgram;
extern const TLangText rtErrSaveIndex;
extern const TLangText rtErrFileList;        // %1 the reason
extern const TLangText rtErrDamagedFile;     // %1 the file, %2 the item, %3 the reason
extern const TLangText rtErrSetupExitCode;   // %1 the item, %2 the exit code
extern const TLangText rtErrBackupUnreadable;  // %1 the index file, %2 the reason
extern const TLangText rtErrFolderLink;      // %1 the folder
extern const TLangText rtErrFolder;          // %1 the folder, %2 the reason
extern const TLangText rtErrAddOnArchive;    // %1 the archive, %2 the entry, %3 the item
extern const TLangText rtErrRunInstallerWhy; // %1 the setup, %2 the reason
