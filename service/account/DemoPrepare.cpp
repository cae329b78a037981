#include "AccountService.h"

#include "DemoCatalogue.h"

#include <filesystem>
#include <fstream>
#include <sstream>

namespace cvservice {

std::optional<TDemoAccount> PrepareDemoCatalogue(const std::string& folder, std::string& error) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  const std::string setup = (self.parent_path() / "cv_demo_setup").string();
  const std::string stamp = cvdemo::DemoStamp(setup);
  if (stamp.empty()) {
    error = setup + ": the demo setup program is missing";
    return std::nullopt;
  }
  // A folder made by this generator from this setup program is used as it is.
  std::ifstream in(fs::path(folder) / "demo-stamp.json");
  std::ostringstream existing;
  existing << in.rdbuf();
  const bool current = in && existing.str() == stamp + "\n" && fs::exists(fs::path(folder) / "catalogue.json", ec) &&
                       fs::exists(fs::path(folder) / "accounts.json", ec);
  if (!current && !cvdemo::WriteDemoCatalogue(folder, setup, error)) return std::nullopt;
  return TDemoAccount{cvdemo::kDemoEmail, cvdemo::kDemoPassword};
}

}  // namespace cvservice
