#pragma once

// The vendor's signature of each install item of a file list: an Ed25519 signature (base64)
// over the item's signed form, which the client rebuilds from the fields it parsed
// (docs/chain-of-trust.md). The private key comes from a PEM file the service is given.

#include <memory>
#include <string>

namespace cvservice {

struct TListedItem;

class TItemSigner final {
 public:
  TItemSigner();
  ~TItemSigner();
  TItemSigner(const TItemSigner&) = delete;
  TItemSigner& operator=(const TItemSigner&) = delete;

  // Reads an Ed25519 private key (PEM). False with a text when the file is missing, unreadable
  // or holds another kind of key.
  bool Load(const std::string& pemFile, std::string& error);
  bool Loaded() const;

  // The signature (base64) of the item's signed form; empty when no key is loaded.
  std::string Sign(const TListedItem& item) const;

 private:
  struct TKey;
  std::unique_ptr<TKey> key_;
};

// The bytes an item's signature covers; the client builds the same (cvlib/CvLibSignature.cpp).
std::string SignedItemForm(const TListedItem& item);

// The version the signature covers: a program's setup version, empty for a chart set.
std::string SignedItemVersion(const TListedItem& item);

}  // namespace cvservice
