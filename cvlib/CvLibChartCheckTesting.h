#pragma once
// Seams of the chart-check engine for tests; the program never sets them.

#include <functional>

namespace cvlib::testing {

// Runs on a download's writer thread before each buffer goes to disk: a test makes the disk
// slow or holds it still with it. Set it while no download runs; an empty function clears it.
void SetDownloadWriteHook(std::function<void()> hook);

// How long a JSON request may go without data before it fails (ceChkNetwork); 60 s unless set.
void SetRequestTimeout(int ms);

}  // namespace cvlib::testing
