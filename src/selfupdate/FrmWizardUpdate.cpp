#include "FrmWizardUpdate.h"

// The update window is not built yet: nothing is downloaded.
bool RunSelfUpdate()
{
  return false;
}
