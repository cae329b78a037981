#pragma once

// A copy of the installer that starts on a computer of the same release without Qt: the
// program, its support library beside it, and in Deployer.libs/ the libraries they need that
// such a computer may lack (Qt, ICU, libzip, ...) with Qt's plug-ins for X11 and Wayland in
// Deployer.libs/plugins/. The program carries the search path $ORIGIN:$ORIGIN/Deployer.libs as
// DT_RPATH, which the loader also applies to the libraries and plug-ins it loads for it; a
// qt.conf beside the program points Qt at the plug-ins.
//
// What to copy is read from the files themselves at run time (their ELF dynamic sections), and
// each name is looked up the way the loader does it, so a copy made from a copy takes the
// copy's own libraries. Libraries every computer of the release has (IsSystemLibrary) stay out.

#include "CvLib.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <atomic>

namespace cvruns {

// The folder beside the program that holds the libraries of a copy, and qt.conf's contents.
inline constexpr char kBundleLibFolder[] = "Deployer.libs";
inline constexpr char kBundleQtConf[] = "[Paths]\nPrefix=Deployer.libs\nPlugins=plugins\n";
// What a removable drive's root gets beside a copy, so that the desktop offers to start it.
inline constexpr char kBundleAutorunSh[] =
    "#!/bin/sh\n"
    "# Starts the installer of this installation backup.\n"
    "cd \"$(dirname \"$0\")\" && exec ./Deployer \"$@\"\n";
inline constexpr char kBundleAutorunInf[] = "[AutoRun]\r\nshellexecute=Deployer\r\n";

// The vendor's word on a copy: Deployer.sig beside the program is a manifest naming the
// installer's product and version and our own two files (the program and its support library,
// stripped as a copy holds them) with size and SHA-256, followed by the 64-byte Ed25519
// signature of that text with the vendor's key:
//   Corvane installer copy 1
//   product {GUID in upper case}
//   version a.b.c.d
//   file Deployer <size> <sha256>
//   file libCvLibNav5.so <size> <sha256>
// each line ended by a line feed. The build writes it (cmake/UpdateSigningTasks.cmake), a
// package installs it, and a backup carries it beside its copy.
inline constexpr char kCopySignatureName[] = "Deployer.sig";

struct TCopyManifestFile {
  QString name;
  qint64 size = 0;
  QString sha256;  // 64 lower-case hex digits
};

struct TCopyManifest {
  QString version;
  QList<TCopyManifestFile> files;
  const TCopyManifestFile* Find(const QString& name) const;
};

enum TCopyTrust : int {
  ctSigned = 0,    // the manifest holds, and (for a copy) every file is the one it names
  ctUnsigned,      // no Deployer.sig: a copy made before copies were signed
  ctMalformed,     // not one manifest and signature (a link, a folder, another form)
  ctBadSignature,  // changed after signing, or not signed with the vendor's key
  ctOtherProduct,  // signed for another product
  ctChanged,       // a file of the copy is missing or is not the one signed for
};

// Reads a Deployer.sig: only a regular file counts, no link is followed.
TCopyTrust ReadCopyManifest(const QString& file, TCopyManifest& manifest);

// A copy of the installer in folder against its Deployer.sig; changed gets the files that are
// missing or differ from the signed ones.
TCopyTrust CheckProgramCopy(const QString& folder, QStringList& changed);

// The files a backup writes beside its copy (qt.conf, autorun.sh, Autorun.inf) that are there
// but are not the bytes it writes; a link, a folder or a FIFO under such a name counts too.
QStringList ChangedBundleTexts(const QString& folder);

// What the dynamic section of an ELF file says about loading it.
struct TElfDynamic {
  int elfClass = 0;  // 1 = 32-bit, 2 = 64-bit
  int machine = 0;   // e_machine
  QString soname;
  QStringList needed;
  QStringList rpath;    // DT_RPATH, split at ':' (an empty entry stays)
  QStringList runpath;  // DT_RUNPATH, split at ':'
};

// Reads the dynamic section of a little-endian ELF file. A file that is no ELF object, is
// truncated or points outside itself gives false with a reason.
bool ReadElfDynamic(const QString& path, TElfDynamic& elf, QString& error);

// True for the libraries every desktop computer of the release has: the C and C++ run-time,
// compression, GLib, D-Bus, fonts, Unicode (ICU), the graphics drivers' GL/EGL, and the X11 and
// Wayland client libraries. A copy uses the computer's own, which suit its display and drivers.
bool IsSystemLibrary(const QString& soname);

// One file of the copy: its source (a real file, links resolved) and its path in the copy.
struct TBundleFile {
  QString source;
  QString target;
};

struct TProgramBundle {
  QList<TBundleFile> files;  // the program and support library first, then libraries, plug-ins
  QStringList expected;      // system libraries the copy expects on the computer, sorted
  QStringList skipped;       // plug-ins left out because a library they need is not there
  QString signature;         // the program's Deployer.sig, when it has one
};

// Works out the copy of programFolder's `Deployer` and `libCvLibNav5.so`. Plug-ins come from
// pluginFolder, else from programFolder's Deployer.libs/plugins/ when that is there (a copy of
// a copy), else from Qt's own plug-in folder. A library the program or its support library
// needs that cannot be found gives ceFileNotFound with its name in error.
int PlanProgramBundle(const QString& programFolder, TProgramBundle& bundle, QString& error,
                      const QString& pluginFolder = {});

// Copies the planned files into targetFolder (which must exist) and writes qt.conf beside the
// program; a file already there with its source's content is kept. The program's Deployer.sig
// goes with them when the copied files are the ones it vouches for (else none is left there:
// copyTrust says why); an old one goes first, so an interrupted update never leaves a manifest
// beside files it does not describe. The program and its support library go as they are when
// they are the signed ones (a package's), else without their debug information when the
// computer has binutils' strip, else as they are. Each file arrives whole or not at all
// (CopyChecked); a link in the target's place of Deployer.libs or one of its folders is refused
// (ceChkLinkedFolder), never written through.
// failedFile names the file an error concerns.
int CopyProgramBundle(const TProgramBundle& bundle, const QString& targetFolder, QString& failedFile,
                      const cvlib::TFileCopyProgress& progress = {}, const std::atomic<bool>* stop = nullptr,
                      TCopyTrust* copyTrust = nullptr);

}  // namespace cvruns
