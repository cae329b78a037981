#pragma once

// What the program needs of the support library, and nothing more: every call the program
// makes into CvLibNav5 is named here.
#include <CvLibNav5.h>

// Languages
using cvlib::GetCurrentLanguage;
using cvlib::SetCurrentLanguage;
using cvlib::RegWriteLanguage;
using cvlib::RegReadLanguage;
using cvlib::TLanguageSet;
using cvlib::GetAvailableLanguages;
using cvlib::InLanguages;
using cvlib::LanguageToStrLocal;
using cvlib::SystemLocaleLanguage;
using cvlib::TChooseLanguageFunc;
using cvlib::InitApplication;

// Settings store
using cvlib::TRegRoot;
using cvlib::rrSettings;
using cvlib::rrSoftware;
using cvlib::rrProducts;
using cvlib::TRegType;
using cvlib::TRegValue;
using cvlib::TAppReg;
using cvlib::GetAppReg;
using cvlib::TRegKeyTree;

// Errors
using cvlib::ErrorToStr;

// Size texts and file names
using cvlib::TSizeUnit;
using cvlib::suBytes;
using cvlib::suKB;
using cvlib::suMB;
using cvlib::suGB;
using cvlib::suTB;
using cvlib::suAll;
using cvlib::_SizeToStr2;
using cvlib::_FileNameReplaceInvalidChars;

// Files and folders
using cvlib::DirCreate;
using cvlib::_DirCreateUnique;
using cvlib::DirDeleteTree;
using cvlib::FileDelete;
using cvlib::FileCopy;
using cvlib::ProcessUmask;
using cvlib::TFileCopyProgress;
using cvlib::FileGetTimeModified;
using cvlib::FindFiles;
using cvlib::_GetTempDir;
using cvlib::ShlGetSpecialFolderPath;
using cvlib::csfCommonAppData;
using cvlib::csfProgramFiles;

// Drives
using cvlib::GetDrives;
using cvlib::DriveGetType;
using cvlib::DiskIsPresent;
using cvlib::DiskGetFreeSpace;
using cvlib::GetFolderDrive;
using cvlib::IsDriveRoot;
using cvlib::dtRemovable;
using cvlib::dtFixed;
using cvlib::dtRemote;
using cvlib::dtOptical;

// Processes and program information
using cvlib::RunAndWait;
using cvlib::TRunPoll;
using cvlib::F12;
using cvlib::GetProgInfo;
using cvlib::TProgInfo;
using cvlib::VersionInfoGetProgVersion;

// Exception log
using cvlib::GetExceptionLogFileName;
using cvlib::SetExceptionLogFileName;
using cvlib::ReportException;

// Chart files and the chart information cache
using cvlib::TQMR2ChartHeader;
using cvlib::TQMR2ChartInfo;
using cvlib::TQMR2ChartCache;
using cvlib::QMR2ChartCacheCreate;
using cvlib::WriteChartFile;

// Navigation environment and chart-check engine
using cvlib::TNavEvent;
using cvlib::TNavEventCallback;
using cvlib::TNavEventSource;
using cvlib::TNavEnv;
using cvlib::NavEnvCreate;
using cvlib::necOperationDone;
using cvlib::necDownloadProgress;
using cvlib::ChartCheck;
using cvlib::QMRChartCheckCreate;
using cvlib::InstallItem;
using cvlib::ProductRecord;
using cvlib::SelectionEntry;
using cvlib::SelectionList;
using cvlib::TProductKind;
using cvlib::pkProgram;
using cvlib::pkChartSet;
using cvlib::pkAddOn;
using cvlib::pkCompanion;
using cvlib::PackageServiceURL;
using cvlib::DirCreateBelow;
using cvlib::DownloadPartPath;
using cvlib::DownloadStagedName;
