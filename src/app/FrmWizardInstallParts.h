#pragma once

// What the wizard's source files (FrmWizardInstall*.cpp, one concern each) share.

#include <QString>

#include <functional>

class QWidget;

// A folder with its trailing '/'.
inline QString WithDelimiter(const QString& folder) { return folder.endsWith(u'/') ? folder : folder + u'/'; }

// Calls `then` once: right after the window's first paint, or `latestMs` from now for a window
// not painted by then. Work the first page does not need waits for it, so that it does not
// share the start with the window.
void AfterFirstPaint(QWidget* window, int latestMs, std::function<void()> then);
