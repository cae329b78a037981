// Deployer: the setup wizard. It reads no command-line arguments beyond Qt's own.
#include "CvAppInit.h"

int main(int argc, char** argv) {
  TCvApplication app(argc, argv);
  return RunDeployer();
}
