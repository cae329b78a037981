#pragma once

// Runs the self-update window modally. True exactly when a new installer was downloaded
// and its path recorded under "Update"/"Filename" in the program settings.
bool RunSelfUpdate();
