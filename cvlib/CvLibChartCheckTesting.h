#pragma once
// Seams of the chart-check engine for tests; the program never sets them.

#include <functional>

namespace cvlib::testing {

// Runs on a download's writer thread before each buffer goes to disk: a test makes the disk
// slow or holds it still with it. Set it while no download runs; an empty function clears it.
void SetDownloadWriteHook(std::function<void()> hook);

}  // namespace cvlib::testing
