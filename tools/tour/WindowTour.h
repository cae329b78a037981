#pragma once

// Every window of the installer in one language, one at a time: the wizard's pages for each
// setup type, the message boxes (every button), the please-wait windows, the language chooser,
// the folder browser and the self-update window. The pictures (scripts/screenshots
// --all-languages) and the layout test walk the same windows, so a window the test checks is a
// window one can look at.

#include <QString>

#include <functional>

class QWidget;

// Called with each window shown and painted, and a file-name-safe name ("wizard-backup-page2").
using TTourVisit = std::function<void(QWidget* window, const QString& name)>;

// Shows the windows in `language` (1..8) and restores the current language afterwards. The
// wizard is pointed at an update server that does not answer; call it with HOME and the XDG
// folders in a private place.
void TourWindows(int language, const TTourVisit& visit);
