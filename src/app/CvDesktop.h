#pragma once

// What the installer does to fit the desktop, kept in one place apart from the windows: the
// window icon, Alt-letter access keys on every button and on the labels of edits, and names
// for screen readers on the controls that have no text of their own (edits, progress bars,
// the message boxes' text). The windows set their texts as they always did; the letters and
// names follow their texts as they change.

#include <QIcon>

class QWidget;

// The installer's icon, as the desktop entry has it.
QIcon DeployerIcon();

// The desktop entry's name, and the watcher that gives access keys and names to every window
// of the application from now on; it sets the window icon once the first window is painted.
void InstallDesktopConventions();

// Gives access keys and names to the visible controls of `window` at once (the watcher does
// this as the window is painted).
void ApplyDesktopConventions(QWidget* window);
