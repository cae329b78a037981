#pragma once

// What the run's source files share: CvDeployRun.cpp (the run, its downloads, the backup's
// finishing and the summary) and CvDeployRunInstall.cpp (programs, chart sets, and installing
// from a backup).

#include "CvStrUtils.h"

#include <QLatin1Char>
#include <QString>

#include <cstdint>

namespace cvruns::deployrun {

inline QString Size(std::int64_t bytes) { return SizeToStr(0, 1, false, bytes); }

inline QString WithSlash(const QString& folder) {
  return folder.isEmpty() || folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/');
}

}  // namespace cvruns::deployrun
