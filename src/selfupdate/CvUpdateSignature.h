#pragma once

// The signature of a downloaded installer: "<installer>.sig" beside it is a signed manifest,
// a short text naming the product, the version and the installer's SHA-256, followed by the
// 64-byte Ed25519 signature of that text, checked with the public key built into the program.
// Binding the version makes an installer signed once for an older release useless as an
// update. docs/self-update.md says how a release is signed.

#include "CvStrUtils.h"

#include <QByteArray>
#include <QString>

enum TSignatureCheck : int {
  scValid = 0,
  scMissing,         // no signature file beside the installer
  scMalformed,       // the signature file is not one signature
  scMismatch,        // changed after signing, or signed with another key
  scFileUnreadable,  // the installer cannot be read (missing, not a regular file)
  scHashMismatch,    // the installer is not the file the manifest was signed for
  scOtherProduct,    // signed for another product
  scNotNewer,        // signed for a version that is not newer than the running program
};

// What a valid manifest says.
struct TUpdateManifest {
  TGUID Product;
  TVersion Version = 0;
  QByteArray Sha256;  // 64 lower-case hex digits
};

constexpr qsizetype kSignatureSize = 64;
constexpr qsizetype kPublicKeySize = 32;

QString UpdateSignaturePath(const QString& installer);

// The raw Ed25519 public key this program trusts for its own updates.
QByteArray UpdatePublicKey();

// The text that is signed, exactly: four lines
//   Corvane update manifest 1
//   product {GUID in upper case}
//   version a.b.c.d
//   sha256 <64 lower-case hex digits>
// each ended by a line feed. The build and the signing machine write the same bytes.
QByteArray UpdateManifestText(const TGUID& product, TVersion version, const QByteArray& sha256Hex);

// Reads a signed manifest: its signature must hold for publicKey and its text must be exactly
// the form above. Links are not followed and only regular files count.
TSignatureCheck ReadUpdateManifest(const QString& signatureFile, const QByteArray& publicKey,
                                   TUpdateManifest& manifest);

// The SHA-256 of a regular file (no link followed) as 64 lower-case hex digits; empty when it
// cannot be read.
QByteArray FileSha256Hex(const QString& file);

// An installer against its "<installer>.sig" and the built-in key: the manifest must be
// signed, name product and a version newer than running, and the installer's SHA-256.
TSignatureCheck VerifyUpdateFile(const QString& installer, const TGUID& product, TVersion running,
                                 TUpdateManifest* manifest = nullptr);

// Why a check failed, in the current language; empty for scValid.
QString SignatureCheckText(TSignatureCheck check);
