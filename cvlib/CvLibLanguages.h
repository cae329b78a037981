#pragma once

// Languages of the program: numbered 1 (English) to 8 (Swedish).

namespace cvlib {

// The current display language, 1..8.
int GetCurrentLanguage();
void SetCurrentLanguage(int language);

}  // namespace cvlib
