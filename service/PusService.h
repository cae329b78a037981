#pragma once

// The update service: POST /pus/pus.php with a scrambled form, answers "vi2" (version
// information), "vh" (release history) and "uf" (installer files) from a content folder.
// Layout of that folder: docs/update-service.md.

#include <filesystem>
#include <string>

namespace httplib {
class Server;
}

namespace deployer {

// Status lines of the update service's own failures.
enum PusStatus : int {
  kPusBadForm = -1,        // the form lacks a parameter or has one that does not read
  kPusUnknownCommand = -2,
  kPusUnknownProduct = -3,
  kPusNoContent = -4,      // the product has no history, no file, or broken content
};

// The plain form of a request body "d=<scrambled>"; false when the body is not one.
bool UnscrambleBody(const std::string& body, std::string& form);

// Checks every product of the content folder as the client will read it (version, dates,
// numbers, a non-empty installer); false with a message naming the file at the first fault.
bool CheckPusContent(const std::filesystem::path& contentFolder, std::string& error);

void RegisterPusService(httplib::Server& server, const std::filesystem::path& contentFolder);

}  // namespace deployer
