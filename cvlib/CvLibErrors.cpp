#include "CvLibErrors.h"

namespace cvlib {

QString ErrorToStr(int error) {
  switch (error) {
    case ceOK: return QStringLiteral("No error.");
    case ceStoreOpen: return QStringLiteral("The settings store cannot be opened.");
    case ceStoreRead: return QStringLiteral("The settings store cannot be read.");
    case ceStoreWrite: return QStringLiteral("The settings store cannot be written.");
    case ceStoreBadKey: return QStringLiteral("Invalid settings key.");
    case ceStoreNoKey: return QStringLiteral("The settings key does not exist.");
    case ceStoreNoValue: return QStringLiteral("The settings value does not exist.");
    case ceStoreBadValue: return QStringLiteral("The value cannot be kept in the settings store.");
    case ceStoreCorrupt: return QStringLiteral("The settings store is damaged.");
    case ceStoreNewer:
      return QStringLiteral("The settings store was made by a newer version of the program.");
    case ceFileNotFound: return QStringLiteral("The file or folder does not exist.");
    case ceFileAccess: return QStringLiteral("Access to the file or folder was denied.");
    case ceFileCreate: return QStringLiteral("The file cannot be created.");
    case ceFileRead: return QStringLiteral("The file cannot be read.");
    case ceFileWrite: return QStringLiteral("The file cannot be written.");
    case ceDiskFull: return QStringLiteral("There is not enough space on the disk.");
    case ceDirCreate: return QStringLiteral("The folder cannot be created.");
    case ceDirDelete: return QStringLiteral("The folder cannot be deleted.");
    case ceFileDelete: return QStringLiteral("The file cannot be deleted.");
    case ceDriveNotFound: return QStringLiteral("The drive cannot be found.");
    case ceAborted: return QStringLiteral("The operation was aborted.");
    case ceDriveNotReady: return QStringLiteral("The drive is not ready: no medium is present or it cannot be read.");
    case ceInvalidPath: return QStringLiteral("The path is empty or not allowed for this operation.");
    case ceProcessStart: return QStringLiteral("The program cannot be started.");
    case ceProcessCrashed: return QStringLiteral("The program ended abnormally.");
    case ceNoVersionInfo: return QStringLiteral("The file carries no version information.");
    case ceProcessStopped: return QStringLiteral("The program was stopped before it ended.");
    case ceChartNotFound: return QStringLiteral("The chart file does not exist.");
    case ceChartRead: return QStringLiteral("The chart file cannot be read.");
    case ceChartShort: return QStringLiteral("The chart file is too short: its header is incomplete.");
    case ceChartBadMagic: return QStringLiteral("The file is not a chart file.");
    case ceChartVersion: return QStringLiteral("The chart file has a format this program does not know.");
    case ceChartCacheWrite: return QStringLiteral("The chart information cache file cannot be written.");
    case ceChartFileName: return QStringLiteral("The name is not a plain file name.");
    case ceChkBusy: return QStringLiteral("Another operation is still running.");
    case ceChkNetwork: return QStringLiteral("The account service cannot be reached, or the connection was broken.");
    case ceChkBadAnswer: return QStringLiteral("The account service sent a malformed answer.");
    case ceChkUnsafeName: return QStringLiteral("A file name or folder would place a file outside its folder.");
    case ceChkChecksum: return QStringLiteral("The downloaded file is damaged (wrong size or checksum).");
    case ceChkIncomplete: return QStringLiteral("The download stopped before the file was complete.");
    case ceChkNotSignedIn: return QStringLiteral("Not signed in to the account.");
    case ceChkNoRemembered: return QStringLiteral("No remembered sign-in is stored.");
    case ceChkBadArgument: return QStringLiteral("Invalid argument.");
    case ceChkHttp: return QStringLiteral("The account service answered with an unexpected status.");
    case ceChkCancelled: return QStringLiteral("The operation was cancelled.");
    case ceChkNameClash:
      return QStringLiteral("A file of this item would be stored under the same name as a file of another item.");
    case ceChkLinkedFolder: return QStringLiteral("A folder to be written into is a symbolic link.");
    case ceChkUnsigned:
      return QStringLiteral("The file list is not signed by Corvane Software, or was changed after it was signed.");
    case ceChkNoNetwork:
      return QStringLiteral("The program's network part cannot be loaded; reinstalling the program may help.");
    case ceBackupIndexMissing: return QStringLiteral("The backup index does not exist.");
    case ceBackupIndexForeign: return QStringLiteral("The file is not a backup index.");
    case ceBackupIndexCorrupt: return QStringLiteral("The backup index is damaged or incomplete.");
    case ceBackupIndexNewer: return QStringLiteral("The backup index was written by a newer version of the program.");
    case ceBackupIndexWrite: return QStringLiteral("The backup index cannot be written.");
    default: break;
  }
  return QStringLiteral("Unknown error %1.").arg(error);
}

}  // namespace cvlib
