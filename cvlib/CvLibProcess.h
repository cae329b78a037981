#pragma once

// Running other programs (product setups) and telling product kinds apart.

#include <QString>
#include <QStringList>

#include <functional>

namespace cvlib {

// Called every few milliseconds while RunAndWait waits; it pumps events and sets stop to
// end the wait (the program is then terminated).
using TRunPoll = std::function<void(bool& stop)>;

// Splits a parameter text like a command line: blanks separate arguments, double quotes
// group and are removed ("/DIR=\"/a b/c\"" gives /DIR=/a b/c), "" inside quotes is one
// quote, and backslashes escape a quote (2n backslashes before a quote give n and the quote
// groups; 2n+1 give n and a literal quote). Other backslashes stay as they are.
QStringList SplitCommandLine(const QString& parameters);

// Starts program (it gets its execute bit first) with the split parameters in folder (empty:
// the current folder) and waits for it to end, calling poll meanwhile. Returns 0 with the
// program's exit code; ceProcessStart when it cannot be started (missing, not executable,
// no such folder); ceProcessCrashed when it died of a signal (exitCode = 128 + signal);
// ceProcessStopped when poll asked to stop: the program and the processes it started in
// its group are terminated, killed when they ignore that.
int RunAndWait(const QString& program, const QString& parameters, const QString& folder,
               const TRunPoll& poll, int& exitCode);
// The same with the arguments as a list, each passed as it stands (a '"' in a folder name
// stays a character of that argument).
int RunAndWait(const QString& program, const QStringList& arguments, const QString& folder,
               const TRunPoll& poll, int& exitCode);

// True when the product number belongs to a chart set: chart sets are numbered from 1000
// upward, programs, add-ons and companions below 1000 (docs/product-numbers.md).
bool F12(int productNumber);

}  // namespace cvlib
