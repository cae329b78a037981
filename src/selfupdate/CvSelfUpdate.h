#pragma once

// What the wizard asks of the self-update, and all it asks: show the update window, then start
// what it fetched. The self-update knows nothing of the wizard and reports back only through
// these return values.

class QWidget;

// Runs the self-update window modally. True exactly when a new installer was downloaded,
// its signature checked and its path recorded under "Update"/"Filename" in the program
// settings. When the window cannot be made (no temporary folder) it is never shown and the
// result is false. Nothing of a run that ends without an update stays on disk.
bool RunSelfUpdate();
bool RunSelfUpdate(QWidget* parent);

// The step after a successful RunSelfUpdate: reads "Update"/"Filename", checks the file
// again (a regular file of the user's own in a folder only the user can write to, that
// CheckUpdate accepts), and opens it: a program (ELF or "#!" script) is made executable and
// started detached, anything else (a .deb) goes to the desktop's handler. True when it was
// started; the caller then ends the program. False after an error box: nothing was started.
bool OpenDownloadedUpdate();
