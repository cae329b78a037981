#pragma once

// What the wizard's source files (FrmWizardInstall*.cpp, one concern each) share.

#include <QString>

// A folder with its trailing '/'.
inline QString WithDelimiter(const QString& folder) { return folder.endsWith(u'/') ? folder : folder + u'/'; }
