#pragma once

// The vendor's Ed25519 key, built into the library (cmake/UpdateSigning.cmake), and what it
// signs besides the installer's updates: each install item of a file list, over a canonical
// byte form of the fields that decide what lands on the computer (docs/chain-of-trust.md).

#include <QByteArray>
#include <QString>

namespace cvlib {

struct TItemData;

inline constexpr qsizetype kEd25519KeySize = 32;
inline constexpr qsizetype kEd25519SignatureSize = 64;

// The raw 32 bytes of the public key every check trusts.
QByteArray VendorPublicKey();

// True when signature (64 bytes) is publicKey's Ed25519 signature of data.
bool Ed25519Verify(const QByteArray& publicKey, const unsigned char* signature, const unsigned char* data,
                   size_t length);

// The bytes an item's signature covers: product number, module mask, product and module codes,
// install folder, the setup's version, and each file's folder, name, size and SHA-256 in list
// order. Every text is length-prefixed, so no two items share a form. Display names, file times
// and URLs are not covered: files may be served from elsewhere, and a time is not vouched for.
QByteArray SignedItemForm(const TItemData& item);

// True when item.signature (base64) is the vendor's signature of SignedItemForm(item).
bool ItemSignatureValid(const TItemData& item);

}  // namespace cvlib
