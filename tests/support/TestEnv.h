#pragma once

#include <QString>

namespace cvtest {

// The private home of this test program: HOME, XDG_DATA_HOME, XDG_CONFIG_HOME and TMPDIR
// all point below it. Made by the test main before any test runs, removed at exit.
QString TestHome();

// A fresh, empty folder below the test home (no trailing slash).
QString MakeTempFolder(const QString& hint = QStringLiteral("t"));

// Where the build put the project's executables and the support library.
QString BinDir();

// Root of the source tree (for fixtures kept in the repository).
QString SourceDir();

// Points HOME, XDG_* and TMPDIR at a new temporary folder; called by the test main.
void InitTestEnvironment();

}  // namespace cvtest
