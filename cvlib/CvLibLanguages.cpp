#include "CvLibLanguages.h"

#include <atomic>

namespace cvlib {
namespace {

std::atomic<int> currentLanguage{1};

}  // namespace

int GetCurrentLanguage() { return currentLanguage.load(); }

void SetCurrentLanguage(int language) { currentLanguage.store(language); }

}  // namespace cvlib
