#pragma once

// Inside the support library only: what the network module (CvLibNet.h) hands out. The module
// exports one name, kNetEntriesName, a function that returns its entries. It is built with the
// library and carried inside it, so both always agree on these declarations.

#include "CvLibChartCheckParts.h"
#include "CvLibNet.h"

#include <cstdint>
#include <memory>

namespace cvlib::detail {

struct NetEntries {
  std::unique_ptr<NetService> (*newService)(const QString& productCode, uint32_t version);
  // service: one that newService made.
  std::unique_ptr<NetDownloads> (*newDownloads)(NetService& service, NetDownloads::Progress progress,
                                                NetDownloads::Done done);
  std::unique_ptr<HttpClient> (*newHttpClient)();
};

inline constexpr char kNetEntriesName[] = "CvLibNetEntries";
using NetEntriesFunction = const NetEntries* (*)();

// The module's entries, loaded at the first call (from any thread); nullptr when it cannot be
// loaded, which is tried once.
const NetEntries* Net();

}  // namespace cvlib::detail
