#pragma once

// What the program needs of the support library, and nothing more: every call the program
// makes into CvLibNav5 is named here.
#include <CvLibNav5.h>

// Languages
using cvlib::GetCurrentLanguage;
using cvlib::SetCurrentLanguage;

// Errors
using cvlib::ErrorToStr;
