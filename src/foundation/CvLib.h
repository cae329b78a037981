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
