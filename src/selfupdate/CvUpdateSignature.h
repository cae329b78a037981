#pragma once

// The signature of a downloaded installer: a detached Ed25519 signature of the whole file,
// 64 raw bytes, in "<installer>.sig" beside it, checked with the public key built into the
// program. docs/self-update.md says how a release is signed.

#include <QByteArray>
#include <QString>

enum TSignatureCheck : int {
  scValid = 0,
  scMissing,         // no signature file beside the installer
  scMalformed,       // the signature file is not one signature
  scMismatch,        // changed after signing, or signed with another key
  scFileUnreadable,  // the installer cannot be read (missing, not a regular file)
};

constexpr qsizetype kSignatureSize = 64;
constexpr qsizetype kPublicKeySize = 32;

QString UpdateSignaturePath(const QString& installer);

// The raw Ed25519 public key this program trusts for its own updates.
QByteArray UpdatePublicKey();

// Checks file against the signature in signatureFile with a raw Ed25519 public key. Links
// are not followed and only regular files count.
TSignatureCheck VerifyFileSignature(const QString& file, const QString& signatureFile,
                                    const QByteArray& publicKey);

// An installer against its "<installer>.sig" and the built-in key.
TSignatureCheck VerifyUpdateFile(const QString& installer);

// Why a check failed, in the current language; empty for scValid.
QString SignatureCheckText(TSignatureCheck check);
