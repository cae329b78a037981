#pragma once

// What the program needs of the support library, and nothing more: every call the program
// makes into CvLibNav5 is named here.
#include <CvLibNav5.h>

// Languages
using cvlib::GetCurrentLanguage;
using cvlib::SetCurrentLanguage;

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
