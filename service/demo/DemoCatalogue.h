#pragma once

// The demo catalogue: one account with programs (small setups that really install), a
// companion, an add-on product, add-on files (one a zip archive) and chart sets of several
// modules, written as a content folder of the account service.

#include <string>

namespace cvdemo {

inline constexpr const char* kDemoEmail = "demo@corvane.example";
inline constexpr const char* kDemoPassword = "corvane-demo";

// Bumped whenever the demo's content changes, so that an older generated folder is redone.
inline constexpr int kDemoGeneratorVersion = 1;

// Writes files/, catalogue.json, accounts.json and demo-stamp.json into `folder` (made when
// missing). `setupProgram` is the built cv_demo_setup, copied once per program with its own
// version and payload. tokens.json, when present, is left alone. False with a text on failure.
bool WriteDemoCatalogue(const std::string& folder, const std::string& setupProgram, std::string& error);

// Whether the generator may write into `folder`: one that is missing or empty (it is made or
// filled), or one marked as a demo folder by its demo-stamp.json. Any other folder may hold
// someone's catalogue and accounts, which the generator would replace: false with a text.
bool MayWriteDemoFolder(const std::string& folder, std::string& error);

// Marks `folder` (made when missing) as a demo folder before anything else is written, so
// that a generation cut short can be redone there. False with a text.
bool MarkDemoFolder(const std::string& folder, std::string& error);

// The stamp the generator writes for this setup program; a folder whose demo-stamp.json
// holds the same text needs no new generation.
std::string DemoStamp(const std::string& setupProgram);

// Patches the version marker of a cv_demo_setup image in memory; false when the marker slot
// is not found exactly once or the version does not fit.
bool PatchVersionMarker(std::string& image, const std::string& version);

// A chart file: "QMR2", uint32 format version 1, int32 product, int32 module, then the data.
std::string ChartFileBytes(int product, int module, const std::string& data);

// Writes a file 0600 through a new temporary name beside it (never through a link), synced,
// then renamed into place. An owner other than -1 is given to the file before it takes its
// name (root writing into a service's folder).
bool WritePrivateFile(const std::string& path, const std::string& data, std::string& error, int uid = -1,
                      int gid = -1);

}  // namespace cvdemo
