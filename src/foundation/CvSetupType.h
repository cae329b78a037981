#pragma once

// Shared by the pages, the wizard and the runs (cvtool runs them too), hence kept here.

// What the wizard is to do; the wizard passes it to the selection and destination pages as
// their mode.
enum TSetupType : int {
  CreateBackup = 0,
  InstallFromBackup = 1,
  InstallOnline = 3,
};

// Wizard page numbers.
enum TWizardPageNumber : int {
  wpSetupType = 0,
  wpLogin = 1,
  wpSelectSoftware = 2,
  wpDestination = 3,
  wpProgress = 4,
  wpBackupSource = 6,
};
