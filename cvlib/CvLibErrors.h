#pragma once

// Error codes of the support library: 0 is success; every other code has a text in ErrorToStr.
// Each area keeps its own block of numbers.

#include <QString>

namespace cvlib {

enum TCvError : int {
  ceOK = 0,

  // Settings store: 100..199
  ceStoreOpen = 100,      // the store cannot be opened or created
  ceStoreRead = 101,      // reading failed
  ceStoreWrite = 102,     // writing failed (disk full, read-only, locked too long)
  ceStoreBadKey = 103,    // a key path with an empty name or an unknown root
  ceStoreNoKey = 104,     // the key does not exist
  ceStoreNoValue = 105,   // the value does not exist
  ceStoreBadValue = 106,  // a value the store cannot keep faithfully (not-a-number, infinity)
  ceStoreCorrupt = 107,   // the store file is damaged or is no store at all
  ceStoreNewer = 108,     // the store was made by a newer program and is left alone

  // Files and disks: 200..299
  ceFileNotFound = 200,
  ceFileAccess = 201,
  ceFileCreate = 202,
  ceFileRead = 203,
  ceFileWrite = 204,
  ceDiskFull = 205,
  ceDirCreate = 206,
  ceDirDelete = 207,
  ceFileDelete = 208,
  ceDriveNotFound = 209,
  ceAborted = 210,
  ceDriveNotReady = 211,  // the drive is known but its medium is missing or unreadable
  ceInvalidPath = 212,    // an empty path, or one the operation refuses (the root folder)

  // Processes and program information: 300..399
  ceProcessStart = 300,
  ceProcessCrashed = 301,
  ceNoVersionInfo = 302,
  ceProcessStopped = 303,  // the wait was stopped and the program terminated

  // Chart files and chart cache: 400..499
  ceChartNotFound = 400,    // the chart file does not exist
  ceChartRead = 401,        // the chart file cannot be read (no permission, not a file, I/O)
  ceChartShort = 402,       // the chart file is shorter than its header
  ceChartBadMagic = 403,    // the file is no chart file
  ceChartVersion = 404,     // the chart file has a format version this program does not know
  ceChartCacheWrite = 405,  // the chart information cache file cannot be written
  ceChartFileName = 406,    // not a bare file name (empty, "." or "..", or with a folder part)
  // Navigation environment, chart check, backup index: 500..699
  ceChkBusy = 500,          // another operation of the chart check is running
  ceChkNetwork = 501,       // the service cannot be reached, or the connection broke
  ceChkBadAnswer = 502,     // the service's answer is malformed
  ceChkUnsafeName = 503,    // a file name or folder would place a file outside its folder
  ceChkChecksum = 504,      // a downloaded file has the wrong size or SHA-256
  ceChkIncomplete = 505,    // a download stopped short; the next attempt resumes it
  ceChkNotSignedIn = 506,   // no session: sign in first
  ceChkNoRemembered = 507,  // no remembered sign-in is stored
  ceChkBadArgument = 508,   // an unknown item, a file index out of range, a malformed text
  ceChkHttp = 509,          // the service answered with an unexpected HTTP status
  ceChkCancelled = 510,     // the operation was cancelled (CancelDownload); a download keeps its part
  ceChkNameClash = 511,     // a file of the item would land where a file of an earlier item lands
  ceChkLinkedFolder = 512,  // a folder the engine writes into is a symbolic link
  ceChkUnsigned = 513,      // a file list (or a backup's item) is not signed by the vendor's key
  ceChkNoNetwork = 514,     // the program's network module cannot be loaded (CvLibNet.h)
  ceBackupIndexMissing = 600,  // there is no backup index
  ceBackupIndexForeign = 601,  // the file is no backup index
  ceBackupIndexCorrupt = 602,  // the backup index is truncated or damaged
  ceBackupIndexNewer = 603,    // the backup index was written by a newer program
  ceBackupIndexWrite = 604,    // the backup index cannot be written
};

// The text of an error code, in English; unknown codes give a text with the number.
QString ErrorToStr(int error);

}  // namespace cvlib
