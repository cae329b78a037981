// cv_democat FOLDER [SETUP]: writes the demo catalogue into FOLDER, with the setups made from
// SETUP (default: cv_demo_setup beside this program), and prints the demo account.

#include "DemoCatalogue.h"

#include <cstdio>
#include <filesystem>
#include <string>

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "usage: cv_democat FOLDER [SETUP]\n");
    return 2;
  }
  std::error_code ec;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
  const std::string setup = argc == 3 ? std::string(argv[2]) : (self.parent_path() / "cv_demo_setup").string();
  std::string error;
  if (!cvdemo::WriteDemoCatalogue(argv[1], setup, error)) {
    std::fprintf(stderr, "cv_democat: %s\n", error.c_str());
    return 1;
  }
  std::printf("E-mail: %s\nPassword: %s\n", cvdemo::kDemoEmail, cvdemo::kDemoPassword);
  return 0;
}
