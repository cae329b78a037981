#pragma once

namespace deployer {

// `deployer-service init FOLDER` and `deployer-service account ...` (argv[1] is the command):
// the exit code.
int RunAdminCommand(int argc, char** argv);

}  // namespace deployer
